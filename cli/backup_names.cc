#include "cli/backup_names.h"

#include <algorithm>
#include <cstdio>

#include "cli/backup_archive.h"
#include "component/error.h"

namespace bk::cli {
namespace {

constexpr std::string_view kStamp = "%t";
// How many numbered names a taken backup name tries.
constexpr int kNumberedNames = 1000;

// The literal pieces of a file-name pattern around "%t", with "%%" read as "%".
struct Pattern {
  std::string before, after;
  bool stamped = false;
};

Pattern Split(const std::string& name) {
  Pattern p;
  std::string* out = &p.before;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 1 < name.size() && name[i + 1] == '%') {
      *out += '%';
      ++i;
    } else if (name.compare(i, kStamp.size(), kStamp) == 0 && !p.stamped) {
      p.stamped = true;
      out = &p.after;
      ++i;
    } else {
      *out += name[i];
    }
  }
  return p;
}

bool IsStamp(std::string_view s) {
  if (s.size() != 15 || s[8] != '-') return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i != 8 && (s[i] < '0' || s[i] > '9')) return false;
  }
  return true;
}

std::string Stamp(const LocalDateTime& t) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return stamp;
}

// Seconds of a local date and time counted as if it were UTC: differences
// between two of them are true to within a change of the clocks.
int64_t CivilSeconds(int64_t y, int64_t m, int64_t d, int64_t hh, int64_t mm, int64_t ss) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400 + hh * 3600 + mm * 60 + ss;
}

int64_t StampSeconds(const std::string& s) {
  const auto n = [&](size_t at, size_t len) { return std::stoll(s.substr(at, len)); };
  return CivilSeconds(n(0, 4), n(4, 2), n(6, 2), n(9, 2), n(11, 2), n(13, 2));
}

// The empty file of the caller's that a run killed before its period ended
// leaves at a backup's name: no backup, so the next run may hold the name
// with it. nullopt for anything else (a backup, a link, another's file, an
// empty file of the caller's with other permissions than the holder's).
std::optional<FileStat> LeftEmptyHolder(FileSystem& fs, const std::string& path) {
  try {
    const std::unique_ptr<Folder> folder = fs.OpenFolder(fs.GetParentFolderName(path), nullptr);
    const FileStat st = folder->OpenEntry(fs.GetFileName(path), OpenMode::kRead)->Stat();
    const bool own = st.owner < 0 || st.owner == CurrentUserId();
    const bool private_mode = !fs.paths().HasPosixModes() || (st.attributes & 07777) == 0600;
    if (!st.is_folder && !st.is_symlink && st.size == 0 && own && private_mode) return st;
  } catch (const Error&) {
    // Not a file that can be opened: not one to take over.
  }
  return std::nullopt;
}

}  // namespace

std::string StampBackupName(const std::string& pattern, const LocalDateTime& start) {
  const std::string stamp = Stamp(start);
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == '%' || pattern[i + 1] == 't')) {
      out += pattern[i + 1] == '%' ? std::string("%") : stamp;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

bool IsStampedPattern(const FileSystem& fs, const std::string& pattern) {
  return Split(fs.GetFileName(pattern)).stamped && !Split(fs.GetParentFolderName(pattern)).stamped;
}

HeldBackupName HoldBackupName(FileSystem& fs, const std::string& pattern, const LocalDateTime& start, bool replace) {
  const bool stamped = IsStampedPattern(fs, pattern);
  const std::string name = StampBackupName(pattern, start);
  if (!stamped && replace) return HeldBackupName{name, std::nullopt};
  HeldBackupName held;
  try {
    const std::unique_ptr<File> file = fs.CreateFresh([&](int n) { return NumberedName(name, n); },
                                                      OpenMode::kCreatePrivate, stamped ? kNumberedNames : 1,
                                                      &held.path);
    held.held = file->Stat();
  } catch (const Error& e) {
    if (stamped || e.number() != errnum::kFileAlreadyExists) throw;
    held.held = LeftEmptyHolder(fs, name);
    if (!held.held) throw BackupNameTaken(name);
    held.path = name;
  }
  return held;
}

Error BackupNameTaken(const std::string& path) {
  return Error(errnum::kFileAlreadyExists, kLibrarySource,
               "A file is already at the backup's name; put \"%t\" in the name for a new one each time, or give "
               "--replace to replace it",
               path);
}

void ReleaseBackupName(FileSystem& fs, const HeldBackupName& name) {
  if (!name.held) return;
  try {
    const std::unique_ptr<Folder> folder = fs.OpenFolder(fs.GetParentFolderName(name.path), nullptr);
    const std::string entry = fs.GetFileName(name.path);
    if (folder->StatEntry(entry).size == 0) folder->RemoveEntryIfSame(entry, *name.held);
  } catch (const Error&) {
    // Gone, or no longer the empty file this run made: left as it is.
  }
}

std::optional<StampedName> MatchStamped(const std::string& pattern_name, const std::string& name) {
  const Pattern p = Split(pattern_name);
  if (!p.stamped || name.size() < p.before.size() + 15 + p.after.size() || !name.starts_with(p.before) ||
      !name.ends_with(p.after)) {
    return std::nullopt;
  }
  StampedName out{name.substr(p.before.size(), 15), 1};
  if (!IsStamp(out.stamp)) return std::nullopt;
  const std::string number = name.substr(p.before.size() + 15, name.size() - p.before.size() - 15 - p.after.size());
  if (number.empty()) return out;
  if (number.size() < 2 || number.size() > 5 || number[0] != '-' || number[1] == '0' ||
      number.find_first_not_of("0123456789", 1) != std::string::npos) {
    return std::nullopt;
  }
  out.number = std::stoi(number.substr(1));
  return out.number >= 2 ? std::optional<StampedName>(out) : std::nullopt;
}

std::vector<std::string> PruneBackups(const std::shared_ptr<FileSystem>& fs, const std::string& pattern,
                                      const PruneRules& rules, const std::string& written, const LocalDateTime& now) {
  const std::unique_ptr<Folder> folder = fs->OpenFolder(fs->GetParentFolderName(pattern), nullptr);
  const std::string latest = Stamp(now), written_name = fs->GetFileName(written), pattern_name = fs->GetFileName(pattern);
  const int64_t user = CurrentUserId();
  struct Found {
    StampedName stamped;
    std::string name;
    FileStat judged;
  };
  std::vector<Found> found;
  for (const FolderItem& item : folder->ListEntries()) {
    const std::optional<StampedName> stamped = MatchStamped(pattern_name, item.name);
    if (!stamped || stamped->stamp > latest || item.stat.is_symlink || item.stat.is_folder) continue;
    try {
      const std::unique_ptr<File> file = folder->OpenEntry(item.name, OpenMode::kReadRegular);
      const FileStat st = file->Stat();
      if ((user < 0 || st.owner == user) && IsBackupNamed(*fs, *file, item.name)) {
        found.push_back(Found{*stamped, item.name, st});
      }
    } catch (const Error&) {
      // Not a regular file, or gone: not a backup of ours.
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.stamped.stamp != b.stamped.stamp ? a.stamped.stamp > b.stamped.stamp : a.stamped.number > b.stamped.number;
  });
  const int64_t cutoff = StampSeconds(latest) - rules.keep_days.value_or(0) * 86400;
  std::vector<std::string> removed;
  for (size_t i = rules.keep; i < found.size(); ++i) {
    if (found[i].name == written_name) continue;
    if (rules.keep_days && StampSeconds(found[i].stamped.stamp) > cutoff) continue;
    if (!rules.dry_run) {
      try {
        folder->RemoveEntryIfSame(found[i].name, found[i].judged);
      } catch (const Error& e) {
        if (e.IsNotFound() || e.number() == errnum::kPermissionDenied) continue;  // gone, or replaced since judged
        throw;
      }
    }
    removed.push_back(fs->BuildPath(folder->path(), found[i].name));
  }
  if (!removed.empty() && !rules.dry_run) folder->Sync();
  return removed;
}

}  // namespace bk::cli
