#include <algorithm>
#include <climits>
#include <string>

#include "component/error.h"
#include "component/text.h"
#include "component/xml/xml_text.h"
#include "log/log_values.h"
#include "log/rollback_log.h"
#include "log/trust.h"

namespace bk {

namespace logvalue {

std::string ReadablePath(std::string_view path) {
  if (xmltext::IsRepresentable(path)) return std::string(path);
  std::string readable = text::WithReplacementCharacters(path);
  // What is left that XML refuses: control characters and U+FFFE, U+FFFF.
  std::string out;
  for (size_t i = 0; i < readable.size(); ++i) {
    const auto c = static_cast<unsigned char>(readable[i]);
    const bool control = c < 0x20 && c != '\t' && c != '\n' && c != '\r';
    const bool nonchar = c == 0xEF && readable.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < readable.size() &&
                         (readable[i + 2] == '\xBE' || readable[i + 2] == '\xBF');
    if (control || nonchar) {
      out += "\xEF\xBF\xBD";
      i += nonchar ? 2 : 0;
    } else {
      out += readable[i];
    }
  }
  return out;
}

std::string ExactPathBytes(std::string_view path) {
  if (xmltext::IsRepresentable(path)) return {};
  std::string bytes;
  text::AppendPercentEscaped(bytes, path, true);
  return bytes;
}

std::string PathFromAttributes(std::string_view path, std::string_view bytes) {
  if (bytes.empty()) return std::string(path);
  const std::optional<std::string> exact = text::PercentUnescaped(bytes);
  return exact && ReadablePath(*exact) == path ? *exact : std::string(path);
}

}  // namespace logvalue

namespace {

std::string PathOf(XmlElement& file) {
  return logvalue::PathFromAttributes(file.GetAttribute("Path"), file.GetAttribute(logvalue::kPathBytesAttribute));
}

// What a log holds besides its files, at most, when it is written: dates,
// paths and one element per archive.
constexpr uint64_t kSkeletonRoom = 1 << 20;

// Kept files are printed and read back this many at a time.
constexpr size_t kLinesAtOnce = 4096;

// A "ZipFile" element at the depth it has in a log, in a document of its own.
std::shared_ptr<XmlElement> NestedZipFile() {
  const std::shared_ptr<XmlDocument> doc = CreateXmlDocument();
  const auto root = doc->CreateElement("VELMARFileRollbackLog");
  doc->AppendChild(root);
  const auto zips = doc->CreateElement("ZipFiles");
  root->AppendChild(zips);
  const auto zip = doc->CreateElement("ZipFile");
  zips->AppendChild(zip);
  return zip;
}

// The lines of the elements in NestedZipFile's element, as printed.
std::string NestedLines(XmlDocument& doc) {
  const std::string text = doc.Xml();
  constexpr std::string_view kOpen = "\t\t<ZipFile>\n";
  constexpr std::string_view kClose = "\t\t</ZipFile>\n";
  const size_t open = text.find(kOpen);
  const size_t close = text.rfind(kClose);
  if (open == std::string::npos || close == std::string::npos || close < open + kOpen.size()) {
    throw Error::Standard(errnum::kInvalidProcedureCall);
  }
  return text.substr(open + kOpen.size(), close - open - kOpen.size());
}

}  // namespace

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
  if (ListedFiles* listed = Listed()) file_count_ = listed->Count(slot_);
  // Counted once; AppendFiles, the only way files join, keeps it current.
  if (!file_count_) file_count_ = element().CountElementsByTagName("SafeFile");
  if (*file_count_ > static_cast<size_t>(INT32_MAX)) throw Error::Standard(errnum::kOverflow);
  return static_cast<int32_t>(*file_count_);
}

std::vector<std::string> clsFileRollBackLogZip::ListedPaths(ListedFiles& listed, size_t first, size_t n) {
  const std::shared_ptr<XmlDocument> lines = CreateXmlDocument();
  lines->Load("<Files>" + listed.Lines(slot_, first, n) + "</Files>", {});
  std::vector<std::string> paths;
  for (const auto& file : lines->GetElementsByTagName("SafeFile")) paths.push_back(PathOf(*file));
  return paths;
}

std::string clsFileRollBackLogZip::FilePath(int32_t lngFileIndex) {
  if (ListedFiles* listed = Listed()) {
    if (lngFileIndex < 1 || static_cast<size_t>(lngFileIndex) > listed->Count(slot_)) {
      throw Error::Standard(errnum::kSubscriptOutOfRange);
    }
    return ListedPaths(*listed, static_cast<size_t>(lngFileIndex - 1), 1).at(0);
  }
  XmlElement& zip = element();
  const auto file = lngFileIndex < 1 ? nullptr : zip.ElementByTagName("SafeFile", static_cast<size_t>(lngFileIndex - 1));
  if (!file) throw Error::Standard(errnum::kSubscriptOutOfRange);
  return PathOf(*file);
}

std::vector<std::string> clsFileRollBackLogZip::FilePaths() {
  std::vector<std::string> paths;
  if (ListedFiles* listed = Listed()) {
    const size_t count = listed->Count(slot_);
    for (size_t first = 0; first < count; first += kLinesAtOnce) {
      for (std::string& path : ListedPaths(*listed, first, std::min(kLinesAtOnce, count - first))) {
        paths.push_back(std::move(path));
      }
    }
    return paths;
  }
  for (const auto& file : element().GetElementsByTagName("SafeFile")) paths.push_back(PathOf(*file));
  return paths;
}

void clsFileRollBackLogZip::AddFile(std::string_view strPath) { AppendFiles({std::string(strPath)})->SaveLog(); }

std::shared_ptr<clsFileRollbackLog> clsFileRollBackLogZip::AppendFiles(const std::vector<std::string>& paths,
                                                                       std::vector<std::optional<Error>>* refused) {
  // An entry whose log has reset or gone records nothing: the file could
  // never reach a log file.
  std::shared_ptr<clsFileRollbackLog> log = parent_.lock();
  if (!log) throw Error::Standard(errnum::kObjectNotSet);
  ListedFiles* listed = Listed();
  int64_t next = FileCount() + 1;
  for (size_t first = 0; first < paths.size(); first += kLinesAtOnce) {
    // Kept files are printed in a document of their own, nested as in the
    // log, and their lines kept; other files join the log's document.
    std::shared_ptr<XmlElement> zip = element_;
    if (listed) zip = NestedZipFile();
    if (!zip) throw Error::Standard(errnum::kObjectNotSet);
    size_t appended = 0;
    for (size_t i = first; i < paths.size() && i < first + kLinesAtOnce; ++i) {
      // Attributes are set before the element joins the tree, so a path the
      // document refuses leaves the tree unchanged.
      const auto file = zip->OwnerDocument()->CreateElement("SafeFile");
      try {
        file->SetAttribute("FileId", std::to_string(next));
        file->SetAttribute("Path", logvalue::ReadablePath(paths[i]));
        if (const std::string bytes = logvalue::ExactPathBytes(paths[i]); !bytes.empty()) {
          file->SetAttribute(logvalue::kPathBytesAttribute, bytes);
        }
      } catch (const Error& e) {
        if (!refused) throw;
        (*refused)[i] = e;
        continue;
      }
      zip->AppendChild(file);
      ++next;
      ++appended;
    }
    if (listed && appended > 0) {
      const std::string lines = NestedLines(*zip->OwnerDocument());
      // A log larger than a rollback reads is never written: these files
      // stay out of it and the call fails.
      const uint64_t size = listed->Bytes() + 2 * lines.size() + kSkeletonRoom;
      if (size > kMaxLogSize) throw TooLarge(errnum::kPathFileAccessError, "Rollback log", size, kMaxLogSize, log->LogFileName());
      listed->Append(slot_, lines);
    }
    file_count_ = *file_count_ + appended;
  }
  return log;
}

}  // namespace bk
