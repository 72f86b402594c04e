// A file system that shares blocks between files, for the tests of cloned
// archive entries: XFS with reflink on a loop device, made in a temporary
// folder and unmounted and removed at the end. Making it needs root,
// mkfs.xfs (xfsprogs) and loop devices; where any is missing, `reason()`
// says which, for GTEST_SKIP.
#pragma once

#include <string>

#include "support/temp_dir.h"

namespace bk::testing {

class ReflinkMount {
 public:
  ReflinkMount();
  ~ReflinkMount();
  ReflinkMount(const ReflinkMount&) = delete;
  ReflinkMount& operator=(const ReflinkMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  // The mounted folder.
  const std::string& path() const { return mount_point_; }
  // Bytes free on the file system, after its pending writes reached the disk.
  unsigned long long FreeBytes() const;

 private:
  TempDir dir_;
  std::string mount_point_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace bk::testing
