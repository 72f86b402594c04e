#include "component/zip/archive_reader.h"

namespace bk {

ArchiveReader::ArchiveReader(FileSystem& fs, const std::string& path)
    : path_(path), file_(fs.Open(path, OpenMode::kReadRegular)), stat_(file_->Stat()), dir_(zip::ReadDirectory(*file_)) {
  dir_.central.clear();
  dir_.central.shrink_to_fit();
}

bool ArchiveReader::Extract(const zip::Entry& entry, const zip::DataSink& sink) {
  return zip::ExtractEntry(*file_, stat_.size, entry, sink);
}

}  // namespace bk
