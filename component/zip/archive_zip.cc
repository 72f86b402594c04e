// The writing half of the archive component: Zip, ZipFiles and Flush.
#include <algorithm>
#include <deque>
#include <optional>

#include "component/error.h"
#include "component/zip/archive.h"
#include "component/zip/archive_state.h"
#include "component/zip/zip_pack.h"
#include "component/zip/zip_writer.h"

namespace bk {
namespace {

using archive_detail::Saturate;

constexpr uint32_t kWinAttributesKept = 0x01 | 0x02 | 0x04 | 0x20;  // read-only, hidden, system, archive

// ZipFiles opens and reads files ahead of their turn, so the packing threads
// have work while the current entry is written; this bounds how far.
constexpr size_t kReadAheadFiles = 64;
constexpr uint64_t kReadAheadBytes = 16 << 20;

// Thrown through the deflater when reading the file being stored fails.
struct SourceFailure {};

int64_t FloorSeconds(int64_t ns) { return ns >= 0 ? ns / 1'000'000'000 : -((-ns + 999'999'999) / 1'000'000'000); }

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

zip::Entry NewEntry(const std::string& name, const FileStat& st, bool windows) {
  zip::Entry e;
  e.name = name;
  e.flags = IsAscii(name) ? 0 : zip::kFlagUtf8;
  e.unix_mtime = FloorSeconds(st.modified_ns);
  zip::ToDosTime(*e.unix_mtime, &e.dos_time, &e.dos_date);
  if (windows) {
    e.made_by = (zip::kHostDos << 8) | zip::kVersionZip64;
    e.external_attributes = st.attributes & kWinAttributesKept;
  } else {
    const uint32_t mode = st.attributes & 07777;
    e.made_by = (zip::kHostUnix << 8) | zip::kVersionZip64;
    e.external_attributes = ((mode | zip::kUnixRegular) << 16) | ((mode & 0200) ? 0 : zip::kDosReadOnly);
    if (st.owner >= 0 && st.group >= 0) {
      e.unix_owner = static_cast<uint32_t>(st.owner);
      e.unix_group = static_cast<uint32_t>(st.group);
    }
  }
  return e;
}

SkippingFileArgs FileArgs(const std::string& name, const std::string& path, const FileStat& st) {
  SkippingFileArgs a;
  a.sFilename = name;
  a.sFilenameOnDisk = path;
  a.lSize = Saturate(st.size);
  a.xAttributes = static_cast<int32_t>(st.attributes);
  a.dtLastModified = st.modified_ns != 0 ? zip::OleDateFromSeconds(FloorSeconds(st.modified_ns)) : 0;
  a.xMethod = zip::kMethodDeflated;
  return a;
}

bool IsRegular(const FileSystem& fs, const FileStat& st) {
  if (st.is_folder) return false;
  return !fs.paths().HasPosixModes() || st.is_symlink || (st.attributes & zip::kUnixTypeMask) == zip::kUnixRegular;
}

// The folder holding the file to store and the file's name in it, reached
// without a link another user could have placed; a link given to be stored
// leads, by the same rule, to the file it names. The folder of the previous
// file of the same call is used again for its siblings, so that a list in
// folder order walks each folder's path once.
std::shared_ptr<Folder> SourceFolder(FileSystem& fs, const std::string& path, std::string* name, FileStat* st,
                                     ArchiveComponent::SourceFolders* last) {
  *name = fs.GetFileName(path);
  const std::string parent = fs.GetParentFolderName(path);
  std::shared_ptr<Folder> folder;
  if (last && last->folder && last->path == parent) {
    folder = last->folder;
  } else {
    folder = fs.OpenFolder(parent, nullptr);
    if (last) *last = {parent, folder};
  }
  *st = folder->StatEntry(*name);
  if (!st->is_symlink) return folder;
  const std::string resolved = fs.ResolveLinks(path);
  *name = fs.GetFileName(resolved);
  folder = fs.OpenFolder(fs.GetParentFolderName(resolved), nullptr);
  *st = folder->StatEntry(*name);
  return folder;
}

// Opens the file to store. Returns why it cannot be stored, if so.
std::optional<SkipReason> OpenSource(FileSystem& fs, const std::string& path, bool include_open, FileStat* st,
                                     std::unique_ptr<File>* file, ArchiveComponent::SourceFolders* last) {
  std::shared_ptr<Folder> folder;
  std::string name;
  try {
    folder = SourceFolder(fs, path, &name, st, last);
  } catch (const Error&) {
    return SkipReason::kCannotOpen;
  }
  if (!IsRegular(fs, *st)) return SkipReason::kNotAFile;
  try {
    *file = folder->OpenEntry(name, include_open ? OpenMode::kRead : OpenMode::kReadDenyWriters);
  } catch (const Error& e) {
    if (include_open || e.number() != errnum::kPermissionDenied) return SkipReason::kCannotOpen;
    try {
      folder->OpenEntry(name, OpenMode::kRead)->Close();
    } catch (const Error&) {
      return SkipReason::kCannotOpen;
    }
    return SkipReason::kOpenByAnotherProgram;
  }
  try {
    *st = (*file)->Stat();
  } catch (const Error&) {
    return SkipReason::kReadError;
  }
  if (!IsRegular(fs, *st)) return SkipReason::kNotAFile;
  return std::nullopt;
}

bool ChangedSince(File& file, const FileStat& before) {
  try {
    const FileStat after = file.Stat();
    return after.size != before.size || after.modified_ns != before.modified_ns;
  } catch (const Error&) {
    return true;
  }
}

std::unique_ptr<File> OpenForWriting(FileSystem& fs, const std::string& path, bool* created) {
  *created = false;
  // An archive that exists is only ever a regular file reached without a link.
  if (fs.FileExists(path)) return fs.Open(path, OpenMode::kReadWriteRegular);
  try {
    auto file = fs.Open(path, OpenMode::kCreateNew);
    *created = true;
    return file;
  } catch (const Error& e) {
    if (e.number() != errnum::kFileAlreadyExists) throw;
    return fs.Open(path, OpenMode::kReadWriteRegular);
  }
}


// Reads the whole of `n` bytes from the start; fewer only at the end.
size_t ReadWhole(File& file, char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t got = file.ReadAt(done, buffer + done, n - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace

struct ArchiveComponent::Source {
  std::string path;  // absolute
  std::string name;  // the entry's
  FileStat before;
  std::unique_ptr<File> file;  // open while it is to be streamed
  std::optional<SkipReason> skip;
  std::optional<size_t> ticket;  // read whole, packed by the queue into `packed`
  bool clone = false;            // to share its blocks with the archive
  std::shared_ptr<zip::Packed> packed;
  uint64_t read_ahead = 0;       // bytes held in memory for it
};

std::string ArchiveComponent::EntryName(const std::string& path) {
  const std::string name = KeepPaths ? fs_->paths().PathBelowDrive(path) : fs_->GetFileName(path);
  if (name.empty() || name.size() > zip::kMax16) throw Error::Standard(errnum::kBadFileNameOrNumber, path);
  return name;
}

ArchiveComponent::Source ArchiveComponent::Prepare(const std::string& path, zip::WorkQueue& packer,
                                                   SourceFolders* folders) {
  Source s;
  s.path = fs_->GetAbsolutePathName(path);
  s.name = EntryName(s.path);
  s.skip = OpenSource(*fs_, s.path, IncludeOpenFiles, &s.before, &s.file, folders);
  if (s.skip) return s;
  s.clone = CloneFiles && s.before.size >= zip::kCloneThreshold && state_->MayClone(ArchivePath(), s.before.device);
  if (s.clone || s.before.size > zip::kPackLimit) return s;
  // One byte more than expected tells a file that grew.
  std::string raw(static_cast<size_t>(s.before.size) + 1, '\0');
  try {
    raw.resize(ReadWhole(*s.file, raw.data(), raw.size()));
  } catch (const Error&) {
    s.skip = SkipReason::kReadError;
    return s;
  }
  if (raw.size() != s.before.size || ChangedSince(*s.file, s.before)) {
    s.skip = SkipReason::kChangedWhileReading;
    return s;
  }
  s.file.reset();
  s.read_ahead = raw.size();
  s.packed = std::make_shared<zip::Packed>();
  s.ticket = packer.Submit([packed = s.packed, raw = std::move(raw), how = Compress]() mutable {
    *packed = zip::Pack(std::move(raw), how);
  });
  return s;
}

int32_t ArchiveComponent::Store(File& archive, Source& s, zip::WorkQueue& packer,
                                const std::function<void(uint64_t)>& reading) {
  if (s.skip) return Skip(FileArgs(s.name, s.path, s.before), *s.skip);
  zip::Directory& dir = state_->dir;
  zip::Entry entry = NewEntry(s.name, s.before, !fs_->paths().HasPosixModes());
  uint64_t end = 0;
  std::optional<SkipReason> reason;
  if (s.ticket) {
    packer.Wait(*s.ticket);
    end = zip::WritePacked(archive, dir.append_offset, *s.packed, &entry);
  } else {
    uint64_t furthest = 0;  // a file is read again when storing it whole pays better
    const zip::SourceReader read = [&](uint64_t offset, void* buffer, size_t n) -> size_t {
      size_t got = 0;
      try {
        got = s.file->ReadAt(offset, buffer, n);
      } catch (const Error&) {
        reason = SkipReason::kReadError;
        throw SourceFailure{};
      }
      if (reading && offset + got > furthest) reading(furthest = std::min(offset + got, s.before.size));
      return got;
    };
    try {
      std::optional<zip::WriteResult> written;
      // A refusal met since the file was prepared holds for it too.
      if (s.clone && state_->MayClone(state_->path, s.before.device)) {
        written = zip::WriteClonedEntry(archive, dir.append_offset, *s.file, read, s.before.size, &entry);
        // A file that changed may have made the clone fail; that says nothing
        // of the file system.
        if (written || !ChangedSince(*s.file, s.before)) state_->Cloned(written.has_value(), s.before.device);
      }
      if (!written) {
        written = zip::WriteEntry(archive, dir.append_offset, read, s.before.size, &entry,
                                  packer.threads() > 0 ? &packer : nullptr, Compress);
      }
      if (!written->complete || ChangedSince(*s.file, s.before)) reason = SkipReason::kChangedWhileReading;
      end = written->end;
    } catch (const SourceFailure&) {
    }
  }
  if (reason) return Skip(FileArgs(s.name, s.path, s.before), *reason);
  constexpr size_t kBlock = 1 << 20;
  if (dir.added.empty() || dir.added.back().size() >= kBlock) dir.added.emplace_back().reserve(kBlock + 4096);
  dir.added.back() += zip::EncodeCentralRecord(entry);
  ++dir.count;
  dir.append_offset = end;
  state_->pending = true;
  return 0;
}

void ArchiveComponent::WriteCentralDirectory(File& archive) {
  const zip::Directory& dir = state_->dir;
  zip::WriteDirectory(archive, dir.append_offset, dir.central, dir.count, dir.added);
  state_->pending = false;
}

void ArchiveComponent::Append(const std::function<void(File&)>& append) {
  const std::string archive_path = ArchivePath();
  bool created = false;
  std::unique_ptr<File> archive = OpenForWriting(*fs_, archive_path, &created);
  state_->Load(*archive, archive_path);
  state_->valid = false;
  try {
    append(*archive);
  } catch (...) {
    try {  // put the directory back so the archive stays readable
      WriteCentralDirectory(*archive);
      archive->Sync();
    } catch (...) {
    }
    throw;
  }
  Finish(*archive, archive_path, created);
}

void ArchiveComponent::Finish(File& archive, const std::string& archive_path, bool created) {
  state_->Remember(archive, archive_path);
  archive.Close();
  if (created) fs_->SyncFolder(fs_->GetParentFolderName(archive_path));
}

int32_t ArchiveComponent::Zip() {
  if (FilesToProcess.empty()) throw Error::Standard(errnum::kInvalidProcedureCall);
  zip::WorkQueue packer(0);
  Source source = Prepare(FilesToProcess, packer, nullptr);
  if (source.skip) return Skip(FileArgs(source.name, source.path, source.before), *source.skip);

  int32_t result = 0;
  Append([&](File& archive) {
    result = Store(archive, source, packer);
    WriteCentralDirectory(archive);  // a skipped file's partial data goes with it
    archive.Sync();
  });
  return result;
}

std::vector<int32_t> ArchiveComponent::ZipFiles(const std::vector<std::string>& paths,
                                                const std::function<void(size_t, int32_t)>& stored,
                                                const std::function<void(uint64_t)>& read) {
  std::vector<int32_t> results(paths.size(), 0);
  if (paths.empty()) return results;
  zip::WorkQueue packer(zip::WorkQueue::DefaultThreads());
  Append([&](File& archive) {
    std::deque<Source> ahead;
    SourceFolders folders;
    uint64_t ahead_bytes = 0, done_bytes = 0;
    size_t next = 0;
    const auto reading = [&](uint64_t bytes) { read(done_bytes + bytes); };
    for (size_t i = 0; i < paths.size(); ++i) {
      while (next < paths.size() &&
             (next == i || (next - i < kReadAheadFiles && ahead_bytes < kReadAheadBytes))) {
        ahead.push_back(Prepare(paths[next++], packer, &folders));
        ahead_bytes += ahead.back().read_ahead;
      }
      Source source = std::move(ahead.front());
      ahead.pop_front();
      ahead_bytes -= source.read_ahead;
      results[i] = Store(archive, source, packer, read ? std::function<void(uint64_t)>(reading) : nullptr);
      done_bytes += source.before.size;
      if (read) read(done_bytes);
      if (stored) stored(i, results[i]);
    }
    WriteCentralDirectory(archive);
    archive.Sync();
  });
  return results;
}

bool ArchiveComponent::StoredClones() {
  return state_->cloned && state_->clone_path == ArchivePath();
}

void ArchiveComponent::Flush() {
  const std::string archive_path = ArchivePath();
  if (state_->valid && state_->path == archive_path && !state_->pending) return;
  if (!fs_->FileExists(archive_path)) return;
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kReadWriteRegular);
  state_->Load(*archive, archive_path);
  if (!state_->pending) return;
  state_->valid = false;
  WriteCentralDirectory(*archive);
  archive->Sync();
  Finish(*archive, archive_path, false);
}

}  // namespace bk
