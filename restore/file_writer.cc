#include "restore/file_writer.h"

#include <cstring>

#include "component/platform.h"

namespace bk::restore {
namespace {

constexpr uint32_t kWinReadOnly = 0x01, kWinHidden = 0x02, kWinSystem = 0x04, kWinArchive = 0x20, kWinNormal = 0x80;
// A copy up to this size is checked and kept in one reading; a larger one is
// read again to be written.
constexpr uint64_t kHeldSize = 1 << 20;

bool AllZeros(const char* data, size_t n) { return n > 0 && data[0] == 0 && std::memcmp(data, data + 1, n - 1) == 0; }

Error RestoreError(int32_t number, const std::string& why, const std::string& path, ErrorKind kind) {
  return Error(number, kLibrarySource, why, path).Kind(kind);
}

// True when the name no longer holds the entry the planner saw there.
bool Replaced(Folder& folder, const std::string& name, const Seen& seen) {
  try {
    return !SameEntry(folder.StatEntry(name), seen.AsStat());
  } catch (const Error& e) {
    if (!e.IsNotFound()) throw;
    return true;
  }
}

}  // namespace

Error ChangedMeanwhile(const std::string& path) {
  return Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: changed while the rollback ran", path)
      .Kind(ErrorKind::kRefused);
}

std::optional<std::string> FileWriter::Check(const zip::Entry& entry, const std::string& path) {
  if (entry.flags & zip::kFlagEncrypted) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file is encrypted", path, ErrorKind::kCorrupt);
  }
  if (entry.method != zip::kMethodStored && entry.method != zip::kMethodDeflated) {
    throw RestoreError(errnum::kArchiveError,
                       "The archive's copy of the file uses an unsupported compression method (" +
                           std::to_string(entry.method) + ")",
                       path, ErrorKind::kCorrupt);
  }
  // The reader stops at the recorded size, so a lying entry cannot make the
  // held copy grow.
  std::optional<std::string> held;
  if (entry.size <= kHeldSize) held.emplace().reserve(static_cast<size_t>(entry.size));
  if (!archive_.Extract(entry, [&](const char* data, size_t n) {
        if (held) held->append(data, n);
      })) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file is damaged (CRC or size mismatch)", path,
                       ErrorKind::kCorrupt);
  }
  return held;
}

void FileWriter::Stage(const zip::Entry& entry, Target target, size_t tag) {
  const std::optional<std::string> held = Check(entry, target.path);
  Staged s{&entry, std::move(target), tag, {}, nullptr, Done{tag, std::nullopt, {}}};
  if (s.target.in_place && s.target.seen.kind == Kind::kFile) {
    try {
      Rewrite(s, held);
    } catch (const Error& e) {
      if (!IsBusyFile(e)) throw;
      s.out.reset();
      Recreate(s, held);
    }
  } else {
    Recreate(s, held);
  }
  staged_bytes_ += entry.size;
  staged_.push_back(std::move(s));
}

void FileWriter::WriteOut(File& out, const zip::Entry& entry, const std::optional<std::string>& held,
                          const std::string& path, bool fresh) {
  uint64_t written = 0;
  const auto sink = [&](const char* data, size_t n) {
    // Runs of zeros of a large copy are left as holes, as sparse files had
    // them: skipped in a new file, punched in a rewritten one.
    if (!held && AllZeros(data, n)) {
      if (!fresh) out.ZeroRange(written, n);
    } else {
      out.WriteAt(written, data, n);
    }
    written += n;
    if (written_) written_(n);
  };
  if (held) {
    sink(held->data(), held->size());
  } else if (!archive_.Extract(entry, sink)) {
    throw RestoreError(errnum::kArchiveError, "The archive's copy of the file changed while it was read", path,
                       ErrorKind::kCorrupt);
  }
  if (out.Size() != written) out.Truncate(written);
}

void FileWriter::Rewrite(Staged& s, const std::optional<std::string>& held) {
  // Refuses, without following it, whatever took the file's place since: a
  // link, a folder, a pipe.
  try {
    s.out = s.target.folder->OpenForRewrite(s.target.name);
  } catch (const Error& e) {
    if (!IsBusyFile(e) && Replaced(*s.target.folder, s.target.name, s.target.seen)) {
      throw ChangedMeanwhile(s.target.path);
    }
    throw;
  }
  if (!SameEntry(s.out->Stat(), s.target.seen.AsStat())) {
    s.out.reset();
    throw ChangedMeanwhile(s.target.path);
  }
  WriteOut(*s.out, *s.entry, held, s.target.path, false);
}

void FileWriter::Recreate(Staged& s, const std::optional<std::string>& held) {
  // Named after its target, so that a run cut short leaves a name that says
  // what it was. Whatever holds the name already is left as it is.
  const std::string base = s.target.name + ".brightkeep-restore";
  const OpenMode create = s.entry->unix_mode() != 0 ? OpenMode::kCreatePrivate : OpenMode::kCreateNew;
  constexpr int kNames = 100;
  s.temp = CreateFresh([&](int n) { return n == 0 ? base : base + "." + std::to_string(n); }, kNames,
                       [&](const std::string& name) { s.out = s.target.folder->OpenEntry(name, create); });
  try {
    WriteOut(*s.out, *s.entry, held, s.target.path, true);
  } catch (const Error&) {
    s.out.reset();
    Discard(s);
    throw;
  }
}

void FileWriter::Discard(Staged& s) {
  try {
    s.target.folder->RemoveEntry(s.temp);
  } catch (const Error&) {
    // The failure that brought us here is the one to report.
  }
}

std::string FileWriter::ApplyMetadata(File& file, const zip::Entry& entry, const std::optional<RecordedFile>& recorded) {
  const uint32_t mode = entry.unix_mode() & 07777;
  std::string note;
  if (posix_) {
    bool owner_applied = false;
    if (entry.unix_owner && entry.unix_group) {
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
    } else if (entry.external_attributes & zip::kDosReadOnly) {
      file.SetAttributes(file.Stat().attributes & 07777 & ~(0222u | kSetIds));
    }
    if (recorded && !namespaces_.empty()) {
      const AttributeChanges changes = ChangesBetween(file.ExtendedAttributes(), recorded->attributes, namespaces_);
      for (const std::string& gone : changes.remove) file.RemoveExtendedAttribute(gone);
      for (const ExtendedAttribute& a : changes.set) file.SetExtendedAttribute(a.name, a.value);
    }
  } else {
    uint32_t attributes = entry.external_attributes & (kWinReadOnly | kWinHidden | kWinSystem | kWinArchive);
    if (mode != 0 && (mode & 0200) == 0) attributes |= kWinReadOnly;
    file.SetAttributes(attributes != 0 ? attributes : kWinNormal);
  }
  file.SetModifiedTime(recorded && recorded->modified_ns != 0 ? recorded->modified_ns
                                                              : entry.ModifiedSeconds() * 1'000'000'000);
  return note;
}

std::vector<FileWriter::Done> FileWriter::Finish() {
  std::vector<File*> files;
  for (const Staged& s : staged_) files.push_back(s.out.get());
  try {
    fs_.SyncFiles(files);
  } catch (const Error& e) {
    for (Staged& s : staged_) s.done.error = e;
  }
  std::vector<std::shared_ptr<Folder>> changed;
  for (Staged& s : staged_) {
    Complete(s);
    if (!s.temp.empty() && !s.done.error &&
        std::find(changed.begin(), changed.end(), s.target.folder) == changed.end()) {
      changed.push_back(s.target.folder);
    }
  }
  // New files count once their names are durable.
  for (const std::shared_ptr<Folder>& folder : changed) {
    try {
      folder->Sync();
    } catch (const Error& e) {
      for (Staged& s : staged_) {
        if (s.target.folder == folder && !s.temp.empty() && !s.done.error) s.done.error = e;
      }
    }
  }
  std::vector<Done> done;
  for (Staged& s : staged_) done.push_back(std::move(s.done));
  staged_.clear();
  staged_bytes_ = 0;
  return done;
}

void FileWriter::Complete(Staged& s) {
  try {
    if (s.done.error) throw *s.done.error;
    s.done.note = ApplyMetadata(*s.out, *s.entry, s.target.recorded);
    s.out->Close();
    if (!s.temp.empty()) {
      // The name goes to the copy only while it holds what the planner saw.
      std::optional<FileStat> now;
      try {
        now = s.target.folder->StatEntry(s.target.name);
      } catch (const Error& e) {
        if (!e.IsNotFound()) throw;
      }
      const bool same = now ? s.target.seen.kind != Kind::kNone && SameEntry(*now, s.target.seen.AsStat())
                            : s.target.seen.kind == Kind::kNone;
      if (!same) throw ChangedMeanwhile(s.target.path);
      s.target.folder->RenameEntry(s.temp, s.target.name);
    }
  } catch (const Error& e) {
    s.done.error = e.path().empty() ? Error(e.number(), e.source(), e.description(), s.target.path, e.native_code())
                                    : e;
    s.done.note.clear();
    s.out.reset();
    if (!s.temp.empty()) Discard(s);
  }
}

}  // namespace bk::restore
