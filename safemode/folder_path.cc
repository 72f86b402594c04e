#include <cstdio>
#include <string>
#include <vector>

#include "component/error.h"
#include "component/platform.h"
#include "safemode/file_rollback_create.h"

namespace bk {

void CreateFolderPath(FileSystem& fs, std::string_view strPath) {
  if (fs.FolderExists(strPath)) return;
  const PathRules& rules = fs.paths();

  // Walk up, collecting the names of the missing folders.
  std::vector<std::string> missing;
  std::string current(strPath);
  for (;;) {
    const std::string parent = fs.GetParentFolderName(current);
    if (parent.empty() || parent.size() >= current.size()) {
      throw Error::Standard(errnum::kBadFileNameOrNumber, std::string(strPath));
    }
    std::string name;
    for (const char c : std::string_view(current).substr(parent.size())) {
      if (!rules.IsSeparator(c)) name += c;
    }
    missing.push_back(std::move(name));
    current = parent;
    if (fs.FolderExists(current)) break;
  }

  // Walk down, creating them from the top.
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (it->empty()) continue;
    const std::string parent = current;
    current = fs.BuildPath(parent, *it);
    fs.CreateFolder(current);
    fs.SyncFolder(parent);
  }
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(era * 400 + yoe + (*m <= 2));
}

}  // namespace

std::string SafeTimeStamp() { return SafeTimeStamp(LocalNow(), 0); }

std::string SafeTimeStamp(const LocalDateTime& start, int64_t later) {
  const int64_t seconds = DaysFromCivil(start.year, start.month, start.day) * 86400 + start.hour * 3600 +
                          start.minute * 60 + start.second + later;
  const int64_t day = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const int64_t in_day = seconds - day * 86400;
  int year = 0, month = 0, date = 0;
  CivilFromDays(day, &year, &month, &date);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d.%02d.%02d", year, month, date,
                static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
  return stamp;
}

}  // namespace bk
