// Restores an arbitrary archive as a rollback does, into a scratch folder:
// the drive marker into the working folder beside the archive, then every
// other entry with its folder path below the destination. Whatever the
// archive holds, nothing may be written outside those two folders, and the
// only failures allowed are bk::Error.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "component/text.h"
#include "component/zip/archive.h"
#include "fuzz_support.h"
#include "log/drive_marker.h"

namespace {

namespace stdfs = std::filesystem;

// The scratch folder must hold exactly the working folder (with the archive
// and at most the marker, which is matched without regard to letter case and
// so may come out under its entry's spelling) and the destination. Removes
// the marker.
void CheckNothingEscapedAndClean(const stdfs::path& root) {
  for (const auto& item : stdfs::directory_iterator(root)) {
    const std::string name = item.path().filename().string();
    if (name != "work" && name != "out") std::abort();
  }
  for (const auto& item : stdfs::directory_iterator(root / "work")) {
    const std::string name = item.path().filename().string();
    if (name == "archive.zip") continue;
    if (!bk::text::EqualsIgnoreCase(name, bk::kDriveMarkerName)) std::abort();
    stdfs::remove(item.path());
  }
}

void Restore(const std::string& root) {
  bk::ArchiveComponent zip;
  zip.ArchiveFileName = root + "/work/archive.zip";
  zip.FilesToProcess = bk::kDriveMarkerName;
  zip.DestinationFolder = root + "/work";
  try {
    zip.Unzip();
  } catch (const bk::Error&) {
  }
  zip.FilesToProcess.clear();
  zip.FilesToExclude = bk::kDriveMarkerName;
  zip.DestinationFolder = root + "/out";
  zip.KeepPaths = true;
  try {
    zip.Unzip();
  } catch (const bk::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = bk::fuzz::ScratchFolder("restore");
  stdfs::create_directories(root + "/work");
  bk::fuzz::WriteWholeFile(root + "/work/archive.zip", data, size);
  Restore(root);
  CheckNothingEscapedAndClean(root);
  stdfs::remove_all(root + "/out");
  return 0;
}
