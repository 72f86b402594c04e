// brightkeep protect [--temp DIR] [--backup FILE] [--keep-log] [--trust-folder]
//                    [--tree DIR]... [--files-from LIST] [FILE...] -- COMMAND [ARG...]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <functional>
#include <iterator>
#include <optional>

#include "cli/backup_archive.h"
#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/options.h"
#include "cli/period_end.h"
#include "cli/system_log.h"
#include "component/platform.h"
#include "component/process.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep protect [--temp DIR] [--backup FILE] [--keep N] [--keep-log] [--trust-folder] [-q]
                          [--wait SECONDS] [--kill] [--trust-tree] [--config FILE]
                          [--tree TREE]... [--files-from LIST [--null]] [FILE...] -- COMMAND [ARG...]

Enters safe mode with DIR as the temporary folder, makes every FILE and
every file under each TREE safe, then runs COMMAND. When COMMAND exits with
status 0, safe mode ends: the period's archives and log are packed into the
backup archive FILE. When it fails or a signal ends it, every file made safe
is restored, each TREE is put back as it was (what COMMAND added to it is
removed, its folders and links come back with their owners, modes and
times; links are never followed and no other file system is entered), and
the period's archives and log are deleted; a line tells what became of each
entry. If this program itself is ended before that,
the period stays unfinished in DIR for 'brightkeep rollback DIR'. While
COMMAND, or anything it started that keeps the period's lock open, still
runs, the period is in progress and no rollback touches it; a killed
'brightkeep protect' ends COMMAND with SIGTERM. When COMMAND succeeded,
what it left running (a service it started) is neither waited for nor
ended. When it failed, its files are put back only once what it left
running has ended: protect waits --wait seconds for those processes (and
names them), ends them with --kill, or else leaves the period unfinished
for a later 'brightkeep rollback DIR' and exits with 125. DIR must not be
writable by other users (see 'brightkeep assess --help'), unless
--trust-folder. --temp, --backup and --keep default to those of the
configuration file:
  )" BK_CONFIG_PLACE R"(.
The period's start and how it ended go to the system log.

A file that cannot be made safe, or a backup FILE whose folder is missing or
refuses a new file, stops everything before COMMAND runs: every such file is
reported, what was made safe is undone and the exit status is 1. On a
terminal, a progress line shows while 200 files or more are made safe.

Exit status: COMMAND's own when everything came back or COMMAND succeeded
(128 + N when signal N ended it; 127 when it cannot be found, 126 when it
cannot be run); 125 when COMMAND failed and not every file came back, or
processes it left running kept them from being put back (the period stays
for 'brightkeep rollback DIR'); 1 when safe mode could not be entered or
ended.

Options:
  --temp DIR         folder for the period's rollback log and archives
  --backup FILE      where the backup archive goes when COMMAND succeeds; "%t"
                     in its name stands for the time protect started, as
                     YYYYMMDD-HHMMSS, "%%" for "%"
  --keep N           with "%t" in the backup's name: after a success, remove
                     the oldest backups of that name with any earlier time,
                     keeping N; only backups this user owns, whose log names
                     that very file as its backup, are ever removed
  --wait SECONDS     when COMMAND failed, how long to wait for what it left
                     running before its files are put back (default 60)
  --kill             when that wait is over, end those processes (SIGTERM,
                     then SIGKILL after 5 s) and put the files back
  --keep-log         keep the completed log in DIR after success
  --trust-folder     take DIR as your own: no ownership or permission checks
  --tree TREE        also protect the whole folder tree TREE (may be given
                     more than once); DIR and FILE must not lie inside it,
                     and no folder of it may be one that a user other than
                     you and root can write, unless --trust-tree
  --trust-tree       take every folder of each TREE as trusted: a rollback
                     then removes whatever another user put in one they can
                     write, whoever it belongs to
  --files-from LIST  also protect the files named in LIST, one per line
                     ("-" reads standard input; a pipe or FIFO will do)
  --null             names in LIST end with NUL, not a line break
                     (as find -print0 writes them)
  -q, --quiet        no progress line; errors are still shown
  --config FILE      take the defaults from the configuration file FILE
  -h, --help         show this help
)";

// The list is the caller's input, read as a stream: a file, a pipe or a FIFO.
std::string ReadList(const std::string& path) {
  if (path == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) throw Error::Standard(errnum::kFileNotFound, path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FilesToProtect(const ParsedArgs& parsed, FileSystem& fs) {
  std::vector<std::string> names = parsed.positionals;
  if (const auto list = parsed.Value("--files-from")) {
    const std::string text = ReadList(*list);
    const char end_of_name = parsed.Has("--null") ? '\0' : '\n';
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(end_of_name, start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (end_of_name == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) names.push_back(line);
      start = end + 1;
    }
  } else if (parsed.Has("--null")) {
    throw UsageError("--null goes with --files-from");
  }
  for (std::string& name : names) name = fs.GetAbsolutePathName(name);
  return names;
}

// The backup's folder must exist and accept a new file before anything runs:
// learning that only after the command succeeded would leave its period
// unfinished, for a later rollback to undo work that succeeded.
bool BackupCanBeWritten(clsFileRollbackCreate& safety) {
  try {
    safety.CheckBackupFile();
    return true;
  } catch (const Error& e) {
    ReportError(e);
    std::cerr << "brightkeep: nothing was run: the backup archive cannot be written there\n";
    return false;
  }
}

// Undoes the period and deletes its log; on failure the period stays
// unfinished for a later rollback.
bool Undo(clsFileRollbackCreate& safety, bool quiet) {
  RestoreReport report;
  try {
    safety.UndoReporting(report, true, true);
    if (!quiet) PrintRestoreReport(std::cerr, report, "  ");
    return true;
  } catch (const Error& e) {
    PrintRestoreReport(std::cerr, report, "  ");
    ReportError(e);
    std::cerr << "brightkeep: the period stays unfinished; run 'brightkeep rollback " << safety.TempDir() << "'\n";
    return false;
  }
}

// Undoes the period after `why` and tells the system log how it ended.
bool UndoAfter(clsFileRollbackCreate& safety, const std::string& log, const std::string& why, bool quiet) {
  const bool whole = Undo(safety, quiet);
  LogPeriodEnd("protect", log, why + (whole ? ", files restored" : ", not every file came back"), true);
  return whole;
}

// Runs COMMAND holding a lock of the period of its own, so that the period
// stays live while COMMAND or anything it started and that kept it open runs.
int RunChild(clsFileRollbackCreate& safety, const std::vector<std::string>& command) {
  ChildOptions options;
  options.end_with_parent = true;
  std::unique_ptr<File> shared = safety.period_lock()->ShareWithChild();
  if (shared->NativeHandle() >= 0) options.inherit.push_back(shared->NativeHandle());
  ChildProcess child = ChildProcess::Start(command, {}, options);
  shared.reset();
  return child.WaitForeground();
}

// Seconds a failed COMMAND's leftover processes get after SIGTERM (--kill).
constexpr std::chrono::seconds kKillGrace{5};

void PrintHolders(const std::vector<ProcessInfo>& holders) {
  for (const ProcessInfo& p : holders) std::cerr << "  " << DescribeProcess(p) << '\n';
  // Another user's processes are seen by root only.
  if (holders.empty()) std::cerr << "  (none that this user may see)\n";
}

// Files are put back only once nothing COMMAND started can still write them:
// true when that is so, waiting at most --wait seconds for what COMMAND left
// running (ending it first with --kill). The period's lock is held all the
// while, so no rollback can begin meanwhile.
bool LeftoverProcessesGone(clsFileRollbackCreate& safety, const ParsedArgs& parsed) {
  PeriodLock* lock = safety.period_lock();
  if (lock == nullptr || lock->TryAlone()) return true;
  const std::chrono::seconds wait(std::stoul(parsed.Value("--wait").value_or("60")));
  const FileStat id = lock->Identity().value_or(FileStat{});
  std::cerr << "brightkeep: waiting up to " << wait.count() << " s for the processes the command left running:\n";
  PrintHolders(ProcessesHoldingFile(id.device, id.file_id));
  if (lock->WaitUntilAlone(wait)) return true;
  if (parsed.Has("--kill")) {
    std::cerr << "brightkeep: ending them (SIGTERM, then SIGKILL after " << kKillGrace.count() << " s)\n";
    EndProcessesHoldingFile(id.device, id.file_id, kKillGrace);
    if (lock->WaitUntilAlone(kKillGrace)) return true;
  }
  const std::vector<ProcessInfo> holders = ProcessesHoldingFile(id.device, id.file_id);
  std::cerr << "brightkeep: the period stays unfinished while these processes run; 'brightkeep rollback "
            << safety.TempDir() << "' puts the files back once they have ended:\n";
  PrintHolders(holders);
  return false;
}

int RunCommand(clsFileRollbackCreate& safety, const ParsedArgs& parsed) {
  const bool quiet = parsed.Has("--quiet");
  const std::string log = safety.log()->LogFileName();
  int status = 0;
  try {
    status = RunChild(safety, *parsed.rest);
  } catch (const Error& e) {
    ReportError(e);
    if (!UndoAfter(safety, log, "the command could not be run", quiet)) return kExitIncompleteRestore;
    return e.number() == errnum::kFileNotFound ? 127 : 126;
  }
  if (status != 0) {
    std::cerr << "brightkeep: the command failed with status " << status << "; restoring its files\n";
    const std::string why = "the command failed with status " + std::to_string(status);
    if (!LeftoverProcessesGone(safety, parsed)) {
      LogPeriodEnd("protect", log, why + "; processes it left running hold the period", true);
      return kExitIncompleteRestore;
    }
    return UndoAfter(safety, log, why, quiet) ? status : kExitIncompleteRestore;
  }
  try {
    safety.EndSafety(parsed.Has("--keep-log"));
  } catch (const Error& e) {
    ReportError(e);
    std::cerr << "brightkeep: the command succeeded but safe mode could not be ended\n";
    LogPeriodEnd("protect", log, "the command succeeded, safe mode could not be ended: " + e.description(), true);
    return kExitFailure;
  }
  LogPeriodEnd("protect", log, "completed, backup " + safety.BackupFile(), false);
  return kExitSuccess;
}

// Files from which on a terminal a progress line shows.
constexpr size_t kProgressFiles = 200;

// Reports each file that could not be made safe; true when there was none.
bool ReportRefused(FileSystem& fs, const std::vector<std::string>& files,
                   const std::vector<std::optional<Error>>& results) {
  bool all = true;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!results[i]) continue;
    // The component's description is fixed; the command says what was found.
    const Error& e = *results[i];
    const bool folder = e.number() == bkCreateErrorFileNotFound && fs.FolderExists(files[i]);
    ReportError(Error(e.number(), e.source(), e.description() + (folder ? ": a folder, not a file" : ""),
                      e.path().empty() ? files[i] : e.path(), e.native_code()));
    all = false;
  }
  return all;
}

// Makes every file of the trees, then those listed, safe, each group in one
// step; reports each file that could not be.
bool MakeAllSafe(clsFileRollbackCreate& safety, FileSystem& fs, const std::vector<std::string>& trees,
                 const std::vector<std::string>& listed, bool quiet) {
  const bool terminal = !quiet && IsTerminal(StandardStream::kError);
  bool shown = false;
  size_t total = 0, last = 0;
  // About a hundred updates in all; every thousand files in a tree, whose
  // count is known only once it is walked.
  constexpr size_t kUnknown = SIZE_MAX;
  const auto progress = [&](size_t done) {
    const size_t step = total == kUnknown ? 1000 : std::max<size_t>(total / 100, 1);
    if (done != total && done - last < step) return;
    last = done;
    shown = true;
    std::cerr << "\rbrightkeep: making files safe (" << done;
    if (total != kUnknown) std::cerr << " of " << total;
    std::cerr << ")\x1b[K" << std::flush;
  };
  const auto with_progress = [&](size_t files) {
    total = files;
    last = 0;
    return terminal && files >= kProgressFiles ? std::function<void(size_t)>(progress) : nullptr;
  };
  std::vector<std::string> files;
  std::vector<std::optional<Error>> results;
  try {
    for (const std::string& tree : trees) {
      std::vector<std::string> in_tree;
      std::vector<std::optional<Error>> done = safety.MakeTreeSafe(tree, &in_tree, with_progress(kUnknown));
      files.insert(files.end(), in_tree.begin(), in_tree.end());
      results.insert(results.end(), done.begin(), done.end());
    }
    std::vector<std::optional<Error>> done = safety.MakeFilesSafe(listed, with_progress(listed.size()));
    files.insert(files.end(), listed.begin(), listed.end());
    results.insert(results.end(), done.begin(), done.end());
  } catch (const Error& e) {
    if (shown) std::cerr << "\r\x1b[K";
    ReportError(e);
    return false;
  }
  if (shown) std::cerr << "\r\x1b[K" << std::flush;
  return ReportRefused(fs, files, results);
}

}  // namespace

int RunProtect(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(
      args, {{"--temp", true}, {"--backup", true}, {"--keep-log", false}, {"--trust-folder", false}, {"--files-from", true},
             {"--null", false}, {"--quiet", false}, {"--keep", true}, {"--tree", true, true}, {"--wait", true},
             {"--kill", false}, {"--trust-tree", false}},
      true);
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  TakeDefaults(parsed, {"--temp", "--backup", "--keep"});
  if (!parsed.Value("--temp")) throw UsageError("protect needs --temp DIR");
  if (!parsed.Value("--backup")) throw UsageError("protect needs --backup FILE");
  if (!parsed.rest || parsed.rest->empty()) throw UsageError("protect needs '--' followed by the command to run");

  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::vector<std::string> files = FilesToProtect(parsed, *fs);
  const std::string temp = fs->GetAbsolutePathName(*parsed.Value("--temp"));
  const std::string backup_pattern = fs->GetAbsolutePathName(*parsed.Value("--backup"));
  if (const auto keep = parsed.Value("--keep")) {
    if (keep->empty() || keep->find_first_not_of("0123456789") != std::string::npos || std::stoul(*keep) == 0) {
      throw UsageError("--keep needs a number of backups, 1 or more");
    }
    if (!IsStampedPattern(*fs, backup_pattern)) throw UsageError("--keep needs \"%t\" in the name of --backup");
  }
  if (const auto wait = parsed.Value("--wait")) {
    if (wait->empty() || wait->size() > 9 || wait->find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError("--wait needs a number of seconds");
    }
  }
  if (const std::string kind = VolatileFileSystemName(temp); !kind.empty()) {
    std::cerr << "brightkeep: warning: the temporary folder " << temp << " is on " << kind
              << ", which does not survive a reboot: a period cut short by a crash or a power cut"
                 " would be lost; keep it on persistent storage\n";
  }
  clsFileRollbackCreate safety(fs);
  safety.TempDir(temp);
  safety.BackupFile(StampBackupName(backup_pattern, LocalNow()));
  safety.TrustFolder(parsed.Has("--trust-folder"));
  safety.TrustTrees(parsed.Has("--trust-tree"));
  if (!BackupCanBeWritten(safety)) return kExitFailure;
  safety.BeginSafety();
  const std::string log = safety.log()->LogFileName();
  LogPeriodStart("protect", log, "running " + parsed.rest->front());
  std::vector<std::string> trees;
  if (const auto it = parsed.repeated.find("--tree"); it != parsed.repeated.end()) trees = it->second;
  if (!MakeAllSafe(safety, *fs, trees, files, parsed.Has("--quiet"))) {
    std::cerr << "brightkeep: nothing was run; undoing what was made safe\n";
    UndoAfter(safety, log, "files could not be made safe, nothing was run", true);
    return kExitFailure;
  }
  std::cout.flush();
  const int status = RunCommand(safety, parsed);
  if (status == kExitSuccess) PruneAfterSuccess(parsed, backup_pattern, safety.BackupFile(), parsed.Has("--quiet"));
  return status;
}

}  // namespace bk::cli
