// An archive opened for reading its entries one by one, as a restore reads
// them: the file is opened once, as a regular file and without following a
// link, its directory read once, and every entry read from that same open
// file, so that what was judged is what is read.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/zip/zip_format.h"
#include "component/zip/zip_reader.h"

namespace bk {

class ArchiveReader {
 public:
  // Opens the archive (kReadRegular) and reads its directory (a damaged
  // one is recovered by the scan of local headers). Fails with the file
  // system's error, or with 30200 when the file is not a ZIP archive.
  ArchiveReader(FileSystem& fs, const std::string& path);
  const std::string& path() const { return path_; }
  // What the open file is: owner, mode, identity.
  const FileStat& stat() const { return stat_; }
  const std::vector<zip::Entry>& entries() const { return dir_.entries; }
  // Streams the entry's data to `sink`, checking its size and CRC; false when
  // it is damaged, encrypted or uses a method other than stored or deflated.
  bool Extract(const zip::Entry& entry, const zip::DataSink& sink);

 private:
  std::string path_;
  std::unique_ptr<File> file_;
  FileStat stat_;
  zip::Directory dir_;
};

}  // namespace bk
