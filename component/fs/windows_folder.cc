// A folder on Windows, held by its path: Windows creates files without
// following a reparse point at their name (CREATE_NEW,
// FILE_FLAG_OPEN_REPARSE_POINT), and the entries' operations are path calls
// that refuse or act on a reparse point at the entry itself; those that
// must act on the entry they compared do so through a handle of it.
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/fs/fs_internal.h"
#include "component/fs/windows_internal.h"

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace bk::windows_internal {
namespace {

bool IsReparsePoint(DWORD a) { return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// The target of a symbolic link or junction in a reparse buffer, as the
// link's maker gave it (its print name), or empty for any other kind.
std::wstring LinkTargetOf(const std::string& buffer) {
  const auto u16 = [&](size_t at) {
    uint16_t v;
    std::memcpy(&v, buffer.data() + at, sizeof v);
    return v;
  };
  uint32_t tag;
  std::memcpy(&tag, buffer.data(), sizeof tag);
  // After the 8-byte header: substitute name offset and length, print name
  // offset and length, then (symbolic links only) 4 bytes of flags.
  size_t names;
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    names = 20;
  } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    names = 16;
  } else {
    return {};
  }
  if (buffer.size() < names) return {};
  const auto name = [&](size_t offset_at) {
    const size_t offset = u16(offset_at), length = u16(offset_at + 2);
    if (names + offset + length > buffer.size()) return std::wstring();
    std::wstring out(length / sizeof(wchar_t), L'\0');
    std::memcpy(out.data(), buffer.data() + names + offset, out.size() * sizeof(wchar_t));
    return out;
  };
  std::wstring target = name(12);
  if (target.empty()) target = name(8);
  if (target.starts_with(L"\\??\\")) target.erase(0, 4);
  return target;
}

class WindowsFolder final : public Folder {
 public:
  WindowsFolder(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  const std::string& path() const override { return path_; }
  FileStat StatEntry(std::string_view name) override { return StatByPath(EntryOrSelf(name), /*with_access=*/false); }

  std::unique_ptr<File> OpenEntry(std::string_view name, OpenMode mode) override {
    const std::string path = Entry(name);
    // The creating-new and regular-only modes refuse a reparse point
    // themselves; the others are kept from following one here.
    const bool refuses_itself = mode == OpenMode::kCreateNew || mode == OpenMode::kCreatePrivate ||
                                mode == OpenMode::kReadRegular || mode == OpenMode::kReadWriteRegular;
    if (!refuses_itself && IsReparsePoint(GetFileAttributesW(Wide(path).c_str()))) throw NotARegularFile(path);
    return fs_.Open(path, mode);
  }

  std::unique_ptr<File> OpenForRewrite(std::string_view name) override {
    const std::string path = Entry(name);
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    // A read-only file is made writable for the rewrite; its attributes are
    // set from the archive afterwards.
    const bool read_only =
        a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_READONLY;
    if (read_only && !SetFileAttributesW(Wide(path).c_str(), a & ~FILE_ATTRIBUTE_READONLY)) ThrowLastError(path);
    return OpenForRewriteByPath(path);
  }

  // Where the system or file system cannot replace a file in use, the
  // rename is the one every other rename of the component makes.
  void RenameEntry(std::string_view from, std::string_view to) override {
    if (!RenameReplacingInUse(Entry(from), Entry(to))) fs_.RenameFile(Entry(from), Entry(to));
  }
  void RemoveEntry(std::string_view name) override { fs_.RemoveFile(Entry(name), true); }
  void RemoveEntryIfSame(std::string_view name, const FileStat& expected) override {
    RemoveIfSame(Entry(name), expected, /*folder=*/false);
  }
  void RemoveSubfolderIfSame(std::string_view name, const FileStat& expected) override {
    RemoveIfSame(Entry(name), expected, /*folder=*/true);
  }
  void SetLinkOwnerIfSame(std::string_view name, const FileStat& expected, uint32_t, uint32_t) override {
    CheckLinkIsSame(Entry(name), expected);
  }
  void Sync() override { fs_.SyncFolder(path_); }
  std::vector<FolderItem> ListEntries() override;
  std::vector<std::string> ListNames() override;

  std::unique_ptr<Folder> OpenSubfolder(std::string_view name) override {
    const std::string path = Entry(name);
    CheckFolder(path);
    return std::make_unique<WindowsFolder>(fs_, path);
  }

  void MakeFolder(std::string_view name) override {
    const std::string path = Entry(name);
    if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) ThrowLastError(path);
  }

  void MakeLink(std::string_view name, std::string_view target, bool folder_target) override;
  std::string ReadLink(std::string_view name) override;

  void RemoveSubfolder(std::string_view name) override {
    const std::string path = Entry(name);
    CheckFolder(path);
    if (RemoveDirectoryW(Wide(path).c_str())) return;
    const DWORD err = GetLastError();
    if (err == ERROR_DIR_NOT_EMPTY) throw Error::Standard(errnum::kPermissionDenied, path, err);
    throw ErrorFromWin32(err, path);
  }

  void SetEntryOwner(std::string_view name, uint32_t, uint32_t) override { EntryOrSelf(name); }

  // A reparse point is refused, as a link is on POSIX: its attributes are
  // not the ones of what it leads to.
  void SetEntryMode(std::string_view name, uint32_t mode) override {
    const std::string path = EntryOrSelf(name);
    const std::wstring w = Wide(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) ThrowLastError(path);
    if (IsReparsePoint(a)) throw Error::Standard(errnum::kPathFileAccessError, path, ERROR_CANT_ACCESS_FILE);
    if (!SetFileAttributesW(w.c_str(), mode == 0 ? FILE_ATTRIBUTE_NORMAL : mode)) ThrowLastError(path);
  }

  void SetEntryModifiedTime(std::string_view name, int64_t modified_ns) override {
    SetModifiedTimeOf(EntryOrSelf(name), modified_ns, FILE_FLAG_OPEN_REPARSE_POINT);
  }

  std::vector<ExtendedAttribute> EntryAttributes(std::string_view name) override {
    EntryOrSelf(name);
    return {};
  }
  void SetEntryAttribute(std::string_view name, std::string_view, std::string_view) override {
    throw Error::Standard(errnum::kPermissionDenied, EntryOrSelf(name));
  }
  void RemoveEntryAttribute(std::string_view name, std::string_view) override {
    throw Error::Standard(errnum::kPermissionDenied, EntryOrSelf(name));
  }

 private:
  // A single component: a name with a separator, "." or ".." would leave
  // the folder.
  std::string Entry(std::string_view name) const {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/") != std::string_view::npos) {
      throw Error::Standard(errnum::kBadFileNameOrNumber, fs_.BuildPath(path_, name));
    }
    return fs_.BuildPath(path_, name);
  }
  // As Entry, but an empty name stands for the folder itself.
  std::string EntryOrSelf(std::string_view name) const { return name.empty() ? path_ : Entry(name); }

  // Refuses (75 "Not a folder") anything but a folder that is no reparse
  // point; 53 when missing.
  static void CheckFolder(const std::string& path) {
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) ThrowLastError(path);
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0 || IsReparsePoint(a)) throw fs_internal::NotAFolder(path);
  }

  FileSystem& fs_;
  std::string path_;
};

std::vector<std::string> WindowsFolder::ListNames() {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(Wide(fs_.BuildPath(path_, "*")).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  std::vector<std::string> names;
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // An empty drive root has not even "." and "..".
    if (err == ERROR_FILE_NOT_FOUND && fs_.FolderExists(path_)) return names;
    throw ErrorFromWin32(err == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : err, path_, /*path_is_folder=*/true);
  }
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
    names.push_back(Utf8Of(data.cFileName));
  } while (FindNextFileW(find, &data));
  const DWORD err = GetLastError();
  FindClose(find);
  if (err != ERROR_NO_MORE_FILES) throw ErrorFromWin32(err, path_, /*path_is_folder=*/true);
  return names;
}

// Each entry is described from a handle of its own, as StatEntry does; one
// gone since it was listed is left out.
std::vector<FolderItem> WindowsFolder::ListEntries() {
  std::vector<FolderItem> out;
  for (std::string& name : ListNames()) {
    try {
      FileStat st = StatEntry(name);
      out.push_back(FolderItem{std::move(name), st});
    } catch (const Error& e) {
      if (!e.IsNotFound()) throw;
    }
  }
  return out;
}

// Without the privilege to make links (or developer mode, which the
// unprivileged flag asks for), Windows refuses: 70. So does a platform that
// reports a link made but makes none (Wine).
void WindowsFolder::MakeLink(std::string_view name, std::string_view target, bool folder_target) {
  const std::string path = Entry(name);
  if (target.empty()) throw Error::Standard(errnum::kBadFileNameOrNumber, path);
  const std::wstring link = Wide(path), to = WideText(target);
  const DWORD kind = folder_target ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  bool made = CreateSymbolicLinkW(link.c_str(), to.c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  DWORD err = made ? ERROR_SUCCESS : GetLastError();
  // Windows before developer mode existed rejects the flag itself.
  if (!made && err == ERROR_INVALID_PARAMETER) {
    made = CreateSymbolicLinkW(link.c_str(), to.c_str(), kind);
    err = made ? ERROR_SUCCESS : GetLastError();
  }
  if (made && IsReparsePoint(GetFileAttributesW(link.c_str()))) return;
  if (made || err == ERROR_PRIVILEGE_NOT_HELD) {
    throw Error::Standard(errnum::kPermissionDenied, path, made ? ERROR_NOT_SUPPORTED : err);
  }
  throw ErrorFromWin32(err, path);
}

std::string WindowsFolder::ReadLink(std::string_view name) {
  const std::string path = Entry(name);
  HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
  std::string buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
  DWORD got = 0;
  const bool ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &got, nullptr);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok && err != ERROR_NOT_A_REPARSE_POINT) throw ErrorFromWin32(err, path);
  buffer.resize(ok ? got : 0);
  const std::wstring target = buffer.size() >= 8 ? LinkTargetOf(buffer) : std::wstring();
  if (target.empty()) throw Error::Standard(errnum::kPathFileAccessError, path, ERROR_NOT_A_REPARSE_POINT);
  return Utf8Of(target.c_str());
}

// A file that a program has mapped into memory takes writes but refuses to
// be made shorter (ERROR_USER_MAPPED_FILE): its rewrite would stop half
// done. Making it one byte shorter asks the system before anything of the
// file is written; the byte is put back at once. An empty file cannot be
// mapped.
void RefuseMapped(File& file) {
  const uint64_t size = file.Size();
  if (size == 0) return;
  char last = 0;
  if (file.ReadAt(size - 1, &last, 1) != 1) throw Error::Standard(errnum::kPathFileAccessError, file.path());
  file.Truncate(size - 1);
  file.WriteAt(size - 1, &last, 1);
}

}  // namespace

std::unique_ptr<File> OpenForRewriteByPath(std::string_view path) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
  auto file = WrapHandle(h, std::string(path));
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) ThrowLastError(path);
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & refused) != 0 || GetFileType(h) != FILE_TYPE_DISK) {
    throw Error::Standard(errnum::kPermissionDenied, std::string(path), ERROR_ACCESS_DENIED);
  }
  RefuseMapped(*file);
  return file;
}

std::unique_ptr<Folder> FolderByPath(FileSystem& fs, std::string path) {
  return std::make_unique<WindowsFolder>(fs, std::move(path));
}

}  // namespace bk::windows_internal
