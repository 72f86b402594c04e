// Files on Windows: wide paths, the translation of Win32 error codes, and an
// open file on a handle.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <map>

#include "component/error.h"
#include "component/fs/windows_internal.h"
#include "component/text.h"

namespace bk::windows_internal {
namespace {

std::string Str(std::string_view s) { return std::string(s); }

std::wstring WideOf(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

// Longest absolute path the plain Win32 calls accept (CreateDirectoryW stops
// 12 characters short of MAX_PATH); longer ones take the \\?\ prefix.
constexpr size_t kPlainPathLimit = MAX_PATH - 13;
// FILETIME counts 100 ns since 1601-01-01; this many of them lie before 1970.
constexpr int64_t kFiletimeAt1970 = 116444736000000000LL;

std::string Utf8Of(const wchar_t* s) { return text::ToUtf8(reinterpret_cast<const char16_t*>(s)); }

std::string CurrentFolder() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n < buffer.size()) {
      buffer.resize(n);
      return Utf8Of(buffer.c_str());
    }
    buffer.resize(n);
  }
}

// UTF-8 path to the wide form handed to Win32. Long paths are made absolute
// and normalised, then prefixed so that the MAX_PATH limit does not apply.
std::wstring Wide(std::string_view path) {
  if (path.size() <= kPlainPathLimit || path.starts_with("\\\\?\\")) return WideOf(text::ToUtf16(path));
  const std::string full = WindowsPathRules().Absolute(path, CurrentFolder());
  if (full.size() <= kPlainPathLimit) return WideOf(text::ToUtf16(full));
  if (full.starts_with("\\\\")) return L"\\\\?\\UNC\\" + WideOf(text::ToUtf16(full.substr(2)));
  return L"\\\\?\\" + WideOf(text::ToUtf16(full));
}

std::wstring WideText(std::string_view text) { return WideOf(text::ToUtf16(text)); }

void SetModifiedTimeOf(std::string_view path, int64_t modified_ns, DWORD open_flags) {
  HANDLE h = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | open_flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
  const FILETIME ft = FiletimeFromNs(modified_ns);
  const bool ok = SetFileTime(h, nullptr, nullptr, &ft);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) throw ErrorFromWin32(err, path);
}

}  // namespace bk::windows_internal

namespace bk {

bool IsBusyFile(const Error& e) {
  return e.native_code() == ERROR_SHARING_VIOLATION || e.native_code() == ERROR_USER_MAPPED_FILE;
}

}  // namespace bk

namespace bk::windows_internal {

// The one translation of Win32 error codes into the component's numbers.
Error ErrorFromWin32(DWORD err, std::string_view path, bool path_is_folder) {
  int32_t number = errnum::kPathFileAccessError;
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
      number = path_is_folder ? errnum::kPathNotFound : errnum::kFileNotFound;
      break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: number = errnum::kPathNotFound; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: number = errnum::kPermissionDenied; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: number = errnum::kFileAlreadyExists; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: number = errnum::kDiskFull; break;
    default: break;
  }
  return Error::Standard(number, Str(path), static_cast<int64_t>(err));
}

void ThrowLastError(std::string_view path, bool path_is_folder) {
  throw ErrorFromWin32(GetLastError(), path, path_is_folder);
}

int64_t NsFromTicks(int64_t ticks) { return (ticks - kFiletimeAt1970) * 100; }

int64_t NsFromFiletime(const FILETIME& ft) {
  return NsFromTicks(static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime));
}

FILETIME FiletimeFromNs(int64_t ns) {
  const uint64_t ticks = static_cast<uint64_t>(ns / 100 + kFiletimeAt1970);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

FileStat StatOf(DWORD attributes, const FILETIME& modified, DWORD size_high, DWORD size_low) {
  FileStat out;
  out.size = (static_cast<uint64_t>(size_high) << 32) | size_low;
  out.modified_ns = NsFromFiletime(modified);
  out.attributes = attributes;
  out.is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.is_symlink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  out.read_only = !out.is_folder && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  return out;
}

// An open file on a handle, closed with it.
// Block cloning on ReFS; the SDK's names, which MinGW's headers lack.
constexpr DWORD kDuplicateExtentsToFile = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_ACCESS);
struct DuplicateExtentsData {
  HANDLE FileHandle;
  LARGE_INTEGER SourceFileOffset;
  LARGE_INTEGER TargetFileOffset;
  LARGE_INTEGER ByteCount;
};

class WindowsFile final : public File {
 public:
  WindowsFile(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~WindowsFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      OVERLAPPED at = Position(offset + done);
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      if (!ReadFile(Handle(), static_cast<char*>(buffer) + done, want, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        ThrowLastError(path_);
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  void WriteAt(uint64_t offset, const void* data, size_t n) override {
    size_t done = 0;
    while (done < n) {
      OVERLAPPED at = Position(offset + done);
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      if (!WriteFile(Handle(), static_cast<const char*>(data) + done, want, &put, &at)) ThrowLastError(path_);
      // A write that reports success but takes nothing would otherwise spin here.
      if (put == 0) throw ErrorFromWin32(ERROR_WRITE_FAULT, path_);
      done += put;
    }
  }

  uint64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(Handle(), &size)) ThrowLastError(path_);
    return static_cast<uint64_t>(size.QuadPart);
  }

  void Truncate(uint64_t size) override {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(Handle(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(Handle())) ThrowLastError(path_);
  }

  void Sync() override {
    if (!FlushFileBuffers(Handle())) ThrowLastError(path_);
  }

  // Every handle of a file is opened with read access, which includes
  // READ_CONTROL: the access list is read from the file itself.
  FileStat Stat() override {
    FileStat st = StatOfHandle(Handle(), path_);
    st.listed_access = ListedAccessOf(Handle());
    return st;
  }

  bool TryLock(LockKind kind) override { return LockRange(kind, LOCKFILE_FAIL_IMMEDIATELY, 0); }
  void Lock(LockKind kind) override { LockRange(kind, 0, 0); }
  bool TryLockByte(LockKind kind, uint64_t offset) override {
    return LockRange(kind, LOCKFILE_FAIL_IMMEDIATELY, offset);
  }
  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(handle_); }

  void Close() override {
    HANDLE handle = Handle();
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) ThrowLastError(path_);
  }

  const std::string& path() const override { return path_; }

  void SetOwner(uint32_t, uint32_t) override {}

  void SetAttributes(uint32_t attributes) override {
    FILE_BASIC_INFO info = {};
    info.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    if (!SetFileInformationByHandle(Handle(), FileBasicInfo, &info, sizeof info)) ThrowLastError(path_);
  }

  void SetModifiedTime(int64_t modified_ns) override {
    const FILETIME ft = FiletimeFromNs(modified_ns);
    if (!SetFileTime(Handle(), nullptr, nullptr, &ft)) ThrowLastError(path_);
  }

  // ReFS clones only within the file's end, so the file is extended first.
  void CloneRangeFrom(File& source, uint64_t source_offset, uint64_t offset, uint64_t length) override {
    if (length == 0) return;
    if (Size() < offset + length) Truncate(offset + length);
    DuplicateExtentsData range = {};
    range.FileHandle = reinterpret_cast<HANDLE>(source.NativeHandle());
    range.SourceFileOffset.QuadPart = static_cast<LONGLONG>(source_offset);
    range.TargetFileOffset.QuadPart = static_cast<LONGLONG>(offset);
    range.ByteCount.QuadPart = static_cast<LONGLONG>(length);
    DWORD returned = 0;
    if (!DeviceIoControl(Handle(), kDuplicateExtentsToFile, &range, sizeof range, nullptr, 0, &returned, nullptr)) {
      ThrowLastError(path_);
    }
  }

 private:
  // The whole-file lock covers the first byte, which every holder locks
  // alike; TryLockByte locks one other byte. Only a lock held on the same
  // byte is let go first, so that shared and exclusive can be exchanged
  // there: the locks of other bytes stay while it waits.
  bool LockRange(LockKind kind, DWORD flags, uint64_t offset) {
    auto held = held_.find(offset);
    if (held != held_.end()) {
      if (held->second == kind) return true;
      OVERLAPPED at = Position(offset);
      UnlockFileEx(Handle(), 0, 1, 0, &at);
      held_.erase(held);
    }
    OVERLAPPED at = Position(offset);
    if (kind == LockKind::kExclusive) flags |= LOCKFILE_EXCLUSIVE_LOCK;
    if (!LockFileEx(Handle(), flags, 0, 1, 0, &at)) {
      if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) return false;
      ThrowLastError(path_);
    }
    held_[offset] = kind;
    return true;
  }

  HANDLE Handle() const {
    if (handle_ == INVALID_HANDLE_VALUE) throw Error::Standard(errnum::kBadFileNameOrNumber, path_);
    return handle_;
  }
  static OVERLAPPED Position(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
  }

  HANDLE handle_;
  std::string path_;
  std::map<uint64_t, LockKind> held_;  // the bytes this handle locks
};

std::unique_ptr<File> WrapHandle(HANDLE handle, std::string path) {
  return std::make_unique<WindowsFile>(handle, std::move(path));
}

}  // namespace bk::windows_internal
