#include "component/zip/zip_extract.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "component/error.h"
#include "component/zip/zip_reader.h"

namespace bk::zip {
namespace {

constexpr uint32_t kWinReadOnly = 0x01, kWinHidden = 0x02, kWinSystem = 0x04, kWinArchive = 0x20, kWinNormal = 0x80;

bool AllZeros(const char* data, size_t n) { return n > 0 && data[0] == 0 && std::memcmp(data, data + 1, n - 1) == 0; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsDeviceName(std::string_view component) {
  std::string base(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Upper(c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9';
}

std::vector<std::string_view> Components(std::string_view name, bool backslash_separates) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/' && !(backslash_separates && name[i] == '\\')) continue;
    out.push_back(name.substr(start, i - start));
    start = i + 1;
  }
  return out;
}

}  // namespace

bool IsUnsafeName(std::string_view name, bool windows_rules) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return true;
  if (name[0] == '/' || name[0] == '\\') return true;
  const char first = Upper(name[0]);
  if (name.size() >= 2 && name[1] == ':' && first >= 'A' && first <= 'Z') return true;
  for (const std::string_view c : Components(name, true)) {
    if (c == "..") return true;
    if (windows_rules && (c.find(':') != std::string_view::npos || IsDeviceName(c))) return true;
  }
  return false;
}

std::string TargetPath(const PathRules& rules, std::string_view destination, const Entry& entry, bool keep_paths) {
  if (entry.IsFolder() && !keep_paths) return {};
  std::vector<std::string_view> parts;
  for (const std::string_view c : Components(entry.name, rules.BackslashSeparates())) {
    if (!c.empty() && c != ".") parts.push_back(c);
  }
  if (parts.empty()) return {};
  if (!keep_paths) return rules.BuildPath(destination, parts.back());
  std::string path(destination);
  for (const std::string_view c : parts) path = rules.BuildPath(path, c);
  return path;
}

std::shared_ptr<Folder> Extractor::OpenFolder(const std::string& path) {
  std::vector<std::string> created;
  std::shared_ptr<Folder> folder;
  try {
    folder = fs_.OpenFolder(path, &created);
  } catch (...) {
    for (const std::string& f : created) touched_.insert(fs_.GetParentFolderName(f));
    throw;
  }
  // A new folder is durable once the folder holding it is flushed.
  for (const std::string& f : created) touched_.insert(fs_.GetParentFolderName(f));
  return folder;
}

void Extractor::EnsureFolder(const std::string& path) {
  if (!path.empty()) OpenFolder(path);
}

int32_t Extractor::WriteFile(const Entry& entry, const std::string& target) {
  const std::string parent = fs_.GetParentFolderName(target);
  std::shared_ptr<Folder> folder;
  std::string temp;
  int32_t reason = static_cast<int32_t>(SkipReason::kCannotWrite);
  try {
    folder = OpenFolder(parent);
    // Without recorded permission bits the file gets the default ones, as
    // any new file; with them, it is private until they are set.
    const OpenMode create = entry.unix_mode() != 0 ? OpenMode::kCreatePrivate : OpenMode::kCreateNew;
    constexpr int kNames = 20;
    std::unique_ptr<File> out;
    temp = CreateFresh([&](int) { return fs_.GetTempName(); }, kNames,
                       [&](const std::string& name) { out = folder->OpenEntry(name, create); });
    try {
      WriteOut(*out, entry, target);
    } catch (const Error& e) {
      // The archive's own failures are a damaged entry; the others are the disk's.
      if (e.number() == errnum::kArchiveError) reason = static_cast<int32_t>(SkipReason::kDamagedEntry);
      throw;
    }
    out->Sync();
    ApplyMetadata(*out, entry);
    out->Close();
    folder->RenameEntry(temp, fs_.GetFileName(target));
    touched_.insert(parent);
    return 0;
  } catch (const Error&) {
    if (folder && !temp.empty()) {
      try {
        folder->RemoveEntry(temp);
      } catch (const Error&) {
        // The temporary file was never created.
      }
    }
    return reason;
  }
}

void Extractor::WriteOut(File& out, const Entry& entry, const std::string& target) {
  uint64_t written = 0;
  // Runs of zeros are left as holes, as sparse files had them.
  const auto sink = [&](const char* data, size_t n) {
    if (!AllZeros(data, n)) out.WriteAt(written, data, n);
    written += n;
  };
  if (!ExtractEntry(archive_, size_, entry, sink)) {
    throw Error(errnum::kArchiveError, kLibrarySource, "The archive's copy of the file is damaged", target);
  }
  if (out.Size() != written) out.Truncate(written);
}

void Extractor::ApplyMetadata(File& file, const Entry& entry) {
  const uint32_t mode = entry.unix_mode() & 07777;
  if (fs_.paths().HasPosixModes()) {
    // Without an owner given back, the set-user-ID and set-group-ID bits
    // would grant this process's rights: never.
    constexpr uint32_t kSetIds = 06000;
    if (mode != 0) {
      file.SetAttributes(mode & ~kSetIds);
    } else if (entry.external_attributes & kDosReadOnly) {
      file.SetAttributes(file.Stat().attributes & 07777 & ~(0222u | kSetIds));
    }
  } else {
    uint32_t attributes = entry.external_attributes & (kWinReadOnly | kWinHidden | kWinSystem | kWinArchive);
    if (mode != 0 && (mode & 0200) == 0) attributes |= kWinReadOnly;
    file.SetAttributes(attributes != 0 ? attributes : kWinNormal);
  }
  file.SetModifiedTime(entry.ModifiedSeconds() * 1'000'000'000);
}

bool Extractor::SyncFolders() {
  bool ok = true;
  for (const std::string& folder : touched_) {
    try {
      fs_.SyncFolder(folder);
    } catch (const Error&) {
      ok = false;
    }
  }
  touched_.clear();
  return ok;
}

}  // namespace bk::zip
