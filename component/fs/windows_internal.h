// Pieces shared by the Windows file system's files and folders; not part of
// the component's interface.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk::windows_internal {

// The current folder, UTF-8.
std::string CurrentFolder();
std::string Utf8Of(const wchar_t* s);
// UTF-8 path to the wide form handed to Win32. Long paths are made absolute
// and normalised, then prefixed so that the MAX_PATH limit does not apply.
std::wstring Wide(std::string_view path);
// UTF-8 text (not a path: kept exactly as given) to UTF-16.
std::wstring WideText(std::string_view text);
// The one translation of Win32 error codes into the component's numbers.
Error ErrorFromWin32(DWORD err, std::string_view path, bool path_is_folder = false);
[[noreturn]] void ThrowLastError(std::string_view path, bool path_is_folder = false);
FILETIME FiletimeFromNs(int64_t ns);
FileStat StatOf(DWORD attributes, const FILETIME& modified, DWORD size_high, DWORD size_low);
// An open file on `handle`, which it closes.
std::unique_ptr<File> WrapHandle(HANDLE handle, std::string path);
// Sets the last-written time of `path`, opened with FILE_FLAG_BACKUP_SEMANTICS
// and `open_flags`.
void SetModifiedTimeOf(std::string_view path, int64_t modified_ns, DWORD open_flags);
// Folder::OpenForRewrite of a path: a regular disk file, never through a
// reparse point (70 otherwise).
std::unique_ptr<File> OpenForRewriteByPath(std::string_view path);
// The folder at the absolute `path`, its entries reached through `fs`.
std::unique_ptr<Folder> FolderByPath(FileSystem& fs, std::string path);

}  // namespace bk::windows_internal
