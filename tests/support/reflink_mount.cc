#include "support/reflink_mount.h"

#include <cstdlib>
#include <filesystem>

#include "component/fs/file_system.h"

namespace bk::testing {
namespace {

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

ReflinkMount::ReflinkMount() : mount_point_(dir_ / "mnt") {
  if (DefaultFileSystem()->paths().Separator() == '\\') {
    reason_ = "no loop mounts on Windows";
    return;
  }
  if (Run("command -v mkfs.xfs") != 0) {
    reason_ = "mkfs.xfs (xfsprogs) is not installed";
    return;
  }
  const std::string image = dir_ / "xfs.img";
  // mkfs.xfs makes nothing smaller than 300 MB; the image stays sparse.
  if (Run("truncate -s 320M '" + image + "' && mkfs.xfs -q -m reflink=1 '" + image + "'") != 0) {
    reason_ = "mkfs.xfs -m reflink=1 failed";
    return;
  }
  std::filesystem::create_directory(mount_point_);
  if (Run("mount -o loop '" + image + "' '" + mount_point_ + "'") != 0) {
    reason_ = "mounting a loop XFS was refused (needs root and loop devices)";
    return;
  }
  mounted_ = true;
}

ReflinkMount::~ReflinkMount() {
  if (mounted_) Run("umount '" + mount_point_ + "'");
}

unsigned long long ReflinkMount::FreeBytes() const {
  Run("sync -f '" + mount_point_ + "'");
  return std::filesystem::space(mount_point_).free;
}

}  // namespace bk::testing
