#include "component/platform.h"

#include <errno.h>
#include <fstream>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sys/statvfs.h>

namespace bk {

PlatformInit::PlatformInit() = default;
PlatformInit::~PlatformInit() = default;

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

LocalDateTime LocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
}

int64_t UtcOffsetSeconds(const LocalDateTime& time) {
  tm local{};
  local.tm_year = time.year - 1900;
  local.tm_mon = time.month - 1;
  local.tm_mday = time.day;
  local.tm_hour = time.hour;
  local.tm_min = time.minute;
  local.tm_sec = time.second;
  local.tm_isdst = -1;
  if (mktime(&local) == static_cast<time_t>(-1)) return 0;
  return local.tm_gmtoff;
}

std::string BootId() {
#ifdef __linux__
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  if (in >> id) return id;
#endif
  return {};
}

uint32_t NewFolderMode() {
  // The umask is read without changing it, so that other threads never see
  // another one.
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Umask:", 0) == 0) return 0777 & ~static_cast<uint32_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 0755;
}

int64_t CurrentUserId() { return static_cast<int64_t>(::geteuid()); }
int64_t CurrentGroupId() { return static_cast<int64_t>(::getegid()); }

std::string LocaleDecimalSeparator() { return "."; }

namespace {

// Asks `query` of the path, or of its nearest existing parent folder; false
// when neither answers.
template <typename Query>
bool AskNearest(const std::string& path, Query query) {
  std::string probe = path;
  while (!query(probe.c_str())) {
    const size_t cut = probe.find_last_of('/');
    if ((errno != ENOENT && errno != ENOTDIR) || cut == std::string::npos || probe == "/") return false;
    probe.resize(cut == 0 ? 1 : cut);
  }
  return true;
}

}  // namespace

int64_t AvailableBytes(const std::string& path) {
  struct statvfs info {};
  if (!AskNearest(path, [&](const char* p) { return ::statvfs(p, &info) == 0; })) return -1;
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

std::string VolatileFileSystemName(const std::string& path) {
#ifdef __linux__
  struct statfs info {};
  if (!AskNearest(path, [&](const char* p) { return ::statfs(p, &info) == 0; })) return "";
  if (info.f_type == TMPFS_MAGIC) return "tmpfs";
  if (info.f_type == RAMFS_MAGIC) return "ramfs";
#else
  (void)path;
#endif
  return "";
}

}  // namespace bk
