#include "component/zip/archive.h"

#include <algorithm>
#include <climits>
#include <map>
#include <optional>
#include <set>

#include "component/error.h"
#include "component/text.h"
#include "component/zip/zip_extract.h"
#include "component/zip/zip_reader.h"
#include "component/zip/zip_writer.h"

namespace bk {
namespace {

constexpr uint32_t kWinAttributesKept = 0x01 | 0x02 | 0x04 | 0x20;  // read-only, hidden, system, archive
constexpr size_t kTailLength = zip::kEnd64Size + zip::kLocator64Size + zip::kEndSize;

// Thrown through the deflater when reading the file being stored fails.
struct SourceFailure {};

int32_t Saturate(uint64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

int64_t FloorSeconds(int64_t ns) { return ns >= 0 ? ns / 1'000'000'000 : -((-ns + 999'999'999) / 1'000'000'000); }

bool IsWindows(const FileSystem& fs) { return fs.paths().Separator() == '\\'; }

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
    e.unix_owner = st.owner;
    e.unix_group = st.group;
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

SkippingFileArgs EntryArgs(const zip::Entry& e, const std::string& target) {
  SkippingFileArgs a;
  a.sFilename = e.name;
  a.sFilenameOnDisk = target;
  a.lSize = Saturate(e.size);
  a.lCompressedSize = Saturate(e.compressed_size);
  a.xAttributes = static_cast<int32_t>(e.external_attributes);
  a.lCRC = static_cast<int32_t>(e.crc);
  a.dtLastModified = zip::OleDateFromSeconds(e.ModifiedSeconds());
  a.xMethod = e.method;
  a.bEncrypted = (e.flags & zip::kFlagEncrypted) != 0;
  return a;
}

bool IsRegular(const FileSystem& fs, const FileStat& st) {
  if (st.is_folder) return false;
  return IsWindows(fs) || st.is_symlink || (st.attributes & zip::kUnixTypeMask) == zip::kUnixRegular;
}

// Opens the file to store. Returns why it cannot be stored, if so.
std::optional<SkipReason> OpenSource(FileSystem& fs, const std::string& path, bool include_open, FileStat* st,
                                     std::unique_ptr<File>* file) {
  try {
    *st = fs.Stat(path);
  } catch (const Error&) {
    return SkipReason::kCannotOpen;
  }
  if (!IsRegular(fs, *st)) return SkipReason::kNotAFile;
  try {
    *file = fs.Open(path, include_open ? OpenMode::kRead : OpenMode::kReadDenyWriters);
  } catch (const Error& e) {
    if (include_open || e.number() != errnum::kPermissionDenied) return SkipReason::kCannotOpen;
    try {
      fs.Open(path, OpenMode::kRead)->Close();
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
  if (fs.FileExists(path)) return fs.Open(path, OpenMode::kReadWrite);
  try {
    auto file = fs.Open(path, OpenMode::kCreateNew);
    *created = true;
    return file;
  } catch (const Error& e) {
    if (e.number() != errnum::kFileAlreadyExists) throw;
    return fs.Open(path, OpenMode::kReadWrite);
  }
}

bool Matches(std::string_view name, std::string pattern) {
  std::replace(pattern.begin(), pattern.end(), '\\', '/');
  return text::EqualsIgnoreCase(name, pattern);
}

// The entries Unzip considers, in archive order.
std::vector<const zip::Entry*> Select(const std::vector<zip::Entry>& entries, const std::string& include,
                                      const std::string& exclude) {
  std::vector<const zip::Entry*> out;
  for (const zip::Entry& e : entries) {
    if (!include.empty() && !Matches(e.name, include)) continue;
    if (!exclude.empty() && Matches(e.name, exclude)) continue;
    out.push_back(&e);
  }
  return out;
}

// Identifies the file a target path names: by Windows rules letter case does
// not tell files apart.
std::string TargetKey(const std::string& target, bool windows) { return windows ? text::FoldCase(target) : target; }

bool IsBelow(const PathRules& rules, const std::string& folder, const std::string& path) {
  std::string prefix = folder;
  if (prefix.empty() || !rules.IsSeparator(prefix.back())) prefix += rules.Separator();
  const std::string resolved = rules.Absolute(path, folder);
  return resolved.size() > prefix.size() && resolved.compare(0, prefix.size(), prefix) == 0;
}

Error UnsafeName(const std::string& name) {
  return Error(errnum::kArchiveError, kLibrarySource,
               "The archive holds an entry that would be written outside the destination folder", name);
}

}  // namespace

// The directory of the archive last used, kept while the archive's size and
// end records stay as this object last saw them.
struct ArchiveComponent::State {
  std::string path;
  uint64_t size = 0;
  std::string tail;
  zip::Directory dir;
  bool valid = false;

  zip::Directory& Load(File& f, const std::string& archive_path) {
    const uint64_t now = f.Size();
    if (valid && path == archive_path && size == now && Tail(f, now) == tail) return dir;
    valid = false;
    dir = zip::ReadDirectory(f);
    Remember(f, archive_path);
    return dir;
  }

  void Remember(File& f, const std::string& archive_path) {
    path = archive_path;
    size = f.Size();
    tail = Tail(f, size);
    valid = true;
  }

  static std::string Tail(File& f, uint64_t size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, kTailLength));
    return zip::ReadBytes(f, size - n, n);
  }
};

ArchiveComponent::ArchiveComponent(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)), state_(new State) {}
ArchiveComponent::~ArchiveComponent() = default;

std::string ArchiveComponent::ArchivePath() {
  if (ArchiveFileName.empty()) throw Error::Standard(errnum::kBadFileNameOrNumber);
  return fs_->GetAbsolutePathName(ArchiveFileName);
}

std::string ArchiveComponent::Destination() {
  std::string folder = DestinationFolder.empty() ? std::string(".") : DestinationFolder;
  if (fs_->GetDriveName(folder) == folder) folder = fs_->paths().DriveRoot(folder);
  return fs_->GetAbsolutePathName(folder);
}

int32_t ArchiveComponent::Skip(SkippingFileArgs args, SkipReason reason) {
  args.xReason = static_cast<int32_t>(reason);
  if (SkippingFile) SkippingFile(args);
  return args.xReason;
}

int32_t ArchiveComponent::Zip() {
  if (FilesToProcess.empty()) throw Error::Standard(errnum::kInvalidProcedureCall);
  const std::string path = fs_->GetAbsolutePathName(FilesToProcess);
  const std::string name = KeepPaths ? fs_->paths().PathBelowDrive(path) : fs_->GetFileName(path);
  if (name.empty() || name.size() > zip::kMax16) throw Error::Standard(errnum::kBadFileNameOrNumber, path);
  FileStat before;
  std::unique_ptr<File> source;
  if (auto reason = OpenSource(*fs_, path, IncludeOpenFiles, &before, &source)) {
    return Skip(FileArgs(name, path, before), *reason);
  }

  const std::string archive_path = ArchivePath();
  bool created = false;
  std::unique_ptr<File> archive = OpenForWriting(*fs_, archive_path, &created);
  zip::Directory& dir = state_->Load(*archive, archive_path);
  state_->valid = false;
  zip::Entry entry = NewEntry(name, before, IsWindows(*fs_));
  std::optional<SkipReason> reason;
  const zip::SourceReader read = [&](uint64_t offset, void* buffer, size_t n) -> size_t {
    try {
      return source->ReadAt(offset, buffer, n);
    } catch (const Error&) {
      reason = SkipReason::kReadError;
      throw SourceFailure{};
    }
  };
  try {
    const zip::WriteResult written = zip::WriteEntry(*archive, dir.append_offset, read, before.size, &entry);
    if (!written.complete || ChangedSince(*source, before)) reason = SkipReason::kChangedWhileReading;
    if (!reason) {
      archive->Sync();  // the data is durable before a directory names it
      dir.central += zip::EncodeCentralRecord(entry);
      dir.entries.push_back(std::move(entry));
      dir.append_offset = written.end;
    }
  } catch (const SourceFailure&) {
  } catch (...) {
    try {  // put the earlier directory back so the archive stays readable
      zip::WriteDirectory(*archive, dir.append_offset, dir.central, dir.entries.size());
      archive->Sync();
    } catch (...) {
    }
    throw;
  }
  zip::WriteDirectory(*archive, dir.append_offset, dir.central, dir.entries.size());
  archive->Sync();
  state_->Remember(*archive, archive_path);
  archive->Close();
  if (created) fs_->SyncFolder(fs_->GetParentFolderName(archive_path));
  return reason ? Skip(FileArgs(name, path, before), *reason) : 0;
}

int32_t ArchiveComponent::Unzip() {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kRead);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  const std::string destination = Destination();
  const PathRules& rules = fs_->paths();
  const std::vector<const zip::Entry*> selected = Select(dir.entries, FilesToProcess, FilesToExclude);
  std::vector<std::string> targets;
  for (const zip::Entry* e : selected) {
    if (zip::IsUnsafeName(e->name, IsWindows(*fs_)) || e->IsSymlink()) throw UnsafeName(e->name);
    targets.push_back(zip::TargetPath(rules, destination, *e, KeepPaths));
    if (!targets.back().empty() && !IsBelow(rules, destination, targets.back())) throw UnsafeName(e->name);
  }

  zip::Extractor extractor(*fs_, *archive, archive->Size());
  std::string first_failure;
  // A file stored more than once is written from its first entry: a file made
  // safe twice in one period comes back as it was the first time.
  std::set<std::string> files_taken;
  for (size_t i = 0; i < selected.size(); ++i) {
    const zip::Entry& e = *selected[i];
    if (targets[i].empty()) continue;
    if (!e.IsFolder() && !files_taken.insert(TargetKey(targets[i], IsWindows(*fs_))).second) continue;
    int32_t reason = 0;
    if (e.IsFolder()) {
      try {
        extractor.EnsureFolder(targets[i]);
      } catch (const Error&) {
        reason = static_cast<int32_t>(SkipReason::kCannotWrite);
      }
    } else {
      reason = extractor.WriteFile(e, targets[i]);
    }
    if (reason == 0) continue;
    Skip(EntryArgs(e, targets[i]), static_cast<SkipReason>(reason));
    if (first_failure.empty()) first_failure = e.name;
  }
  const bool synced = extractor.SyncFolders();
  if (!first_failure.empty()) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Some files could not be extracted from the archive",
                first_failure);
  }
  if (!synced) throw Error(errnum::kArchiveError, kLibrarySource, "The extracted files could not be flushed", destination);
  return 0;
}

std::vector<std::string> ArchiveComponent::ListEntries() {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kRead);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  std::vector<std::string> names;
  names.reserve(dir.entries.size());
  for (const zip::Entry& e : dir.entries) names.push_back(e.name);
  return names;
}

std::optional<std::string> ArchiveComponent::ReadEntry(std::string_view name) {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kRead);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  for (const zip::Entry& e : dir.entries) {
    if (!Matches(e.name, std::string(name))) continue;
    std::string bytes;
    const bool intact = zip::ExtractEntry(*archive, archive->Size(), e, [&](const char* data, size_t n) {
      if (bytes.size() + n > zip::kBufferSize) throw Error::Standard(errnum::kOverflow, e.name);
      bytes.append(data, n);
    });
    if (!intact) {
      throw Error(errnum::kArchiveError, kLibrarySource, "The archive's entry \"" + e.name + "\" is damaged",
                  archive_path);
    }
    return bytes;
  }
  return std::nullopt;
}

std::vector<std::optional<Error>> ArchiveComponent::RestoreFiles(const std::vector<std::string>& names) {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kRead);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  const bool windows = IsWindows(*fs_);
  // The first entry of each name: a file made safe twice comes back as it
  // was the first time.
  std::map<std::string, const zip::Entry*> first;
  for (const zip::Entry& e : dir.entries) first.emplace(TargetKey(e.name, windows), &e);
  const std::string destination = Destination();
  zip::Extractor extractor(*fs_, *archive, archive->Size());
  std::vector<std::optional<Error>> outcomes;
  for (const std::string& name : names) {
    const auto found = first.find(TargetKey(name, windows));
    const std::string target = fs_->paths().Absolute(name, destination);
    try {
      if (found == first.end()) {
        throw Error(errnum::kFileNotFound, kLibrarySource, "The archive holds no copy of the file", target);
      }
      const zip::Entry& e = *found->second;
      const std::string path = zip::IsUnsafeName(e.name, windows) || e.IsSymlink() || e.IsFolder()
                                   ? std::string()
                                   : zip::TargetPath(fs_->paths(), destination, e, true);
      if (path.empty() || !IsBelow(fs_->paths(), destination, path)) throw UnsafeName(e.name);
      extractor.RestoreFile(e, path);
      outcomes.emplace_back();
    } catch (const Error& e) {
      outcomes.emplace_back(e.path().empty() ? Error(e.number(), e.source(), e.description(), target, e.native_code())
                                             : e);
    }
  }
  return outcomes;
}

}  // namespace bk
