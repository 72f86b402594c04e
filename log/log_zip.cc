#include <climits>
#include <string>

#include "component/error.h"
#include "log/log_values.h"
#include "log/rollback_log.h"

namespace bk {

XmlElement& clsFileRollBackLogZip::element() {
  if (!element_) throw Error::Standard(errnum::kObjectNotSet);
  return *element_;
}

int32_t clsFileRollBackLogZip::ZipId() { return logvalue::IdFromText(element().GetAttribute("ZipId")); }

void clsFileRollBackLogZip::ZipId(int32_t value) { element().SetAttribute("ZipId", std::to_string(value)); }

std::string clsFileRollBackLogZip::ZipName() { return element().GetAttribute("Name"); }

void clsFileRollBackLogZip::ZipName(std::string_view value) { element().SetAttribute("Name", value); }

std::string clsFileRollBackLogZip::ZipDrive() { return element().GetAttribute("Drive"); }

void clsFileRollBackLogZip::ZipDrive(std::string_view value) { element().SetAttribute("Drive", value); }

int32_t clsFileRollBackLogZip::FileCount() {
  // Counted once; AppendFiles, the only way files join, keeps it current.
  if (!file_count_) file_count_ = element().CountElementsByTagName("SafeFile");
  if (*file_count_ > static_cast<size_t>(INT32_MAX)) throw Error::Standard(errnum::kOverflow);
  return static_cast<int32_t>(*file_count_);
}

std::string clsFileRollBackLogZip::FilePath(int32_t lngFileIndex) {
  XmlElement& zip = element();
  const auto file = lngFileIndex < 1 ? nullptr : zip.ElementByTagName("SafeFile", static_cast<size_t>(lngFileIndex - 1));
  if (!file) throw Error::Standard(errnum::kSubscriptOutOfRange);
  return file->GetAttribute("Path");
}

std::vector<std::string> clsFileRollBackLogZip::FilePaths() {
  std::vector<std::string> paths;
  for (const auto& file : element().GetElementsByTagName("SafeFile")) paths.push_back(file->GetAttribute("Path"));
  return paths;
}

void clsFileRollBackLogZip::AddFile(std::string_view strPath) { AppendFiles({std::string(strPath)})->SaveLog(); }

std::shared_ptr<clsFileRollbackLog> clsFileRollBackLogZip::AppendFiles(const std::vector<std::string>& paths,
                                                                       std::vector<std::optional<Error>>* refused) {
  XmlElement& zip = element();
  // An entry whose log has reset or gone records nothing: the file could
  // never reach a log file.
  std::shared_ptr<clsFileRollbackLog> log = parent_.lock();
  if (!log) throw Error::Standard(errnum::kObjectNotSet);
  int64_t next = FileCount() + 1;
  for (size_t i = 0; i < paths.size(); ++i) {
    // Attributes are set before the element joins the tree, so a path the
    // document refuses leaves the tree unchanged.
    const auto file = zip.OwnerDocument()->CreateElement("SafeFile");
    try {
      file->SetAttribute("FileId", std::to_string(next));
      file->SetAttribute("Path", paths[i]);
    } catch (const Error& e) {
      if (!refused) throw;
      (*refused)[i] = e;
      continue;
    }
    zip.AppendChild(file);
    ++next;
    file_count_ = *file_count_ + 1;
  }
  return log;
}

}  // namespace bk
