#include "component/zip/zip_extract.h"

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
  for (const std::string_view c : Components(entry.name, rules.Separator() == '\\')) {
    if (!c.empty() && c != ".") parts.push_back(c);
  }
  if (parts.empty()) return {};
  if (!keep_paths) return rules.BuildPath(destination, parts.back());
  std::string path(destination);
  for (const std::string_view c : parts) path = rules.BuildPath(path, c);
  return path;
}

void Extractor::EnsureFolder(const std::string& path) {
  if (path.empty() || fs_.FolderExists(path)) return;
  const std::string parent = fs_.GetParentFolderName(path);
  if (parent != path) EnsureFolder(parent);
  try {
    fs_.CreateFolder(path);
  } catch (const Error& e) {
    if (e.number() != errnum::kFileAlreadyExists) throw;
  }
  if (!parent.empty()) touched_.insert(parent);
}

int32_t Extractor::WriteFile(const Entry& entry, const std::string& target) {
  const std::string parent = fs_.GetParentFolderName(target);
  std::string temp;
  int32_t reason = static_cast<int32_t>(SkipReason::kCannotWrite);
  try {
    EnsureFolder(parent);
    temp = fs_.BuildPath(parent, fs_.GetTempName());
    Fill(entry, temp, &reason);
    fs_.SetModifiedTime(temp, entry.ModifiedSeconds() * 1'000'000'000);
    RestoreAttributes(entry, temp);
    fs_.RenameFile(temp, target);
    touched_.insert(parent);
    return 0;
  } catch (const Error&) {
    if (!temp.empty()) {
      try {
        fs_.RemoveFile(temp, true);
      } catch (const Error&) {
        // The temporary file was never created.
      }
    }
    return reason;
  }
}

void Extractor::Fill(const Entry& entry, const std::string& temp, int32_t* reason) {
  std::unique_ptr<File> out = fs_.Open(temp, OpenMode::kCreateNew);
  try {
    WriteOut(*out, entry, std::nullopt, temp, true);
  } catch (const Error& e) {
    // The archive's own failures are a damaged entry; the others are the disk's.
    if (e.number() == errnum::kArchiveError) *reason = static_cast<int32_t>(SkipReason::kDamagedEntry);
    throw;
  }
  out->Sync();
  out->Close();
}

void Extractor::RestoreAttributes(const Entry& entry, const std::string& path) {
  const uint32_t mode = entry.unix_mode();
  if (fs_.paths().Separator() == '/') {
    if ((mode & 07777) != 0) {
      fs_.SetAttributes(path, mode & 07777);
    } else if (entry.external_attributes & kDosReadOnly) {
      fs_.SetAttributes(path, fs_.Stat(path).attributes & 07777 & ~0222u);
    }
    return;
  }
  uint32_t attributes = entry.external_attributes & (kWinReadOnly | kWinHidden | kWinSystem | kWinArchive);
  if (mode != 0 && (mode & 0200) == 0) attributes |= kWinReadOnly;
  fs_.SetAttributes(path, attributes != 0 ? attributes : kWinNormal);
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

namespace {

Error RestoreError(int32_t number, const std::string& why, const std::string& target, int64_t native = 0) {
  return Error(number, kLibrarySource, why, target, native);
}

}  // namespace

void Extractor::StageRestore(const Entry& entry, const std::string& target) {
  const std::optional<std::string> held = CheckEntry(entry, target);
  FileStat st;
  bool exists = true;
  try {
    st = fs_.Stat(target);
  } catch (const Error& e) {
    if (e.number() != errnum::kFileNotFound && e.number() != errnum::kPathNotFound) throw;
    exists = false;
  }
  if (exists && st.is_folder) {
    throw RestoreError(errnum::kPermissionDenied, "A folder is where the file belongs", target);
  }
  const bool posix = fs_.paths().Separator() == '/';
  if (exists && !st.is_symlink && posix && (st.attributes & kUnixTypeMask) != kUnixRegular) {
    throw RestoreError(errnum::kPermissionDenied, "A device, pipe or socket is where the file belongs", target);
  }
  Staged staged{&entry, target, {}, nullptr, std::nullopt};
  if (exists && !st.is_symlink) {
    staged.out = Rewrite(entry, target, held);
  } else {
    // Named after its target, so that a run cut short leaves a name that
    // says what it was and that the next run replaces.
    staged.temp = target + ".brightkeep-restore";
    staged.out = Recreate(entry, target, staged.temp, held);
  }
  staged_bytes_ += entry.size;
  staged_.push_back(std::move(staged));
}

std::optional<std::string> Extractor::CheckEntry(const Entry& entry, const std::string& target) {
  if (entry.flags & kFlagEncrypted) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file is encrypted", target);
  }
  if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
    throw RestoreError(errnum::kArchiveError,
                       "The archive's copy of the file uses an unsupported compression method (" +
                           std::to_string(entry.method) + ")",
                       target);
  }
  // A small copy is checked and kept in one reading; a large one is read
  // again to be written. The reader stops at the recorded size, so a lying
  // entry cannot make the held copy grow.
  constexpr uint64_t kHeldSize = 1 << 20;
  std::optional<std::string> held;
  if (entry.size <= kHeldSize) held.emplace().reserve(static_cast<size_t>(entry.size));
  if (!ExtractEntry(archive_, size_, entry, [&](const char* data, size_t n) {
        if (held) held->append(data, n);
      })) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file is damaged (CRC or size mismatch)",
                       target);
  }
  return held;
}

void Extractor::WriteOut(File& out, const Entry& entry, const std::optional<std::string>& held,
                         const std::string& target, bool leave_holes) {
  uint64_t written = 0;
  const auto sink = [&](const char* data, size_t n) {
    // In a new file, runs of zeros are left as holes, as sparse files had them.
    if (!leave_holes || !AllZeros(data, n)) out.WriteAt(written, data, n);
    written += n;
  };
  if (held) {
    sink(held->data(), held->size());
  } else if (!ExtractEntry(archive_, size_, entry, sink)) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file changed while it was read", target);
  }
  if (out.Size() != written) out.Truncate(written);
}

std::unique_ptr<File> Extractor::OpenForRewrite(const std::string& target) {
  try {
    return fs_.OpenForRewrite(target);
  } catch (const Error& e) {
    // A read-only file is made writable for the rewrite; its attributes are
    // set from the archive afterwards.
    if (e.number() != errnum::kPermissionDenied) throw;
    const FileStat st = fs_.Stat(target);
    if (!st.read_only) throw;
    const bool posix = fs_.paths().Separator() == '/';
    fs_.SetAttributes(target, posix ? (st.attributes & 07777) | 0200 : st.attributes & ~kWinReadOnly);
    return fs_.OpenForRewrite(target);
  }
}

std::unique_ptr<File> Extractor::Rewrite(const Entry& entry, const std::string& target,
                                         const std::optional<std::string>& held) {
  // Refuses, without following it, whatever took the file's place since.
  std::unique_ptr<File> out = OpenForRewrite(target);
  // A large copy goes into the emptied file, so that its runs of zeros stay
  // holes: a sparse file comes back sparse, not as large on disk as it reads.
  if (!held) out->Truncate(0);
  WriteOut(*out, entry, held, target, !held);
  return out;
}

std::unique_ptr<File> Extractor::Recreate(const Entry& entry, const std::string& target, const std::string& temp,
                                          const std::optional<std::string>& held) {
  std::unique_ptr<File> out;
  try {
    EnsureFolder(fs_.GetParentFolderName(target));
    if (fs_.FileExists(temp)) fs_.RemoveFile(temp, true);
    out = fs_.Open(temp, OpenMode::kCreateNew);
    WriteOut(*out, entry, held, target, true);
    if (entry.unix_owner && entry.unix_group && fs_.paths().Separator() == '/') {
      try {
        fs_.SetOwner(temp, *entry.unix_owner, *entry.unix_group);
      } catch (const Error& e) {
        // Without the privilege to give files away the file stays the
        // restoring user's, as any file that user creates.
        if (e.number() != errnum::kPermissionDenied) throw;
      }
    }
    return out;
  } catch (const Error&) {
    out.reset();
    Discard(temp);
    throw;
  }
}

void Extractor::Discard(const std::string& temp) {
  try {
    if (fs_.FileExists(temp)) fs_.RemoveFile(temp, true);
  } catch (const Error&) {
    // The failure that brought us here is the one to report.
  }
}

std::vector<std::optional<Error>> Extractor::FinishRestores() {
  std::vector<File*> files;
  for (const Staged& s : staged_) files.push_back(s.out.get());
  try {
    fs_.SyncFiles(files);
  } catch (const Error& e) {
    for (Staged& s : staged_) s.error = e;
  }
  for (Staged& s : staged_) Complete(s);
  // New files count once their names are durable: the folders they were
  // renamed into, and those where folders were created for them.
  for (const Staged& s : staged_) {
    if (!s.temp.empty() && !s.error) touched_.insert(fs_.GetParentFolderName(s.target));
  }
  for (const std::string& folder : touched_) {
    try {
      fs_.SyncFolder(folder);
    } catch (const Error& e) {
      for (Staged& s : staged_) {
        if (!s.temp.empty() && !s.error) s.error = e;
      }
    }
  }
  touched_.clear();
  std::vector<std::optional<Error>> outcomes;
  for (Staged& s : staged_) outcomes.push_back(std::move(s.error));
  staged_.clear();
  staged_bytes_ = 0;
  return outcomes;
}

void Extractor::Complete(Staged& s) {
  try {
    if (s.error) throw *s.error;
    s.out->Close();
    const std::string& path = s.temp.empty() ? s.target : s.temp;
    fs_.SetModifiedTime(path, s.entry->ModifiedSeconds() * 1'000'000'000);
    RestoreAttributes(*s.entry, path);
    if (!s.temp.empty()) fs_.RenameFile(s.temp, s.target);
  } catch (const Error& e) {
    s.error = e;
    s.out.reset();
    if (!s.temp.empty()) Discard(s.temp);
  }
}

}  // namespace bk::zip
