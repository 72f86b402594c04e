// clsFileRollbackLog: one rollback log, kept as an XML tree and rewritten to
// its file (UTF-16 LE with BOM) after every change; and clsFileRollBackLogZip,
// one archive recorded in it, a live view of its "ZipFile" element.
//
// Both are held by std::shared_ptr. A log owns its entries; an entry's link
// to its log (Parent) is non-owning and never reaches a destroyed log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/collection.h"
#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/xml/xml_document.h"

namespace bk {

class clsFileRollBackLogZip;

// What a rollback came to, file by file. A file counts as restored once its
// content is written and flushed.
struct RestoreReport {
  std::vector<std::string> restored;  // paths as the log lists them
  // One per restored path, in the same order: what of the file could not be
  // put back ("owner and group not restored: not permitted"), or empty when
  // it came back whole.
  std::vector<std::string> notes;
  std::vector<Error> failed;          // one per file not put back; path: the file as listed

  // The error that ends a rollback in which files failed (30200): how many,
  // and the first few with the reason.
  Error Summary() const;
};

class clsFileRollbackLog : public std::enable_shared_from_this<clsFileRollbackLog> {
 public:
  static std::shared_ptr<clsFileRollbackLog> Create(std::shared_ptr<FileSystem> fs = DefaultFileSystem());
  ~clsFileRollbackLog();

  // --- Public members ---
  // Starts a new log at that path and writes it (an empty name: memory only).
  void CreateLogFile(std::string_view strLogFileName);
  const std::string& LogFileName() const { return mstrLogFileName; }
  // OLE Automation date (local time).
  double StartDate();
  std::string TempPath();
  void TempPath(std::string_view value);
  std::string BackupDestFileName();
  void BackupDestFileName(std::string_view value);
  int32_t ZipCount();
  std::shared_ptr<clsFileRollBackLogZip> Zip(int32_t lngIndex);
  std::shared_ptr<clsFileRollBackLogZip> ZipByDrive(std::string_view strDrive);
  std::shared_ptr<clsFileRollBackLogZip> AddZip(std::string_view strName, std::string_view strDrive);
  void LoadFromFile(std::string_view strLogFile);
  bool Completed();
  // Restores every file the log lists, archive by archive in entry order,
  // going on past a file that cannot be put back; then, when every file came
  // back and blnDeleteZip is true, deletes the archives. Fails at the end with
  // RestoreReport::Summary when a file did not come back (every archive then
  // stays). Every archive is first checked (CheckArchiveBeside): one named
  // outside the log's folder fails the whole rollback before anything is
  // read, restored or deleted. A missing archive, or one without a valid
  // drive marker, stops the rollback at once, before anything of that archive
  // is written.
  void Rollback(bool blnDeleteZip = true);

  // --- Internal to the component ---
  // Starts a new log at a path no entry holds yet: the file is created
  // exclusively, following no link, and the log written into it durably.
  // 58 when the name is taken; the log then holds nothing.
  void ClaimLogFile(std::string_view strLogFileName);
  // Rollback without deleting anything, reporting file by file into
  // `report` (also when it throws).
  void RestoreFiles(RestoreReport& report);
  // Deletes every archive of the log that exists and flushes their folders.
  void DeleteArchives();
  // Recovery's rollback: RestoreFiles, then, once every file is back, the
  // log file goes first (flushed), then its archives and the period's
  // leftovers, so that no log ever names archives that are gone and a run
  // cut short anywhere is simply run again.
  void RollbackAndRemove(RestoreReport& report);
  void SaveLog();
  void Completed(bool value);
  // What the open log file was when LoadFromFile read it (owner, mode).
  const FileStat& LoadedFileStat() const { return mLoadedStat; }
  // Run by Rollback on each archive's full path before anything is restored;
  // it throws to refuse the archive. Empty: no check beyond the folder.
  void SetArchiveCheck(std::function<void(const std::string&)> check) { mArchiveCheck = std::move(check); }
  // Rollback's guard for one archive: it must lie directly in the log's own
  // folder (its name resolved as the restore resolves it), and pass the
  // archive check. 30200 "The archive lies outside the log's folder". A log
  // held in memory only is not checked against a folder.
  void CheckArchiveBeside(clsFileRollBackLogZip& zip);
  FileSystem& file_system() { return *mobjFileSystem; }
  const std::shared_ptr<FileSystem>& file_system_ptr() const { return mobjFileSystem; }

 private:
  explicit clsFileRollbackLog(std::shared_ptr<FileSystem> fs);
  void ResetLog();
  // Resets the log and builds the document of a new one for that path.
  void NewDocument(std::string_view strLogFileName);
  // Error 91 unless a document is held.
  XmlDocument& RequireDocument();
  // Error 91 unless the document has a root element.
  std::shared_ptr<XmlElement> RequireRoot();
  KeyedCollection<std::shared_ptr<clsFileRollBackLogZip>>& RequireZips();
  // "Value" of the first element of that name; empty text when there is none.
  std::string FirstValue(std::string_view element);
  // Sets "Value" of the first element of that name (created as the root's
  // last child when missing), then saves.
  void SetFirstValue(std::string_view element, std::string_view value);
  // Links a new entry to this log, its "ZipFile" element and the file system.
  void Bind(clsFileRollBackLogZip& entry, std::shared_ptr<XmlElement> element);

  std::shared_ptr<FileSystem> mobjFileSystem;
  std::shared_ptr<XmlDocument> mobjDocument;
  std::shared_ptr<XmlElement> mobjZipFilesElement;
  std::unique_ptr<KeyedCollection<std::shared_ptr<clsFileRollBackLogZip>>> mcolZips;
  std::string mstrLogFileName;
  FileStat mLoadedStat;
  std::function<void(const std::string&)> mArchiveCheck;
};

class clsFileRollBackLogZip {
 public:
  clsFileRollBackLogZip() = default;

  // --- Public members ---
  // The log, or nullptr once the log has reset or been destroyed.
  std::shared_ptr<clsFileRollbackLog> Parent() const { return parent_.lock(); }
  int32_t ZipId();
  std::string ZipName();
  std::string ZipDrive();
  void ZipDrive(std::string_view value);
  int32_t FileCount();
  std::string FilePath(int32_t lngFileIndex);
  // Every listed path in order, read in one pass (FilePath(1..FileCount)).
  std::vector<std::string> FilePaths();
  void AddFile(std::string_view strPath);

  // --- Internal to the component ---
  void SetParent(std::weak_ptr<clsFileRollbackLog> parent) { parent_ = std::move(parent); }
  void SetElement(std::shared_ptr<XmlElement> element) {
    element_ = std::move(element);
    file_count_.reset();
  }
  void ZipId(int32_t value);
  void ZipName(std::string_view value);
  // Appends a "SafeFile" element for each path, numbered on from FileCount,
  // without saving; returns the log, which the caller saves once. A path the
  // log cannot hold is left out, its error put in (*refused)[i] when given.
  // 91 when the entry has no log.
  std::shared_ptr<clsFileRollbackLog> AppendFiles(const std::vector<std::string>& paths,
                                                  std::vector<std::optional<Error>>* refused = nullptr);
  // Puts every file of the archive that the log lists back where it came
  // from, reporting file by file into `report`. Throws only for a missing
  // archive or drive marker, before writing anything. Deletes nothing.
  void Restore(RestoreReport& report);

 private:
  XmlElement& element();
  std::weak_ptr<clsFileRollbackLog> parent_;
  std::shared_ptr<XmlElement> element_;
  std::optional<size_t> file_count_;
  // File system for Restore: the parent's at binding time.
  std::shared_ptr<FileSystem> fs_;
  friend class clsFileRollbackLog;
};

// OLE Automation dates: days since 1899-12-30, the fraction the time of day.
double OleDateFromLocalNow();
// Up to 15 significant digits, "." (Linux) or the locale's separator (Windows).
std::string OleDateToText(double date);
// Accepts "." or "," as decimal separator; 13 (type mismatch) otherwise.
double OleDateFromText(std::string_view text);

}  // namespace bk
