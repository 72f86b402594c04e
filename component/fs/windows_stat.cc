// Metadata of Windows files read from a handle of the entry itself: its
// identity (volume serial number and file ID), times, size and what its
// access control list grants others.
#include <windows.h>

#include <cstring>
#include <string>

#include "component/error.h"
#include "component/fs/windows_internal.h"
#include "component/fs/windows_security.h"

namespace bk::windows_internal {
namespace {

// Information classes newer than the Windows version the headers are set to.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

struct FileIdInfo {
  ULONGLONG volume_serial_number;
  unsigned char file_id[16];  // little-endian
};

uint64_t Half(const unsigned char* bytes) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | bytes[i];
  return v;
}

// The volume and the 128-bit file ID where the file system has them, else
// the volume serial number and 64-bit file index; the same file system
// always answers the same way, so identities stay comparable.
void ReadIdentity(HANDLE h, FileStat* st) {
  FileIdInfo id;
  if (GetFileInformationByHandleEx(h, kFileIdInfo, &id, sizeof id)) {
    st->device = id.volume_serial_number;
    st->file_id = Half(id.file_id);
    st->file_id_high = Half(id.file_id + 8);
    return;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return;
  st->device = info.dwVolumeSerialNumber;
  st->file_id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// The SID of the user this process runs as, in binary form; empty when it
// cannot be read (then nothing counts as the caller's).
const std::string& CallerSid() {
  static const std::string sid = [] {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    std::string out;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      out.assign(static_cast<const char*>(user), GetLengthSid(user));
    }
    CloseHandle(token);
    return out;
  }();
  return sid;
}

// A path whose last component is "." names the folder itself, also when
// the path before it is a link: as POSIX, it is followed.
bool NamesFolderItself(std::string_view path) {
  return path == "." || path.ends_with("\\.") || path.ends_with("/.");
}

}  // namespace

HANDLE OpenEntryHandle(std::string_view path, DWORD access, bool follow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

FileStat StatOfHandle(HANDLE h, std::string_view path) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)) {
    ThrowLastError(path);
  }
  FileStat st = StatOf(basic.FileAttributes, FILETIME{}, 0, 0);
  st.size = standard.Directory ? 0 : static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  st.modified_ns = NsFromTicks(basic.LastWriteTime.QuadPart);
  // A file system that keeps no such time reports 0. Some systems (Wine)
  // report the last write as the creation time, which then changes with
  // the file: a creation time equal to the last write is no birth time, and
  // a file untouched since it was made is told apart by its file ID alone.
  const LONGLONG born = basic.CreationTime.QuadPart;
  st.birth_ns = born != 0 && born != basic.LastWriteTime.QuadPart ? NsFromTicks(born) : 0;
  st.changed_ns = basic.ChangeTime.QuadPart != 0 ? NsFromTicks(basic.ChangeTime.QuadPart) : 0;
  ReadIdentity(h, &st);
  return st;
}

ListedAccess ListedAccessOf(HANDLE h) {
  constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::string descriptor(512, '\0');
  DWORD needed = 0;
  while (!GetKernelObjectSecurity(h, kWanted, descriptor.data(), static_cast<DWORD>(descriptor.size()), &needed)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= descriptor.size()) return ListedAccess::kOtherWriter;
    descriptor.resize(needed);
  }
  return JudgeSecurityDescriptor(descriptor, CallerSid());
}

FileStat StatByPath(std::string_view path, bool with_access) {
  const bool follow = NamesFolderItself(path);
  HandleHolder h(OpenEntryHandle(path, FILE_READ_ATTRIBUTES | (with_access ? READ_CONTROL : 0), follow));
  DWORD err = h ? ERROR_SUCCESS : GetLastError();
  bool list_unreadable = false;
  if (!h && with_access && err == ERROR_ACCESS_DENIED) {
    h.reset(OpenEntryHandle(path, FILE_READ_ATTRIBUTES, follow));
    err = h ? ERROR_SUCCESS : GetLastError();
    list_unreadable = true;
  }
  if (!h) {
    // An entry nobody may open (a paging file, or one whose list refuses
    // even its attributes) is described as its folder lists it, without
    // an identity.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) ||
        !GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
      throw ErrorFromWin32(err, path);
    }
    FileStat st = StatOf(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow);
    if (with_access) st.listed_access = ListedAccess::kOtherWriter;
    return st;
  }
  FileStat st = StatOfHandle(h.get(), path);
  if (with_access) st.listed_access = list_unreadable ? ListedAccess::kOtherWriter : ListedAccessOf(h.get());
  return st;
}

}  // namespace bk::windows_internal
