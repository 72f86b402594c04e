#include "log/rollback_log.h"

#include <exception>
#include <set>
#include <utility>

#include "component/error.h"
#include "component/text.h"
#include "log/log_values.h"
#include "log/period.h"
#include "log/period_files.h"
#include "log/trust.h"

namespace bk {
namespace {

using ZipCollection = KeyedCollection<std::shared_ptr<clsFileRollBackLogZip>>;

// LoadFromFile counts "ZipFile" elements with a signed 16-bit index.
constexpr size_t kMaxZipFiles = 32768;

}  // namespace

std::shared_ptr<clsFileRollbackLog> clsFileRollbackLog::Create(std::shared_ptr<FileSystem> fs) {
  return std::shared_ptr<clsFileRollbackLog>(new clsFileRollbackLog(std::move(fs)));
}

clsFileRollbackLog::clsFileRollbackLog(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)) {}

clsFileRollbackLog::~clsFileRollbackLog() = default;

void clsFileRollbackLog::CreateLogFile(std::string_view strLogFileName) {
  NewDocument(strLogFileName, OleDateFromLocalNow());
  SaveLog();
}

void clsFileRollbackLog::ClaimLogFile(std::string_view strLogFileName, double start_date) {
  NewDocument(strLogFileName, start_date);
  try {
    fs_->CreateFileDurably(log_file_name_, document_->XmlUtf16());
  } catch (...) {
    ResetLog();
    throw;
  }
}

void clsFileRollbackLog::NewDocument(std::string_view strLogFileName, double start_date) {
  ResetLog();
  log_file_name_ = std::string(strLogFileName);
  document_ = CreateXmlDocument();
  XmlDocument& doc = *document_;
  const auto root = doc.CreateElement("VELMARFileRollbackLog");
  root->SetAttribute("Version", "1.0");
  doc.AppendChild(root);
  const auto start = doc.CreateElement("StartDate");
  root->AppendChild(start);
  start->SetAttribute("Value", OleDateToText(start_date));
  root->AppendChild(doc.CreateElement("TempPath"));
  root->AppendChild(doc.CreateElement("BackupDestination"));
  zip_files_element_ = doc.CreateElement("ZipFiles");
  root->AppendChild(zip_files_element_);
  zips_ = std::make_unique<ZipCollection>();
  if (ListedFiles::Fits(doc.Xml())) listed_ = std::make_shared<ListedFiles>();
}

void clsFileRollbackLog::LoadFromFile(std::string_view strLogFile) {
  ResetLog();
  log_file_name_ = std::string(strLogFile);
  document_ = CreateXmlDocument();
  const std::unique_ptr<File> file = fs_->Open(log_file_name_, OpenMode::kReadRegular);
  loaded_stat_ = file->Stat();
  if (loaded_stat_.size > kMaxLogSize) {
    throw TooLarge(errnum::kPathFileAccessError, "Rollback log", loaded_stat_.size, kMaxLogSize, log_file_name_);
  }
  const std::string bytes = file->ReadAll();
  file->Close();
  LoadDocument(bytes, log_file_name_);
}

void clsFileRollbackLog::LoadFromText(std::string_view bytes, std::string_view name) {
  ResetLog();
  document_ = CreateXmlDocument();
  LoadDocument(bytes, name);
}

void clsFileRollbackLog::LoadDocument(std::string_view bytes, std::string_view name) {
  document_->Load(bytes, name);
  const auto elements = document_->GetElementsByTagName("ZipFile");
  if (elements.size() > kMaxZipFiles) throw Error::Standard(errnum::kOverflow);
  // The collection is installed only once every entry is filed, so a log
  // that fails to load has none.
  auto zips = std::make_unique<ZipCollection>();
  for (const auto& element : elements) {
    auto entry = std::make_shared<clsFileRollBackLogZip>();
    Bind(*entry, element);
    zips->Add(entry, entry->ZipDrive());
  }
  zips_ = std::move(zips);
}

void clsFileRollbackLog::SaveLog() {
  if (!document_ || log_file_name_.empty()) return;
  File* with = record_ ? record_->WritePending() : nullptr;
  if (listed_) {
    const std::string skeleton = document_->Xml();
    std::unique_ptr<File> written;
    fs_->ReplaceFileDurably(
        log_file_name_, [&](File& out) { listed_->Write(out, skeleton); }, with, &written);
    listed_->Saved(std::move(written));
    return;
  }
  const std::string& text = document_->XmlUtf16();
  // A document without a root (a load that failed), only a byte-order mark,
  // never replaces the file.
  if (text.size() <= 2) return;
  fs_->ReplaceFileDurably(log_file_name_, text, with);
}

double clsFileRollbackLog::StartDate() {
  const auto elements = RequireDocument().GetElementsByTagName("StartDate");
  if (elements.empty()) return 0.0;
  return OleDateFromText(elements.front()->GetAttribute("Value"));
}

std::string clsFileRollbackLog::TempPath() { return FirstValue("TempPath"); }
void clsFileRollbackLog::TempPath(std::string_view value) { SetFirstValue("TempPath", value); }
std::string clsFileRollbackLog::BackupDestFileName() { return FirstValue("BackupDestination"); }
void clsFileRollbackLog::BackupDestFileName(std::string_view value) { SetFirstValue("BackupDestination", value); }

std::string clsFileRollbackLog::FirstValue(std::string_view element) {
  const auto elements = RequireDocument().GetElementsByTagName(element);
  return elements.empty() ? std::string() : elements.front()->GetAttribute("Value");
}

void clsFileRollbackLog::SetFirstValue(std::string_view element, std::string_view value) {
  XmlDocument& doc = RequireDocument();
  const auto elements = doc.GetElementsByTagName(element);
  if (!elements.empty()) {
    elements.front()->SetAttribute("Value", value);
  } else {
    const auto root = RequireRoot();
    // The value is set before the element joins the tree, so that a value
    // the document refuses leaves the tree unchanged.
    const auto created = doc.CreateElement(element);
    created->SetAttribute("Value", value);
    root->AppendChild(created);
  }
  SaveLog();
}

int32_t clsFileRollbackLog::ZipCount() { return RequireZips().Count(); }

std::shared_ptr<clsFileRollBackLogZip> clsFileRollbackLog::Zip(int32_t lngIndex) {
  return RequireZips().Item(lngIndex);
}

std::shared_ptr<clsFileRollBackLogZip> clsFileRollbackLog::ZipByDrive(std::string_view strDrive) {
  return RequireZips().Item(strDrive);
}

std::shared_ptr<clsFileRollBackLogZip> clsFileRollbackLog::AddZip(std::string_view strName,
                                                                 std::string_view strDrive) {
  XmlDocument& doc = RequireDocument();
  ZipCollection& zips = RequireZips();
  if (!zip_files_element_) throw Error::Standard(errnum::kObjectNotSet);
  // A drive already filed never gets a second "ZipFile" element: a file that
  // names a drive twice could not be loaded again.
  if (zips.Find(strDrive, nullptr) != nullptr) throw Error::Standard(errnum::kDuplicateKey);
  const auto element = doc.CreateElement("ZipFile");
  auto entry = std::make_shared<clsFileRollBackLogZip>();
  Bind(*entry, element);
  entry->SetSlot(static_cast<size_t>(zips.Count()));
  entry->ZipId(zips.Count() + 1);
  entry->ZipName(strName);
  entry->ZipDrive(strDrive);
  zip_files_element_->AppendChild(element);
  zips.Add(entry, strDrive);
  SaveLog();
  return entry;
}

bool clsFileRollbackLog::Completed() {
  const auto root = RequireDocument().FirstChild();
  try {
    return root && logvalue::FlagFromText(root->GetAttribute("Completed"));
  } catch (const std::exception&) {
    return false;
  }
}

void clsFileRollbackLog::Completed(bool value) {
  RequireDocument();
  RequireRoot()->SetAttribute("Completed", value ? "True" : "False");
  SaveLog();
}

std::string clsFileRollbackLog::ArchivePath(clsFileRollBackLogZip& zip) {
  const std::string name = zip.ZipName();
  if (log_file_name_.empty()) return name;  // a log held in memory only names no folder
  FileSystem& fs = *fs_;
  const std::string log_folder = fs.GetParentFolderName(fs.GetAbsolutePathName(log_file_name_));
  const std::string beside = fs.BuildPath(log_folder, fs.GetFileName(name));
  if (!fs.paths().IsAbsolute(name) || archives_moved_) return beside;
  const std::string named_folder = fs.GetParentFolderName(fs.GetAbsolutePathName(name));
  if (named_folder == log_folder || !fs.FolderExists(named_folder) || SameFolder(fs, named_folder, log_folder)) {
    return beside;
  }
  throw Error(errnum::kArchiveError, kLibrarySource, "The archive lies outside the log's folder", name);
}

void clsFileRollbackLog::CheckArchiveBeside(clsFileRollBackLogZip& zip) {
  const std::string archive = ArchivePath(zip);
  if (!distrust_) return;
  std::unique_ptr<File> file;
  try {
    file = fs_->Open(archive, OpenMode::kReadRegular);
  } catch (const Error& e) {
    if (e.IsNotFound()) return;  // the restore reports it
    throw;
  }
  if (std::optional<Error> why = distrust_(file->Stat(), archive)) throw *why;
}

bool clsFileRollbackLog::LooksLikeRollbackLog() {
  if (!document_) return false;
  const auto root = document_->FirstChild();
  return root && root->TagName() == "VELMARFileRollbackLog" && !document_->GetElementsByTagName("StartDate").empty();
}

std::unique_ptr<PeriodLock> clsFileRollbackLog::TakeForRollback() {
  if (log_file_name_.empty()) return nullptr;  // a log held in memory only has no period on disk
  bool live = false;
  std::unique_ptr<PeriodLock> lock = TakePeriodLock(fs_, Names(), distrust_, &live);
  if (live) throw PeriodInProgress(log_file_name_);
  return lock;
}

bool clsFileRollbackLog::IsLive() {
  if (log_file_name_.empty()) return false;
  return LookAtPeriodLock(fs_, Names(), distrust_).live;
}

PeriodNames clsFileRollbackLog::Names() {
  return PeriodNames::OfLog(fs_->GetAbsolutePathName(log_file_name_));
}

void clsFileRollbackLog::DeleteLogFile() {
  std::unique_ptr<PeriodLock> lock = TakeForRollback();
  if (log_file_name_.empty()) return;
  RemovePeriodFiles(*fs_, Names(), PeriodRemoval{true, {}, {}, true}, lock.get());
}

std::vector<std::string> clsFileRollbackLog::ArchivePaths() {
  std::vector<std::string> paths;
  for (auto& zip : RequireZips()) {
    try {
      paths.push_back(ArchivePath(*zip));
    } catch (const Error&) {
      // an archive in another folder is never touched
    }
  }
  return paths;
}

void clsFileRollbackLog::DeleteArchives() {
  std::set<std::string> folders;
  for (const std::string& name : ArchivePaths()) {
    if (!fs_->FileExists(name)) continue;
    fs_->RemoveFile(name, true);
    folders.insert(fs_->GetParentFolderName(name));
  }
  for (const std::string& folder : folders) fs_->SyncFolder(folder);
}

void clsFileRollbackLog::ResetLog() {
  if (zips_) {
    for (auto& entry : *zips_) entry->SetParent({});
    zips_.reset();
  }
  zip_files_element_.reset();
  listed_.reset();
  document_.reset();
  log_file_name_.clear();
  loaded_stat_ = FileStat{};
}

void clsFileRollbackLog::Bind(clsFileRollBackLogZip& entry, std::shared_ptr<XmlElement> element) {
  entry.SetParent(weak_from_this());
  entry.SetElement(std::move(element));
  entry.fs_ = fs_;
  entry.listed_ = listed_;
}

XmlDocument& clsFileRollbackLog::RequireDocument() {
  if (!document_) throw Error::Standard(errnum::kObjectNotSet);
  return *document_;
}

std::shared_ptr<XmlElement> clsFileRollbackLog::RequireRoot() {
  auto root = RequireDocument().FirstChild();
  if (!root) throw Error::Standard(errnum::kObjectNotSet);
  return root;
}

KeyedCollection<std::shared_ptr<clsFileRollBackLogZip>>& clsFileRollbackLog::RequireZips() {
  if (!zips_) throw Error::Standard(errnum::kObjectNotSet);
  return *zips_;
}

}  // namespace bk
