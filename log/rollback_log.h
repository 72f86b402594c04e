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
#include "component/platform.h"
#include "component/xml/xml_document.h"
#include "log/listed_files.h"
#include "log/period.h"
#include "log/period_lock.h"
#include "log/period_record.h"

namespace bk {

class clsFileRollBackLogZip;

// What a rollback came to, entry by entry (restore/rollback.h fills it). A
// file counts as restored once its content is written and flushed.
struct RestoreReport {
  std::vector<std::string> restored;  // paths as the log lists them; folders and links made again
  // One per restored path, in the same order: what of it could not be put
  // back ("owner and group not restored: not permitted"), or empty when it
  // came back whole.
  std::vector<std::string> notes;
  std::vector<std::string> unchanged;  // files left as they were: nothing of them had changed
  std::vector<Error> failed;          // one per entry not put back; path: the entry
  // Entries of protected trees that the period did not have, removed; those
  // that could not be; and those left where they are without failing the
  // rollback (mount points made since).
  std::vector<std::string> removed;
  std::vector<Error> not_removed;
  std::vector<Error> left;
  size_t done_before = 0;  // entries an earlier run of the rollback did

  // True when something did not come back or could not be removed.
  bool Failed() const { return !failed.empty() || !not_removed.empty(); }
};

class clsFileRollbackLog : public std::enable_shared_from_this<clsFileRollbackLog> {
 public:
  static std::shared_ptr<clsFileRollbackLog> Create(std::shared_ptr<FileSystem> fs = DefaultFileSystem());
  ~clsFileRollbackLog();

  // --- Public members ---
  // Starts a new log at that path and writes it (an empty name: memory only).
  void CreateLogFile(std::string_view strLogFileName);
  const std::string& LogFileName() const { return log_file_name_; }
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
  // As LoadFromFile, for a log held in memory (read out of a backup archive):
  // the log has no file name, so it is never saved.
  void LoadFromText(std::string_view bytes, std::string_view name);
  bool Completed();
  // Restores every file the log lists, archive by archive in entry order,
  // going on past a file that cannot be put back; then, when every file came
  // back and blnDeleteZip is true, deletes the archives. Fails at the end with
  // RestoreReport::Summary when a file did not come back (every archive then
  // stays). Holds the period's lock while it runs: a live period (its owner
  // is still at work, period_lock.h) fails at once with 70 "Permission
  // denied: the period is still in progress", before anything is touched.
  // Every archive is first checked (CheckArchiveBeside): one named in
  // another folder that exists fails the whole rollback before anything is
  // read, restored or deleted. A missing archive, or one without a valid
  // drive marker, stops the rollback at once, before anything of that
  // archive is written.
  void Rollback(bool blnDeleteZip = true);

  // --- Internal to the component ---
  // Starts a new log at a path no entry holds yet, started at `start_date`
  // (an OLE Automation date): the file is created exclusively, following no
  // link, and the log written into it durably. 58 when the name is taken;
  // the log then holds nothing.
  void ClaimLogFile(std::string_view strLogFileName, double start_date);
  // Rollback, reporting file by file into `report` (also when it throws).
  void RollbackReporting(RestoreReport& report, bool blnDeleteZip);
  // The owner's undo (the caller holds the period's lock): Rollback without
  // the lock and without deleting anything, reporting file by file into
  // `report` (also when it throws).
  void RestoreFiles(RestoreReport& report);
  // Deletes every archive of the log that exists and flushes their folders.
  void DeleteArchives();
  // Where a rollback reads each archive of the log (ArchivePath), but for
  // those named in another folder.
  std::vector<std::string> ArchivePaths();
  // The names of this log's period (its log must have a file).
  PeriodNames Names();
  // Recovery's rollback, under the period's lock as Rollback: restores, then,
  // once every file is back, the log file goes first (flushed), then its
  // archives, the period's leftovers and its lock file, so that no log ever
  // names archives that are gone and a run cut short anywhere is simply run
  // again.
  void RollbackAndRemove(RestoreReport& report);
  // Deletes the log file (read-only too), under the period's lock as
  // Rollback (70 when live), and the period's lock file with it.
  void DeleteLogFile();
  // True when the loaded document is a rollback log: its root element is
  // "VELMARFileRollbackLog" and it has a "StartDate" element.
  bool LooksLikeRollbackLog();
  // True when the period of this log is live (period_lock.h).
  bool IsLive();
  // The period's lock for a rollback (nullptr for a log held in memory):
  // 70 "Permission denied: the period is still in progress" when live.
  std::unique_ptr<PeriodLock> TakeForRollback();
  // Writes the log durably; the record given to FlushRecordWithSaves is
  // flushed with it.
  void SaveLog();
  // The period's record, whose appended lines every save of the log flushes
  // together with the log; nullptr: none. Not owned.
  void FlushRecordWithSaves(PeriodRecordWriter* record) { record_ = record; }
  void Completed(bool value);
  // What the open log file was when LoadFromFile read it (owner, mode).
  const FileStat& LoadedFileStat() const { return loaded_stat_; }
  // Judges the archives and the lock file of the period when they are
  // opened for a rollback; empty: all are trusted.
  void SetDistrustCheck(DistrustCheck check) { distrust_ = std::move(check); }
  const DistrustCheck& distrust_check() const { return distrust_; }
  // Where a rollback reads the archive of this entry: the file of that name
  // beside the log. 30200 "The archive lies outside the log's folder" when
  // the log names it in another folder that exists (a folder reached through
  // a link, or one moved away since, is the log's own). A log held in memory
  // only reads the name as it stands.
  std::string ArchivePath(clsFileRollBackLogZip& zip);
  // The caller has put every archive beside the log itself (a backup archive
  // unpacked): ArchivePath then takes that file whatever folder the log names.
  void ArchivesMovedBeside() { archives_moved_ = true; }
  // True once ArchivesMovedBeside: the archives are copies, not the files
  // the period wrote, so the identities its record holds for them do not
  // apply.
  bool archives_moved() const { return archives_moved_; }
  // Rollback's guard for one archive: ArchivePath, and the distrust check
  // on the archive when it exists.
  void CheckArchiveBeside(clsFileRollBackLogZip& zip);
  FileSystem& file_system() { return *fs_; }
  const std::shared_ptr<FileSystem>& file_system_ptr() const { return fs_; }
  // Where the files of a log this object started are kept (listed_files.h);
  // nullptr for a loaded log, whose files stay in its document.
  const std::shared_ptr<ListedFiles>& listed_files() const { return listed_; }

 private:
  explicit clsFileRollbackLog(std::shared_ptr<FileSystem> fs);
  void ResetLog();
  // Parses the log's bytes into the new document and files its entries.
  void LoadDocument(std::string_view bytes, std::string_view name);
  // Resets the log and builds the document of a new one for that path.
  void NewDocument(std::string_view strLogFileName, double start_date);
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

  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<XmlDocument> document_;
  std::shared_ptr<XmlElement> zip_files_element_;
  std::unique_ptr<KeyedCollection<std::shared_ptr<clsFileRollBackLogZip>>> zips_;
  std::string log_file_name_;
  FileStat loaded_stat_;
  DistrustCheck distrust_;
  bool archives_moved_ = false;
  PeriodRecordWriter* record_ = nullptr;
  std::shared_ptr<ListedFiles> listed_;
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
  // The entry's place among its log's archives, from 0.
  void SetSlot(size_t slot) { slot_ = slot; }
  void ZipId(int32_t value);
  void ZipName(std::string_view value);
  // Appends a "SafeFile" element for each path, numbered on from FileCount,
  // without saving; returns the log, which the caller saves once. A path the
  // log cannot hold is left out, its error put in (*refused)[i] when given.
  // 91 when the entry has no log.
  std::shared_ptr<clsFileRollbackLog> AppendFiles(const std::vector<std::string>& paths,
                                                  std::vector<std::optional<Error>>* refused = nullptr);

 private:
  XmlElement& element();
  // The log's kept files when this entry's files are kept there; a
  // detached entry still reads those it had.
  ListedFiles* Listed() const { return listed_.get(); }
  // Paths of `n` listed files from `first` (from 0).
  std::vector<std::string> ListedPaths(ListedFiles& listed, size_t first, size_t n);
  std::weak_ptr<clsFileRollbackLog> parent_;
  size_t slot_ = 0;
  std::shared_ptr<ListedFiles> listed_;
  std::shared_ptr<XmlElement> element_;
  std::optional<size_t> file_count_;
  // File system for Restore: the parent's at binding time.
  std::shared_ptr<FileSystem> fs_;
  friend class clsFileRollbackLog;
};

// OLE Automation dates: days since 1899-12-30, the fraction the time of day.
double OleDateFromLocalNow();
// The same for a reading of the clock (seconds; milliseconds are dropped).
double OleDateFromLocal(const LocalDateTime& time);
// Up to 15 significant digits, "." (Linux) or the locale's separator (Windows).
std::string OleDateToText(double date);
// Accepts "." or "," as decimal separator; 13 (type mismatch) otherwise.
double OleDateFromText(std::string_view text);

}  // namespace bk
