// Process set-up that programs of this project (the command line, test
// programs) do before using the component. On Windows it initialises COM on
// the calling thread as a single-threaded apartment; elsewhere it does nothing.
// A host of the COM server owns COM initialisation itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bk {

class PlatformInit {
 public:
  PlatformInit();
  ~PlatformInit();
  PlatformInit(const PlatformInit&) = delete;
  PlatformInit& operator=(const PlatformInit&) = delete;
};

// The program's arguments as UTF-8 (on Windows read from the wide command line).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The present local date and time; month and day count from 1.
struct LocalDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalDateTime LocalNow();
// How far that local time is ahead of UTC, in seconds (negative west of
// Greenwich), by the system's time zone rules for that date.
int64_t UtcOffsetSeconds(const LocalDateTime& time);

// The user and group ids the process acts as (POSIX: the effective ids), or
// -1 where files have no numeric owner (Windows).
int64_t CurrentUserId();
int64_t CurrentGroupId();

// The decimal separator of numbers turned into text for the user: the user
// locale's separator on Windows, "." elsewhere.
std::string LocaleDecimalSeparator();

// The name of the file system holding `path` ("tmpfs", "ramfs", "RAM disk")
// when it keeps its files in memory only, so that they are gone after a
// reboot; empty when it keeps them on storage or cannot be told. A path that
// does not exist yet is judged by its nearest existing parent folder.
std::string VolatileFileSystemName(const std::string& path);

// The bytes this process may still write on the file system holding `path`
// (judged like VolatileFileSystemName for a path not made yet); -1 when it
// cannot be told.
int64_t AvailableBytes(const std::string& path);

// The permission bits a folder made by this process gets by default (POSIX:
// 0777 less the umask); 0 where folders have no such bits (Windows).
uint32_t NewFolderMode();

// What names this boot of the machine (Linux: the kernel's random boot id),
// so that identities kept with device numbers, which the kernel gives anew
// at each boot, are compared only within the boot that kept them. Empty
// where device numbers stay the same across boots (Windows: volume serial
// numbers) or the boot cannot be told.
std::string BootId();

}  // namespace bk
