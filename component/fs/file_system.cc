#include "component/fs/file_system.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "component/error.h"
#include "component/fs/fs_internal.h"

namespace bk {

namespace fs_internal {

std::string RandomTempName() {
  static std::mutex mutex;
  static std::mt19937 rng(std::random_device{}());
  unsigned value;
  {
    std::lock_guard<std::mutex> lock(mutex);
    value = static_cast<unsigned>(rng()) & 0xFFFFFu;
  }
  char name[16];
  std::snprintf(name, sizeof name, "rad%05X.tmp", value);
  return name;
}

Error NotAFolder(std::string_view path, int64_t native_code) {
  return Error(errnum::kPathFileAccessError, kLibrarySource, "Not a folder", std::string(path), native_code);
}

}  // namespace fs_internal

Error NotARegularFile(std::string_view path, int64_t native_code) {
  return Error(errnum::kPathFileAccessError, kLibrarySource, "Not a regular file", std::string(path), native_code);
}

bool SameEntry(const FileStat& a, const FileStat& b) {
  if (a.is_folder != b.is_folder || a.is_symlink != b.is_symlink) return false;
  if (a.device != b.device || a.file_id != b.file_id || a.file_id_high != b.file_id_high) return false;
  return a.birth_ns == 0 || b.birth_ns == 0 || a.birth_ns == b.birth_ns;
}

Error EntryChanged(std::string_view path) {
  return Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: the entry changed since it was looked at",
               std::string(path));
}

void File::ZeroRange(uint64_t offset, uint64_t n) {
  const std::string zeros(static_cast<size_t>(std::min<uint64_t>(n, 1 << 16)), '\0');
  for (uint64_t done = 0; done < n;) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n - done, zeros.size()));
    WriteAt(offset + done, zeros.data(), chunk);
    done += chunk;
  }
}

std::vector<std::string> Folder::ListNames() {
  std::vector<std::string> names;
  for (FolderItem& item : ListEntries()) names.push_back(std::move(item.name));
  return names;
}

std::unique_ptr<Folder> Folder::OpenDescendant(std::string_view relative) {
  std::unique_ptr<Folder> here;
  for (size_t start = 0; start < relative.size();) {
    const size_t slash = std::min(relative.find('/', start), relative.size());
    const std::string_view name = relative.substr(start, slash - start);
    here = (here ? *here : *this).OpenSubfolder(name);
    start = slash + 1;
  }
  if (!here) throw Error::Standard(errnum::kBadFileNameOrNumber, path());
  return here;
}

Error RefusedLink(std::string_view link_path) {
  return Error(errnum::kPermissionDenied, kLibrarySource,
               "Permission denied: a link another user could have placed was refused", std::string(link_path));
}

std::vector<AclEntry> ParsePosixAcl(std::string_view value) {
  const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(value[i])); };
  const auto u16 = [&](size_t i) { return static_cast<uint16_t>(byte(i) | byte(i + 1) << 8); };
  const auto u32 = [&](size_t i) { return byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24; };
  constexpr uint32_t kVersion = 2;
  if (value.size() < 4 || (value.size() - 4) % 8 != 0 || u32(0) != kVersion) {
    throw Error(errnum::kPathFileAccessError, kLibrarySource, "The access control list cannot be read");
  }
  std::vector<AclEntry> entries;
  for (size_t at = 4; at < value.size(); at += 8) entries.push_back(AclEntry{u16(at), u16(at + 2), u32(at + 4)});
  return entries;
}

bool InNamespaces(std::string_view name, const std::vector<std::string>& namespaces) {
  return std::any_of(namespaces.begin(), namespaces.end(), [&](const std::string& ns) { return name.starts_with(ns); });
}

AttributeChanges ChangesBetween(const std::vector<ExtendedAttribute>& now, const std::vector<ExtendedAttribute>& wanted,
                                const std::vector<std::string>& namespaces) {
  AttributeChanges changes;
  for (const ExtendedAttribute& a : now) {
    const bool kept = std::any_of(wanted.begin(), wanted.end(), [&](const ExtendedAttribute& w) { return w.name == a.name; });
    if (!kept && InNamespaces(a.name, namespaces)) changes.remove.push_back(a.name);
  }
  for (const ExtendedAttribute& w : wanted) {
    if (std::find(now.begin(), now.end(), w) == now.end()) changes.set.push_back(w);
  }
  return changes;
}

void File::SetOwner(uint32_t, uint32_t) { throw Error::Standard(errnum::kPermissionDenied, path()); }
void File::SetAttributes(uint32_t) { throw Error::Standard(errnum::kPermissionDenied, path()); }
void File::SetModifiedTime(int64_t) { throw Error::Standard(errnum::kPermissionDenied, path()); }
std::vector<ExtendedAttribute> File::ExtendedAttributes() { return {}; }
void File::SetExtendedAttribute(std::string_view, std::string_view) {
  throw Error::Standard(errnum::kPermissionDenied, path());
}
void File::RemoveExtendedAttribute(std::string_view) { throw Error::Standard(errnum::kPermissionDenied, path()); }
void File::CloneRangeFrom(File&, uint64_t, uint64_t, uint64_t) {
  throw Error::Standard(errnum::kPathFileAccessError, path());
}

std::string File::ReadAll() {
  std::string out;
  char buffer[65536];
  for (;;) {
    const size_t n = ReadAt(out.size(), buffer, sizeof buffer);
    if (n == 0) return out;
    out.append(buffer, n);
  }
}

bool File::TryLock(LockKind) { throw Error::Standard(errnum::kPathFileAccessError, path()); }

void File::Lock(LockKind) { throw Error::Standard(errnum::kPathFileAccessError, path()); }

bool File::TryLockByte(LockKind, uint64_t) { throw Error::Standard(errnum::kPathFileAccessError, path()); }

void FileSystem::SyncFiles(const std::vector<File*>& files) {
  for (File* file : files) file->Sync();
}

std::unique_ptr<TextWriter> FileSystem::CreateTextFile(std::string_view path, bool overwrite, bool unicode) {
  return std::make_unique<TextWriter>(Open(path, overwrite ? OpenMode::kCreate : OpenMode::kCreateNew), unicode);
}

std::unique_ptr<TextReader> FileSystem::OpenTextFile(std::string_view path) {
  return std::make_unique<TextReader>(Open(path, OpenMode::kRead));
}

std::string CreateFresh(const std::function<std::string(int)>& name_of, int attempts,
                        const std::function<void(const std::string&)>& create) {
  for (int n = 0;; ++n) {
    const std::string name = name_of(n);
    try {
      create(name);
      return name;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || n + 1 >= attempts) throw;
    }
  }
}

std::string NumberedName(std::string_view path, int n) {
  std::string name(path);
  if (n == 0) return name;
  const size_t slash = name.find_last_of("/\\");
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot <= start) dot = name.size();
  return name.insert(dot, "-" + std::to_string(n + 1));
}

std::unique_ptr<File> FileSystem::CreateFresh(const std::function<std::string(int)>& path_of, OpenMode mode,
                                              int attempts, std::string* chosen) {
  std::unique_ptr<File> file;
  *chosen = bk::CreateFresh(path_of, attempts, [&](const std::string& path) { file = Open(path, mode); });
  return file;
}

std::unique_ptr<File> FileSystem::WriteNewFile(std::unique_ptr<File> file, const ContentWriter& write,
                                               File* flushed_with, bool keep) {
  const std::string path = file->path();
  try {
    write(*file);
    if (flushed_with) {
      SyncFiles({file.get(), flushed_with});
    } else {
      file->Sync();
    }
    if (keep) return file;
    file->Close();
    return nullptr;
  } catch (...) {
    file.reset();
    try {
      RemoveFile(path, true);
    } catch (...) {
      // The original failure is the one to report.
    }
    throw;
  }
}

namespace {

FileSystem::ContentWriter BytesWriter(std::string_view bytes) {
  return [bytes](File& file) { file.WriteAt(0, bytes.data(), bytes.size()); };
}

}  // namespace

void FileSystem::CreateFileDurably(std::string_view path, std::string_view bytes) {
  PublishDurably(path, BytesWriter(bytes), /*replace=*/false, nullptr, nullptr);
}

void FileSystem::ReplaceFileDurably(std::string_view path, std::string_view bytes, File* flushed_with) {
  PublishDurably(path, BytesWriter(bytes), /*replace=*/true, flushed_with, nullptr);
}

void FileSystem::ReplaceFileDurably(std::string_view path, const ContentWriter& write, File* flushed_with,
                                    std::unique_ptr<File>* kept) {
  PublishDurably(path, write, /*replace=*/true, flushed_with, kept);
}

namespace {

// An error about the temporary file beside a target is told as the target's:
// the user knows that name, never the temporary one.
Error AsTargets(const Error& e, const std::string& temp, std::string_view target) {
  if (e.path() != temp) return e;
  return Error(e.number(), e.source(), e.description(), std::string(target), e.native_code());
}

}  // namespace

void FileSystem::PublishDurably(std::string_view path, const ContentWriter& write, bool replace, File* flushed_with,
                                std::unique_ptr<File>* kept) {
  std::string folder = GetParentFolderName(path);
  if (folder.empty()) folder = GetParentFolderName(GetAbsolutePathName(path));

  // A fresh name that starts with the target's, so that a write cut short
  // leaves a file that says whose it was; a clash is retried with another.
  constexpr int kNames = 20;
  std::string temp;
  std::unique_ptr<File> written;
  try {
    std::unique_ptr<File> file = CreateFresh(
        [&](int) { return BuildPath(folder, GetFileName(path) + "." + GetTempName()); }, OpenMode::kCreatePrivate,
        kNames, &temp);
    written = WriteNewFile(std::move(file), write, flushed_with, kept != nullptr);
  } catch (const Error& e) {
    throw AsTargets(e, temp, path);
  }

  try {
    if (replace) {
      RenameFile(temp, path);
    } else {
      RenameNoReplace(temp, path);
    }
    SyncFolder(folder);
  } catch (...) {
    written.reset();
    try {
      if (FileExists(temp)) RemoveFile(temp, true);
    } catch (...) {
      // The original failure is the one to report.
    }
    try {
      throw;
    } catch (const Error& e) {
      throw AsTargets(e, temp, path);
    }
  }
  if (kept) *kept = std::move(written);
}

}  // namespace bk
