// Operations on one entry of a Windows folder that act through a handle of
// the entry itself: what was compared is what is removed, and a rename
// replaces a file that is in use where the file system allows it.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "component/error.h"
#include "component/fs/windows_internal.h"

namespace bk::windows_internal {
namespace {

// Information classes and flags newer than the Windows version the headers
// are set to.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2, kRenameIgnoreReadOnly = 0x40;

// FILE_RENAME_INFO with its first member as the flags of FileRenameInfoEx.
struct RenameInfoEx {
  DWORD flags;
  HANDLE root_directory;
  DWORD file_name_length;
  WCHAR file_name[1];
};

// Errors of a system or file system that does not know an information
// class or its flags.
bool Unsupported(DWORD err) {
  return err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION;
}

// Opens the entry at `path` itself (a reparse point's own) to delete it,
// compares it with `expected` and fails with EntryChanged when it is
// another entry, or not of the kind `folder` asks for. A missing entry
// fails with 53.
HandleHolder OpenIfSame(std::string_view path, const FileStat& expected, bool folder, DWORD access) {
  HandleHolder h(OpenEntryHandle(path, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, /*follow=*/false));
  if (!h) ThrowLastError(path);
  const FileStat now = StatOfHandle(h.get(), path);
  // A link to a folder is a link: removed as an entry, never as a folder.
  const bool is_folder = now.is_folder && !now.is_symlink;
  if (is_folder != folder || !SameEntry(now, expected)) throw EntryChanged(path);
  return h;
}

// Marks the open entry for deletion; it goes when its last handle closes.
// A read-only file is made writable first, through the same handle, and
// made read-only again when it cannot be deleted.
void DeleteThrough(HANDLE h, std::string_view path) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) ThrowLastError(path);
  const DWORD attributes = basic.FileAttributes;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  const auto set_attributes = [&](DWORD a) {
    FILE_BASIC_INFO change = {};  // times left at 0 stay as they are
    change.FileAttributes = a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
    return SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change) != 0;
  };
  if (read_only && !set_attributes(attributes & ~FILE_ATTRIBUTE_READONLY)) ThrowLastError(path);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)) return;
  const DWORD err = GetLastError();
  if (read_only) set_attributes(attributes);
  if (err == ERROR_DIR_NOT_EMPTY) throw Error::Standard(errnum::kPermissionDenied, std::string(path), err);
  throw ErrorFromWin32(err, path);
}

}  // namespace

void RemoveIfSame(std::string_view path, const FileStat& expected, bool folder) {
  const HandleHolder h = OpenIfSame(path, expected, folder, DELETE | FILE_WRITE_ATTRIBUTES);
  DeleteThrough(h.get(), path);
}

void CheckLinkIsSame(std::string_view path, const FileStat& expected) {
  HandleHolder h(OpenEntryHandle(path, FILE_READ_ATTRIBUTES, /*follow=*/false));
  if (!h) ThrowLastError(path);
  const FileStat now = StatOfHandle(h.get(), path);
  if (!now.is_symlink || !SameEntry(now, expected)) throw EntryChanged(path);
}

bool RenameReplacingInUse(std::string_view from_path, std::string_view to_path) {
  HandleHolder h(OpenEntryHandle(from_path, DELETE | SYNCHRONIZE, /*follow=*/false));
  if (!h) ThrowLastError(from_path);
  // A name alone renames the entry within its folder.
  const std::wstring name = WideText(WindowsPathRules().GetFileName(to_path));
  const size_t name_bytes = name.size() * sizeof(WCHAR);
  std::vector<std::byte> buffer(offsetof(RenameInfoEx, file_name) + name_bytes + sizeof(WCHAR));
  auto* info = reinterpret_cast<RenameInfoEx*>(buffer.data());
  info->flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
  info->root_directory = nullptr;
  info->file_name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(info->file_name, name.data(), name_bytes);
  if (SetFileInformationByHandle(h.get(), kFileRenameInfoEx, info, static_cast<DWORD>(buffer.size()))) return true;
  const DWORD err = GetLastError();
  if (Unsupported(err)) return false;
  throw ErrorFromWin32(err, err == ERROR_FILE_NOT_FOUND ? from_path : to_path);
}

}  // namespace bk::windows_internal
