#include <windows.h>

#include <algorithm>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/fs/fs_internal.h"
#include "component/fs/windows_internal.h"
#include "component/text.h"

namespace bk {
namespace {

using namespace windows_internal;

std::string Str(std::string_view s) { return std::string(s); }

class WindowsFileSystem final : public FileSystem {
 public:
  const PathRules& paths() const override { return WindowsPathRules(); }

  std::string GetAbsolutePathName(std::string_view path) override { return paths().Absolute(path, CurrentFolder()); }

  std::string GetTempName() override { return fs_internal::RandomTempName(); }

  bool FileExists(std::string_view path) override {
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool FolderExists(std::string_view path) override {
    if (path.empty()) return false;
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  FileStat Stat(std::string_view path) override { return StatByPath(path, /*with_access=*/true); }

  std::vector<FolderEntry> ListFiles(std::string_view folder) override;

  void CreateFolder(std::string_view path) override {
    if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) ThrowLastError(path, /*path_is_folder=*/true);
  }

  void RemoveFile(std::string_view path, bool force) override;

  void RemoveFolder(std::string_view path) override {
    if (!RemoveDirectoryW(Wide(path).c_str())) ThrowLastError(path, /*path_is_folder=*/true);
  }

  void CopyFileTo(std::string_view from, std::string_view to, bool overwrite) override;
  void RenameFile(std::string_view from, std::string_view to) override;

  // Without MOVEFILE_REPLACE_EXISTING the move fails on any existing entry.
  void RenameNoReplace(std::string_view from, std::string_view to) override {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return;
    const DWORD err = GetLastError();
    throw ErrorFromWin32(err, AttributesOf(from) == INVALID_FILE_ATTRIBUTES ? from : to);
  }

  // NTFS journals its metadata, so a folder's entries need no flush of their
  // own; the flush is still asked for and its failure ignored.
  void SyncFolder(std::string_view folder) override {
    const std::wstring w = Wide(folder);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) ThrowLastError(folder, /*path_is_folder=*/true);
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) throw Error::Standard(errnum::kPathNotFound, Str(folder), ERROR_DIRECTORY);
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(h);
    CloseHandle(h);
  }

  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override;

  void SetModifiedTime(std::string_view path, int64_t modified_ns) override {
    SetModifiedTimeOf(path, modified_ns, /*open_flags=*/0);
  }

  void SetAttributes(std::string_view path, uint32_t attributes) override {
    if (!SetFileAttributesW(Wide(path).c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes)) ThrowLastError(path);
  }

  std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) override;
  void SetOwner(std::string_view, uint32_t, uint32_t) override {}
  std::string ResolveLinks(std::string_view path) override;
  std::vector<AclEntry> AccessAcl(std::string_view) override { return {}; }

 private:
  // Attributes of an existing entry, or INVALID_FILE_ATTRIBUTES.
  static DWORD AttributesOf(std::string_view path) { return GetFileAttributesW(Wide(path).c_str()); }

  static bool IsReadOnlyFile(DWORD a) {
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0 && (a & FILE_ATTRIBUTE_READONLY) != 0;
  }

  // The read-only attribute refuses writing even where the platform below
  // (such as a compatibility layer running with full privileges) would not.
  static void CheckWritable(std::string_view path) {
    if (IsReadOnlyFile(AttributesOf(path))) throw Error::Standard(errnum::kPermissionDenied, Str(path), ERROR_ACCESS_DENIED);
  }
};

std::vector<FolderEntry> WindowsFileSystem::ListFiles(std::string_view folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Wide(paths().BuildPath(folder, "*")).c_str(), &data);
  std::vector<FolderEntry> out;
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // An empty drive root has not even "." and "..".
    if (err == ERROR_FILE_NOT_FOUND && FolderExists(folder)) return out;
    throw ErrorFromWin32(err == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : err, folder, /*path_is_folder=*/true);
  }
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    std::string name = Utf8Of(data.cFileName);
    std::string path = paths().BuildPath(folder, name);
    out.push_back(FolderEntry{std::move(name), std::move(path)});
  } while (FindNextFileW(find, &data));
  const DWORD err = GetLastError();
  FindClose(find);
  if (err != ERROR_NO_MORE_FILES) throw ErrorFromWin32(err, folder, /*path_is_folder=*/true);
  return out;
}

void WindowsFileSystem::RemoveFile(std::string_view path, bool force) {
  const std::wstring w = Wide(path);
  const DWORD a = GetFileAttributesW(w.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) ThrowLastError(path);
  if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) throw Error::Standard(errnum::kFileNotFound, Str(path), ERROR_FILE_NOT_FOUND);
  const bool read_only = (a & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only && !force) throw Error::Standard(errnum::kPermissionDenied, Str(path), ERROR_ACCESS_DENIED);
  if (read_only && !SetFileAttributesW(w.c_str(), a & ~FILE_ATTRIBUTE_READONLY)) ThrowLastError(path);
  if (DeleteFileW(w.c_str())) return;
  const DWORD err = GetLastError();
  if (read_only) SetFileAttributesW(w.c_str(), a);
  throw ErrorFromWin32(err, path);
}

void WindowsFileSystem::CopyFileTo(std::string_view from, std::string_view to, bool overwrite) {
  if (overwrite) {
    const std::string a = text::FoldCase(GetAbsolutePathName(from));
    if (a == text::FoldCase(GetAbsolutePathName(to)) && FileExists(from)) {
      // Copying a file onto itself would truncate it first.
      throw Error::Standard(errnum::kPermissionDenied, Str(to), ERROR_SHARING_VIOLATION);
    }
    CheckWritable(to);
  }
  if (!CopyFileW(Wide(from).c_str(), Wide(to).c_str(), overwrite ? FALSE : TRUE)) {
    const DWORD err = GetLastError();
    // Name the side that failed: a missing source, or the target.
    const bool source_missing = AttributesOf(from) == INVALID_FILE_ATTRIBUTES;
    throw ErrorFromWin32(err, source_missing ? from : to);
  }
}

void WindowsFileSystem::RenameFile(std::string_view from, std::string_view to) {
  const std::wstring target = Wide(to);
  const DWORD a = GetFileAttributesW(target.c_str());
  const bool read_only = IsReadOnlyFile(a);
  if (read_only && !SetFileAttributesW(target.c_str(), a & ~FILE_ATTRIBUTE_READONLY)) ThrowLastError(to);
  if (MoveFileExW(Wide(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
  const DWORD err = GetLastError();
  if (read_only) SetFileAttributesW(target.c_str(), a);
  const bool source_missing = AttributesOf(from) == INVALID_FILE_ATTRIBUTES;
  throw ErrorFromWin32(err, source_missing ? from : to);
}

// Creating never follows a reparse point planted at the name (CREATE_NEW
// fails on any existing entry), and the regular-only modes open the entry
// itself and refuse anything but a plain disk file.
std::unique_ptr<File> WindowsFileSystem::Open(std::string_view path, OpenMode mode) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  const bool regular_only = mode == OpenMode::kReadRegular || mode == OpenMode::kReadWriteRegular;
  switch (mode) {
    case OpenMode::kRead: access = GENERIC_READ; break;
    case OpenMode::kReadDenyWriters:
      access = GENERIC_READ;
      share = FILE_SHARE_READ;
      break;
    case OpenMode::kReadWrite: break;
    case OpenMode::kCreate: disposition = CREATE_ALWAYS; break;
    case OpenMode::kCreateNew:
    case OpenMode::kCreatePrivate:
      disposition = CREATE_NEW;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
    case OpenMode::kReadRegular:
      access = GENERIC_READ;
      flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
      break;
    case OpenMode::kReadWriteRegular: flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS; break;
  }
  if ((access & GENERIC_WRITE) != 0 && disposition != CREATE_NEW && !regular_only) CheckWritable(path);
  if (regular_only) access = (access & GENERIC_WRITE) != 0 ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE h = CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // A folder opened for writing is refused before it is seen as one.
    const DWORD attributes = regular_only && err == ERROR_ACCESS_DENIED ? AttributesOf(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw NotARegularFile(path, err);
    }
    throw ErrorFromWin32(err, path);
  }
  auto file = WrapHandle(h, Str(path));
  if (regular_only) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      throw NotARegularFile(path);
    }
  }
  return file;
}

std::unique_ptr<Folder> WindowsFileSystem::OpenFolder(std::string_view path, std::vector<std::string>* created) {
  const std::string full = GetAbsolutePathName(path);
  std::vector<std::string> missing;
  for (std::string p = full; !p.empty() && !FolderExists(p); p = GetParentFolderName(p)) {
    if (created == nullptr) throw Error::Standard(errnum::kPathNotFound, p, ERROR_PATH_NOT_FOUND);
    missing.insert(missing.begin(), p);
  }
  for (const std::string& folder : missing) {
    if (!CreateDirectoryW(Wide(folder).c_str(), nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS && FolderExists(folder)) continue;
      ThrowLastError(folder, /*path_is_folder=*/true);
    }
    created->push_back(folder);
  }
  return FolderByPath(*this, full);
}

std::string WindowsFileSystem::ResolveLinks(std::string_view path) {
  HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  }
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (n == 0 || n >= buffer.size()) throw ErrorFromWin32(err, path);
  buffer.resize(n);
  std::string out = Utf8Of(buffer.c_str());
  if (out.starts_with("\\\\?\\UNC\\")) return "\\\\" + out.substr(8);
  if (out.starts_with("\\\\?\\")) return out.substr(4);
  return out;
}

}  // namespace

const PathRules& NativePathRules() { return WindowsPathRules(); }

std::shared_ptr<FileSystem> DefaultFileSystem() {
  static const std::shared_ptr<FileSystem> instance = std::make_shared<WindowsFileSystem>();
  return instance;
}

}  // namespace bk
