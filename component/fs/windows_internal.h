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
// Nanoseconds since 1970 of a count of 100 ns since 1601 (FILETIME, and the
// times of FILE_BASIC_INFO).
int64_t NsFromTicks(int64_t ticks);
FileStat StatOf(DWORD attributes, const FILETIME& modified, DWORD size_high, DWORD size_low);

// Closes the handle it holds when it goes; false for INVALID_HANDLE_VALUE.
class HandleHolder {
 public:
  explicit HandleHolder(HANDLE h) : h_(h) {}
  ~HandleHolder() { reset(INVALID_HANDLE_VALUE); }
  HandleHolder(HandleHolder&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  HandleHolder& operator=(HandleHolder&&) = delete;
  explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  void reset(HANDLE h) {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};

// Opens the entry at `path` itself for `access`, sharing it with every
// other opener: never through a reparse point at `path` unless `follow`,
// and a folder as well as a file (FILE_FLAG_BACKUP_SEMANTICS).
// INVALID_HANDLE_VALUE on failure, with the last error set.
HANDLE OpenEntryHandle(std::string_view path, DWORD access, bool follow);
// The metadata of an open file or folder, with its identity (volume serial
// number and file ID) and its creation and change times.
FileStat StatOfHandle(HANDLE h, std::string_view path);
// What the entry's owner and DACL grant parties other than this process's
// user and the administrators; `h` needs READ_CONTROL.
ListedAccess ListedAccessOf(HANDLE h);
// The metadata of the entry at `path` (a reparse point's own, except after
// a last component "."), read from a handle of it; `with_access` adds
// listed_access. An entry that no handle can be opened on is described
// without an identity.
FileStat StatByPath(std::string_view path, bool with_access);
// An open file on `handle`, which it closes.
std::unique_ptr<File> WrapHandle(HANDLE handle, std::string path);
// Sets the last-written time of `path`, opened with FILE_FLAG_BACKUP_SEMANTICS
// and `open_flags`.
void SetModifiedTimeOf(std::string_view path, int64_t modified_ns, DWORD open_flags);
// Removes the entry at `path` (a folder when `folder`, else a file or link)
// through a handle of it, only while it is the entry `expected` describes,
// else EntryChanged; a folder that is not empty fails with 70.
void RemoveIfSame(std::string_view path, const FileStat& expected, bool folder);
// EntryChanged unless the entry at `path` is still the link `expected`
// describes, compared through a handle of the link itself.
void CheckLinkIsSame(std::string_view path, const FileStat& expected);
// Renames the entry at `from_path` to `to_path` in the same folder, through
// a handle of the entry, replacing an existing file even while it is open or
// running where the file system allows that (POSIX semantics); false,
// having changed nothing, where the system or file system has no such
// rename, and 70 with the reason where it refuses this one.
bool RenameReplacingInUse(std::string_view from_path, std::string_view to_path);
// Folder::OpenForRewrite of a path: a regular disk file, never through a
// reparse point (70 otherwise).
std::unique_ptr<File> OpenForRewriteByPath(std::string_view path);
// The folder at the absolute `path`, its entries reached through `fs`.
std::unique_ptr<Folder> FolderByPath(FileSystem& fs, std::string path);

}  // namespace bk::windows_internal
