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
  for (const std::string_view c : Components(entry.name, rules.Separator() == '\\')) {
    if (!c.empty() && c != ".") parts.push_back(c);
  }
  if (parts.empty()) return {};
  if (!keep_paths) return rules.BuildPath(destination, parts.back());
  std::string path(destination);
  for (const std::string_view c : parts) path = rules.BuildPath(path, c);
  return path;
}

std::shared_ptr<Folder> Extractor::OpenFolder(const std::string& path, bool keep) {
  if (const auto kept = folders_.find(path); kept != folders_.end()) return kept->second;
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
  if (keep) folders_.emplace(path, folder);
  return folder;
}

void Extractor::EnsureFolder(const std::string& path) {
  if (!path.empty()) OpenFolder(path, /*keep=*/false);
}

int32_t Extractor::WriteFile(const Entry& entry, const std::string& target) {
  const std::string parent = fs_.GetParentFolderName(target);
  std::shared_ptr<Folder> folder;
  std::string temp;
  int32_t reason = static_cast<int32_t>(SkipReason::kCannotWrite);
  try {
    folder = OpenFolder(parent, /*keep=*/false);
    // Without recorded permission bits the file gets the default ones, as
    // any new file; with them, it is private until they are set.
    const OpenMode create = entry.unix_mode() != 0 ? OpenMode::kCreatePrivate : OpenMode::kCreateNew;
    std::unique_ptr<File> out;
    for (int attempt = 0; !out; ++attempt) {
      temp = fs_.GetTempName();
      try {
        out = folder->OpenEntry(temp, create);
      } catch (const Error& e) {
        if (e.number() != errnum::kFileAlreadyExists || attempt == 20) throw;
      }
    }
    try {
      WriteOut(*out, entry, std::nullopt, target, true);
    } catch (const Error& e) {
      // The archive's own failures are a damaged entry; the others are the disk's.
      if (e.number() == errnum::kArchiveError) reason = static_cast<int32_t>(SkipReason::kDamagedEntry);
      throw;
    }
    out->Sync();
    ApplyMetadata(*out, entry, /*with_owner=*/false, nullptr);
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

std::string Extractor::ApplyMetadata(File& file, const Entry& entry, bool with_owner, const RestoreHint* hint) {
  const uint32_t mode = entry.unix_mode() & 07777;
  std::string note;
  if (fs_.paths().Separator() == '/') {
    bool owner_applied = false;
    if (with_owner && entry.unix_owner && entry.unix_group) {
      try {
        file.SetOwner(*entry.unix_owner, *entry.unix_group);
        owner_applied = true;
      } catch (const Error& e) {
        // Without the privilege to give files away the file keeps the owner
        // it has, as any file that user writes.
        if (e.number() != errnum::kPermissionDenied) throw;
        note = "owner and group not restored: not permitted";
      }
    }
    // The set-user-ID and set-group-ID bits grant the recorded owner's and
    // group's rights: never to anyone else.
    constexpr uint32_t kSetIds = 06000;
    if (mode != 0) {
      file.SetAttributes(owner_applied ? mode : mode & ~kSetIds);
    } else if (entry.external_attributes & kDosReadOnly) {
      file.SetAttributes(file.Stat().attributes & 07777 & ~(0222u | kSetIds));
    }
    if (hint && !hint->namespaces.empty()) ApplyAttributes(file, *hint);
  } else {
    uint32_t attributes = entry.external_attributes & (kWinReadOnly | kWinHidden | kWinSystem | kWinArchive);
    if (mode != 0 && (mode & 0200) == 0) attributes |= kWinReadOnly;
    file.SetAttributes(attributes != 0 ? attributes : kWinNormal);
  }
  file.SetModifiedTime(hint && hint->modified_ns != 0 ? hint->modified_ns : entry.ModifiedSeconds() * 1'000'000'000);
  return note;
}

void Extractor::ApplyAttributes(File& file, const RestoreHint& hint) {
  const AttributeChanges changes = ChangesBetween(file.ExtendedAttributes(), hint.attributes, hint.namespaces);
  for (const std::string& gone : changes.remove) file.RemoveExtendedAttribute(gone);
  for (const ExtendedAttribute& a : changes.set) file.SetExtendedAttribute(a.name, a.value);
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

// Whether the file at the target is still the one that was made safe: by
// device and file number, and birth time where both are known, so that a
// number the file system gave again to a new file does not pass.
bool SameFile(const FileStat& now, const std::optional<RestoreHint>& hint) {
  if (!hint || (hint->device == 0 && hint->file_id == 0)) return true;
  if (now.device != hint->device || now.file_id != hint->file_id) return false;
  return hint->birth_ns == 0 || now.birth_ns == 0 || now.birth_ns == hint->birth_ns;
}

}  // namespace

void Extractor::StageRestore(const Entry& entry, const std::string& target, std::optional<RestoreHint> hint) {
  const std::optional<std::string> held = CheckEntry(entry, target);
  Staged staged{&entry, target, OpenFolder(fs_.GetParentFolderName(target), /*keep=*/true), {}, nullptr, {},
                std::move(hint)};
  const std::string name = fs_.GetFileName(target);
  FileStat st;
  bool exists = true;
  try {
    st = staged.folder->StatEntry(name);
  } catch (const Error& e) {
    if (!e.IsNotFound()) throw;
    exists = false;
  }
  if (exists && st.is_folder) {
    throw RestoreError(errnum::kPermissionDenied, "A folder is where the file belongs", target);
  }
  const bool posix = fs_.paths().Separator() == '/';
  if (exists && !st.is_symlink && posix && (st.attributes & kUnixTypeMask) != kUnixRegular) {
    throw RestoreError(errnum::kPermissionDenied, "A device, pipe or socket is where the file belongs", target);
  }
  if (exists && !st.is_symlink && SameFile(st, staged.hint)) {
    try {
      Rewrite(staged, held);
    } catch (const Error& e) {
      if (!IsBusyFile(e)) throw;
      staged.out.reset();
      Recreate(staged, held);
    }
  } else {
    Recreate(staged, held);
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

void Extractor::Rewrite(Staged& s, const std::optional<std::string>& held) {
  // Refuses, without following it, whatever took the file's place since.
  s.out = s.folder->OpenForRewrite(fs_.GetFileName(s.target));
  // A large copy goes into the emptied file, so that its runs of zeros stay
  // holes: a sparse file comes back sparse, not as large on disk as it reads.
  if (!held) s.out->Truncate(0);
  WriteOut(*s.out, *s.entry, held, s.target, !held);
}

void Extractor::Recreate(Staged& s, const std::optional<std::string>& held) {
  // Named after its target, so that a run cut short leaves a name that says
  // what it was. Whatever holds the name already is left as it is.
  const std::string base = fs_.GetFileName(s.target) + ".brightkeep-restore";
  const OpenMode create = s.entry->unix_mode() != 0 ? OpenMode::kCreatePrivate : OpenMode::kCreateNew;
  constexpr int kNames = 100;
  for (int n = 0; !s.out; ++n) {
    s.temp = n == 0 ? base : base + "." + std::to_string(n);
    try {
      s.out = s.folder->OpenEntry(s.temp, create);
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || n + 1 == kNames) throw;
    }
  }
  try {
    WriteOut(*s.out, *s.entry, held, s.target, true);
  } catch (const Error&) {
    s.out.reset();
    Discard(s);
    throw;
  }
}

void Extractor::Discard(Staged& s) {
  try {
    s.folder->RemoveEntry(s.temp);
  } catch (const Error&) {
    // The failure that brought us here is the one to report.
  }
}

std::vector<RestoreOutcome> Extractor::FinishRestores() {
  std::vector<File*> files;
  for (const Staged& s : staged_) files.push_back(s.out.get());
  try {
    fs_.SyncFiles(files);
  } catch (const Error& e) {
    for (Staged& s : staged_) s.result.error = e;
  }
  for (Staged& s : staged_) Complete(s);
  // New files count once their names are durable: the folders they were
  // renamed into, and those where folders were created for them.
  for (const Staged& s : staged_) {
    if (!s.temp.empty() && !s.result.error) touched_.insert(s.folder->path());
  }
  for (const std::string& folder : touched_) {
    try {
      fs_.SyncFolder(folder);
    } catch (const Error& e) {
      for (Staged& s : staged_) {
        if (!s.temp.empty() && !s.result.error) s.result.error = e;
      }
    }
  }
  touched_.clear();
  std::vector<RestoreOutcome> outcomes;
  for (Staged& s : staged_) outcomes.push_back(std::move(s.result));
  staged_.clear();
  folders_.clear();
  staged_bytes_ = 0;
  return outcomes;
}

void Extractor::Complete(Staged& s) {
  try {
    if (s.result.error) throw *s.result.error;
    s.result.note = ApplyMetadata(*s.out, *s.entry, /*with_owner=*/true, s.hint ? &*s.hint : nullptr);
    s.out->Close();
    if (!s.temp.empty()) s.folder->RenameEntry(s.temp, fs_.GetFileName(s.target));
  } catch (const Error& e) {
    s.result.error = e;
    s.result.note.clear();
    s.out.reset();
    if (!s.temp.empty()) Discard(s);
  }
}

}  // namespace bk::zip
