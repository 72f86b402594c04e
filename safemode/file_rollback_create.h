// clsFileRollbackCreate: the object through which a host enters safe mode,
// makes files safe before changing them, and either leaves safe mode with a
// backup archive or undoes every change.
//
// Durability: BeginSafety returns once the new log is on stable storage;
// MakeFileSafe returns once the file's copy is on stable storage in its drive
// archive and the log that lists it has been saved durably. EndSafety commits
// by marking the log completed, and only after the backup archive has been
// copied durably to BackupFile; the drive archives and the log are deleted
// after that mark, so a crash never leaves an unfinished log without them.
#pragma once

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
#include "component/progress.h"
#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/period.h"
#include "log/period_lock.h"
#include "log/period_owner.h"
#include "log/period_record.h"
#include "log/rollback_log.h"
#include "restore/outcome.h"

namespace bk {

namespace restore {
struct RunHooks;
}

// How far a call that makes files safe has come: the files done (stored,
// skipped or refused) of those given, and the bytes read of their sizes as
// they were when looked at.
using SafeProgressFn = std::function<void(const Progress&)>;

// A file a call could not make safe: its path as the caller gave it (for a
// tree, as the walk found it) and the error MakeFileSafe would have raised.
struct RefusedFile {
  std::string path;
  Error error;
};

// Told of each file a call made safe, by the same path, once the log lists it.
using SafeFileFn = std::function<void(const std::string& path)>;

class clsFileRollbackCreate {
 public:
  explicit clsFileRollbackCreate(std::shared_ptr<FileSystem> fs = DefaultFileSystem());
  ~clsFileRollbackCreate();

  std::string BackupFile() const { return backup_file_; }
  // Stored unchanged; EndSafety copies the backup archive to the value of its
  // own moment.
  void BackupFile(std::string_view value);
  // Enters safe mode: creates missing folders of the temporary folder,
  // refuses a folder another user could write (log/trust.h) unless the folder
  // is trusted, names the period ("Safe yyyy-mm-dd HH.MM.SS" there, from a
  // reading of the clock that is also the log's start date) and claims the
  // name (log/period_owner.h): its lock file and record, in the hidden folder
  // of the periods' other files, and its log, each created exclusively. While
  // any entry holds one of the names it waits for the clock's next second
  // and reads it again, so periods never share a name. From then on the
  // period is live (log/period_lock.h) until EndSafety or a successful
  // UndoSafetyOperations returns or this object goes.
  // 30003 when already in safe mode; 52 when the folder has no existing
  // ancestor; 70 "Not trusted: ..." for a folder that is not trusted.
  void BeginSafety();
  // Takes the temporary folder as the caller's own: no ownership or
  // permission checks (as clsRollbackManager::TrustFolder).
  void TrustFolder(bool trusted) { trust_folder_ = trusted; }
  bool TrustFolder() const { return trust_folder_; }
  // Takes every folder of the trees MakeTreeSafe is given as trusted, also
  // those another user can write (log/trust.h TreeFolderDistrust), which
  // MakeTreeSafe otherwise refuses: a rollback removes what such a user put
  // there, whoever it belongs to (docs/security.md).
  void TrustTrees(bool trusted) { trust_trees_ = trusted; }
  bool TrustTrees() const { return trust_trees_; }
  // Checks that BackupFile can be written: its folder exists and accepts a
  // new file, and BackupFile is not a folder. Throws the error that says why
  // not (70 "Permission denied: a folder is where the backup belongs" for a
  // folder; unless TrustFolder, where files have numeric owners (POSIX), 70
  // "Not trusted: in a folder another user can write" when another user
  // could move a folder on its path, see PathDistrust). BeginSafety does not
  // call it: a host may set BackupFile later.
  void CheckBackupFile();
  // Leaves safe mode, also when it fails part-way. Packs the drive archives
  // and the (unmarked) log into a backup archive, copies it to BackupFile,
  // marks the log completed, then deletes the drive archives, the temporary
  // backup archive and, unless kept, the log. 91 when no period is open.
  void EndSafety(bool blnKeepLogFile = false);
  // EndSafety for a caller whose work succeeded and must not be undone
  // later (C++ only): when the backup cannot be put at BackupFile (its
  // folder gone, full, read-only), it is kept in the temporary folder
  // instead, under BackupFile's file name (numbered "-2", "-3", … when
  // taken), and the period is committed all the same. Returns that path,
  // with the error that kept it from BackupFile in *why; empty when the
  // backup is at BackupFile. Any other failure throws as EndSafety does.
  std::string EndSafetyKeepingBackup(bool blnKeepLogFile, std::optional<Error>* why);
  // A label for the periods begun from now on (C++ only), kept in each
  // one's record and so in its backup.
  void Label(std::string_view value) { label_ = value; }
  // Records that these paths hold no file now (C++ only): a rollback of the
  // period removes whatever file or link is made at them meanwhile, so that
  // a period that writes new files is undone whole. 91 outside safe mode.
  void RecordAbsentFiles(const std::vector<std::string>& paths);
  // Copies the file into its drive's archive and records it in the log.
  // 30001 when it is not an existing file; 30000 when the archive component
  // skipped it (for example another program holds it open for writing).
  void MakeFileSafe(std::string_view strFileName);
  // Makes every file of the list safe, each checked, refused or skipped as
  // MakeFileSafe would, and returns per file the error MakeFileSafe would
  // have raised for it (none when it was made safe). Each drive archive is
  // flushed once and the log saved once before it returns; until then the
  // log lists none of the files, so a crash part-way leaves the period as it
  // was. A failure of the archives, the log or the file system ends the call
  // with that error and none of its files recorded. `progress`, when given,
  // is told as files are done and read; an exception it throws ends the call
  // as such a failure does.
  std::vector<std::optional<Error>> MakeFilesSafe(const std::vector<std::string>& files,
                                                  const SafeProgressFn& progress = {});
  // MakeFilesSafe for a long list: returns only the files refused, in the
  // list's order, and tells `made_safe` (when given) of each other file, in
  // order, once the log lists it; nothing is kept per file.
  std::vector<RefusedFile> MakeFilesSafeReporting(const std::vector<std::string>& files, const SafeFileFn& made_safe,
                                                  const SafeProgressFn& progress = {});
  // Makes a whole folder tree safe: records every file, folder and link
  // under `folder` in the period's record (type, owner, group, mode, times,
  // link target, extended attributes; links as links, never followed; a
  // mount point recorded, not crossed) and flushes the record, then makes
  // every regular file safe as MakeFilesSafe does, in chunks (the first
  // 65,536 files, then each chunk as many as all before it), each chunk
  // stored, listed in the log and the log saved, so that a tree of n files
  // saves the log O(log n) times and holds only one chunk's paths at a time.
  // A failure ends the call with that error, the chunks before listed and
  // made safe. Returns per file (in `files`, when given, the order of the
  // results) what MakeFilesSafe returns. A rollback then puts
  // the whole tree back: entries added since removed, changed and deleted
  // ones brought back, every folder's owner, mode and times. A symbolic link
  // given as `folder` is resolved first. 76 when it is no folder; 70 when
  // the temporary folder or BackupFile lies inside it, or when a folder of
  // the tree is one another user can write (unless TrustTrees); 91 outside
  // safe mode.
  std::vector<std::optional<Error>> MakeTreeSafe(std::string_view folder, std::vector<std::string>* files = nullptr,
                                                 const SafeProgressFn& progress = {});
  // MakeTreeSafe for a large tree: returns only the files refused, in the
  // walk's order, and tells `made_safe` (when given) of each other file, in
  // order, once the log lists it. The tree's files wait their turn as
  // relative names end to end in one string; nothing is kept per file.
  std::vector<RefusedFile> MakeTreeSafeReporting(std::string_view folder, const SafeFileFn& made_safe,
                                                 const SafeProgressFn& progress = {});
  // Restores every file made safe in the period, deletes the log and the
  // archives as asked, and leaves safe mode. 30002 when not in safe mode; a
  // failed restore leaves safe mode on.
  void UndoSafetyOperations(bool blnDeleteLog = false, bool blnDeleteZips = true);
  // UndoSafetyOperations, reporting entry by entry into `report` (also when
  // it throws).
  void UndoReporting(RestoreReport& report, bool blnDeleteLog, bool blnDeleteZips);
  // UndoSafetyOperations, each entry's outcome to `sink` as it comes, with
  // `hooks` told how far it has come and asked whether to stop between two
  // entries (restore/execute.h). A run stopped so fails as an incomplete
  // undo does: safe mode stays on, and a later rollback of the period goes
  // on where it stopped.
  void UndoWith(const restore::OutcomeSink& sink, const restore::RunHooks& hooks,
                bool blnDeleteLog, bool blnDeleteZips);
  bool SafeMode() const { return safe_mode_; }
  std::string TempDir() const { return temp_dir_; }
  // Stored with a trailing separator added when it has none.
  void TempDir(std::string_view value);

  // The current period's log (nullptr when none is held); for the command line.
  std::shared_ptr<clsFileRollbackLog> log() const { return log_; }
  // The live lock of the period in progress; nullptr outside one.
  PeriodLock* period_lock() const { return period_ ? &period_->lock() : nullptr; }
  // The log of the last period begun (it stays named after the period ends).
  const std::string& log_file_name() const { return log_file_name_; }

 private:
  // The absolute path of a file to make safe, a symbolic link resolved to
  // the file it points to; 30001 when there is no such file.
  std::string PathToMakeSafe(std::string_view strFileName);
  // The archive of the drive of `strFileName` (an absolute path), created on
  // first use.
  ArchiveComponent* GetZipForDrive(std::string_view strFileName);
  ArchiveComponent* CreateZipForDrive(std::string_view strDrive);
  // Writes the central directory a drive archive still lacks after a call
  // whose own repair of it failed.
  void FlushDriveZips();
  void OnSkippingFile(const SkippingFileArgs& args);
  void ConnectEvents(ArchiveComponent* zip);
  std::string PeriodFolder();
  // The period is over, whatever became of it: its record and lock go with
  // this object, its files stay for recovery.
  void LetGo();
  // The archives the log names, for removal.
  std::vector<std::string> ArchivePaths();
  // EndSafety's work before its commit point: the backup archive, built in
  // the period's files folder and renamed or copied durably to BackupFile.
  void WriteBackupArchive(std::string* kept, std::optional<Error>* why);
  void EndSafetyWith(bool keep_log, std::string* kept, std::optional<Error>* why);
  // Moves the finished build into the temporary folder under a fresh name
  // after BackupFile's; returns that path.
  std::string KeepInTempFolder(const std::string& build, const std::string& target);
  void ZipIntoBackup(ArchiveComponent& backup, const std::string& path);
  bool RenameDurably(const std::string& build, const std::string& target);
  void CopyDurably(const std::string& from, const std::string& target);
  // The i-th path of a list, as its caller gave it.
  using PathAt = std::function<std::string(size_t)>;
  // Told of the i-th file of a list once settled: `refused` is why it was
  // not made safe, nullptr when the log lists it.
  using SettledFn = std::function<void(size_t i, const Error* refused)>;
  // Makes the `count` files of a list safe as MakeFilesSafe does, each path
  // asked of `path_at` once and moved from there on, then tells `settled` of
  // every file in order. Unless `recorded` (a tree's walk found them as
  // files, by absolute paths with no link, and recorded them already), each
  // path is resolved (PathToMakeSafe) and the record gets what each file was
  // and `now.bytes` their sizes. `now` counts on from what it holds, for
  // `progress`.
  void MakeListSafe(size_t count, const PathAt& path_at, bool recorded, Progress& now, const SafeProgressFn& progress,
                    const SettledFn& settled);
  // MakeTreeSafe's work: the tree recorded, then its files made safe chunk
  // by chunk; `settled` is told of each in the walk's order, with a function
  // that makes its path (only those who need it pay for it).
  using TreeFileAt = std::function<std::string()>;
  using TreeSettledFn = std::function<void(const TreeFileAt& path, const Error* refused)>;
  void MakeTreeSafeWith(std::string_view folder, const SafeProgressFn& progress, const TreeSettledFn& settled);
  // Each file as it is before its copy is read: identity, size, change time
  // and attributes, and the folders above it recorded (unflushed: the log's
  // next save flushes the record). Nothing for a file that cannot be looked
  // at: it is made safe all the same, without what the record would add.
  std::vector<std::optional<RecordedFile>> ObserveFiles(const std::vector<std::string>& paths);
  // Appends the file's line to the record, once its copy is stored.
  void RecordFile(const std::optional<RecordedFile>& file);
  void RecordFolders(const std::string& folder);
  PeriodRecordWriter* Record() { return period_ ? period_->record() : nullptr; }

  bool safe_mode_ = false;
  std::shared_ptr<FileSystem> fs_;
  std::string temp_dir_;
  std::string backup_file_;
  std::shared_ptr<clsFileRollbackLog> log_;
  std::unique_ptr<Period> period_;
  std::string log_file_name_;
  bool file_skipped_ = false;
  std::unique_ptr<KeyedCollection<std::unique_ptr<ArchiveComponent>>> drive_zips_;
  ArchiveComponent* events_zip_ = nullptr;
  bool trust_folder_ = false;
  bool trust_trees_ = false;
  std::string label_;
};

// Creates the folder and every missing folder above it, from the top down,
// flushing each new folder's entry to stable storage. A folder another
// process creates meanwhile is taken as it is (the caller judges it). Error
// 52 when the walk up the path finds no existing ancestor (an empty path, a
// missing drive).
void CreateFolderPath(FileSystem& fs, std::string_view strPath);

}  // namespace bk
