// The drive marker: a one-line UTF-16 text entry at the top level of every
// drive archive naming the drive its files came from ("C:", "\\server\share"
// on Windows, "/" on POSIX). Written when a drive archive is created, read
// when it is restored.
#pragma once

#include "component/fs/path_rules.h"

namespace bk {

inline constexpr const char* kDriveMarkerName = "&&&VELMAR Drive.txt";

// True when `drive` is exactly a drive name by these rules, nothing more.
inline bool IsDriveName(const PathRules& rules, std::string_view drive) {
  return !drive.empty() && rules.GetDriveName(drive) == drive;
}

}  // namespace bk
