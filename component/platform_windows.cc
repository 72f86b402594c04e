#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "component/platform.h"
#include "component/text.h"

namespace bk {

// Output of the command line and the test programs is UTF-8; the console is
// told so, or non-ASCII paths would print garbled.
PlatformInit::PlatformInit() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  SetConsoleOutputCP(CP_UTF8);
}
PlatformInit::~PlatformInit() { CoUninitialize(); }

std::vector<std::string> Utf8Arguments(int, char**) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(text::ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
  }
  LocalFree(wide);
  return out;
}

LocalDateTime LocalNow() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalDateTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int64_t UtcOffsetSeconds(const LocalDateTime& time) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(time.year);
  local.wMonth = static_cast<WORD>(time.month);
  local.wDay = static_cast<WORD>(time.day);
  local.wHour = static_cast<WORD>(time.hour);
  local.wMinute = static_cast<WORD>(time.minute);
  local.wSecond = static_cast<WORD>(time.second);
  SYSTEMTIME utc{};
  FILETIME l{}, u{};
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&local, &l) ||
      !SystemTimeToFileTime(&utc, &u)) {
    return 0;
  }
  const auto ticks = [](const FILETIME& f) {
    return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
  };
  return (ticks(l) - ticks(u)) / 10'000'000;
}

std::string BootId() { return {}; }

uint32_t NewFolderMode() { return 0; }

int64_t CurrentUserId() { return -1; }
int64_t CurrentGroupId() { return -1; }

std::string LocaleDecimalSeparator() {
  wchar_t buffer[8] = {};
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
  if (n <= 1) return ".";
  return text::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n - 1)));
}

std::string VolatileFileSystemName(const std::string& path) {
  const std::u16string wide = text::ToUtf16(path);
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(reinterpret_cast<const wchar_t*>(wide.c_str()), volume, MAX_PATH + 1)) return "";
  return GetDriveTypeW(volume) == DRIVE_RAMDISK ? "RAM disk" : "";
}

int64_t AvailableBytes(const std::string& path) {
  const std::u16string wide = text::ToUtf16(path);
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(reinterpret_cast<const wchar_t*>(wide.c_str()), volume, MAX_PATH + 1)) return -1;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(volume, &available, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(available.QuadPart);
}

}  // namespace bk
