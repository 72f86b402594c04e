// Restores an arbitrary archive as a rollback does, into a scratch folder:
// the drive marker read into memory, then every other entry with its folder
// path below the destination. Whatever the archive holds, nothing may be
// written outside the destination (the archive's own folder keeps only the
// archive), and the only failures allowed are bk::Error.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "component/error.h"
#include "component/zip/archive.h"
#include "component/zip/archive_reader.h"
#include "restore/file_writer.h"
#include "fuzz_support.h"
#include "log/drive_marker.h"

namespace {

namespace stdfs = std::filesystem;

void CheckNothingEscaped(const stdfs::path& root) {
  for (const auto& item : stdfs::directory_iterator(root)) {
    const std::string name = item.path().filename().string();
    if (name != "work" && name != "out") std::abort();
  }
  for (const auto& item : stdfs::directory_iterator(root / "work")) {
    if (item.path().filename() != "archive.zip") std::abort();
  }
}

void Restore(const std::string& root) {
  bk::ArchiveComponent zip;
  zip.ArchiveFileName = root + "/work/archive.zip";
  try {
    (void)zip.ReadEntry(bk::kDriveMarkerName, 64 * 1024);
  } catch (const bk::Error&) {
  }
  zip.FilesToExclude = bk::kDriveMarkerName;
  zip.DestinationFolder = root + "/out";
  zip.KeepPaths = true;
  try {
    zip.Unzip();
  } catch (const bk::Error&) {
  }
  // A rollback's own path: every entry put back over one file in place,
  // whatever the archive claims about it.
  try {
    const std::shared_ptr<bk::FileSystem> fs = bk::DefaultFileSystem();
    bk::ArchiveReader reader(*fs, zip.ArchiveFileName);
    bk::restore::FileWriter writer(*fs, reader, true, {"user."});
    std::vector<std::string> made;
    std::shared_ptr<bk::Folder> out = fs->OpenFolder(root + "/out", &made);
    size_t tag = 0;
    for (const bk::zip::Entry& e : reader.entries()) {
      try {
        writer.Stage(e, {out, "file", root + "/out/file", {}, false, std::nullopt}, tag++);
        (void)writer.Finish();
      } catch (const bk::Error&) {
      }
    }
  } catch (const bk::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = bk::fuzz::ScratchFolder("restore");
  stdfs::create_directories(root + "/work");
  bk::fuzz::WriteWholeFile(root + "/work/archive.zip", data, size);
  Restore(root);
  CheckNothingEscaped(root);
  stdfs::remove_all(root + "/out");
  return 0;
}
