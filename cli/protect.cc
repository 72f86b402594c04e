// brightkeep protect --temp DIR --backup FILE [--keep-log] [--files-from LIST]
//                    [FILE...] -- COMMAND [ARG...]
#include <iostream>
#include <functional>
#include <iterator>
#include <optional>

#include "cli/cli.h"
#include "cli/options.h"
#include "component/platform.h"
#include "component/process.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep protect --temp DIR --backup FILE [--keep-log]
                          [--files-from LIST] [FILE...] -- COMMAND [ARG...]

Enters safe mode with DIR as the temporary folder, makes every FILE safe,
then runs COMMAND. When COMMAND exits with status 0, safe mode ends: the
period's archives and log are packed into the backup archive FILE. When it
fails or a signal ends it, every file made safe is restored and the period's
archives and log are deleted. If this program itself is ended before that,
the period stays unfinished in DIR for 'brightkeep rollback DIR'.

A file that cannot be made safe, or a backup FILE whose folder is missing or
refuses a new file, stops everything before COMMAND runs: every such file is
reported, what was made safe is undone and the exit status is 1. On a
terminal, a progress line shows while 200 files or more are made safe.

Exit status: COMMAND's own (128 + N when signal N ended it; 127 when it
cannot be found, 126 when it cannot be run), or 1 when safe mode could not
be entered or ended.

Options:
  --temp DIR         folder for the period's rollback log and archives
  --backup FILE      where the backup archive goes when COMMAND succeeds
  --keep-log         keep the completed log in DIR after success
  --files-from LIST  also protect the files named in LIST, one per line
                     ("-" reads standard input)
  -h, --help         show this help
)";

std::string ReadList(FileSystem& fs, const std::string& path) {
  if (path == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::unique_ptr<File> file = fs.Open(path, OpenMode::kRead);
  std::string bytes = file->ReadAll();
  file->Close();
  return bytes;
}

std::vector<std::string> FilesToProtect(const ParsedArgs& parsed, FileSystem& fs) {
  std::vector<std::string> names = parsed.positionals;
  if (const auto list = parsed.Value("--files-from")) {
    const std::string text = ReadList(fs, *list);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) names.push_back(line);
      start = end + 1;
    }
  }
  for (std::string& name : names) name = fs.GetAbsolutePathName(name);
  return names;
}

// The backup's folder must exist and accept a new file before anything runs:
// learning that only after the command succeeded would leave its period
// unfinished, for a later rollback to undo work that succeeded.
bool BackupCanBeWritten(FileSystem& fs, const std::string& backup) {
  try {
    if (fs.FolderExists(backup)) {
      throw Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: a folder is where the backup belongs",
                  backup);
    }
    const std::string probe = backup + "." + fs.GetTempName();
    fs.Open(probe, OpenMode::kCreateNew)->Close();
    fs.RemoveFile(probe, true);
    return true;
  } catch (const Error& e) {
    ReportError(e);
    std::cerr << "brightkeep: nothing was run: the backup archive cannot be written there\n";
    return false;
  }
}

// Undoes the period and deletes its log; on failure the period stays
// unfinished for a later rollback.
bool Undo(clsFileRollbackCreate& safety) {
  try {
    safety.UndoSafetyOperations(true, true);
    return true;
  } catch (const Error& e) {
    ReportError(e);
    std::cerr << "brightkeep: the period stays unfinished; run 'brightkeep rollback " << safety.TempDir() << "'\n";
    return false;
  }
}

int RunCommand(clsFileRollbackCreate& safety, const std::vector<std::string>& command, bool keep_log) {
  int status = 0;
  try {
    status = ChildProcess::Start(command).WaitForeground();
  } catch (const Error& e) {
    ReportError(e);
    Undo(safety);
    return e.number() == errnum::kFileNotFound ? 127 : 126;
  }
  if (status != 0) {
    std::cerr << "brightkeep: the command failed with status " << status << "; restoring its files\n";
    Undo(safety);
    return status;
  }
  try {
    safety.EndSafety(keep_log);
  } catch (const Error& e) {
    ReportError(e);
    std::cerr << "brightkeep: the command succeeded but safe mode could not be ended\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

// Files from which on a terminal a progress line shows.
constexpr size_t kProgressFiles = 200;

// Makes every file safe in one step; reports each file that could not be.
bool MakeAllSafe(clsFileRollbackCreate& safety, FileSystem& fs, const std::vector<std::string>& files) {
  const bool show = files.size() >= kProgressFiles && IsTerminal(StandardStream::kError);
  size_t shown = 0;
  const auto progress = [&](size_t done) {
    // About a hundred updates in all.
    if (done != files.size() && done - shown < files.size() / 100) return;
    shown = done;
    std::cerr << "\rbrightkeep: making files safe (" << done << " of " << files.size() << ")\x1b[K" << std::flush;
  };
  std::vector<std::optional<Error>> results;
  try {
    results = safety.MakeFilesSafe(files, show ? std::function<void(size_t)>(progress) : nullptr);
  } catch (const Error& e) {
    if (show) std::cerr << "\r\x1b[K";
    ReportError(e);
    return false;
  }
  if (show) std::cerr << "\r\x1b[K" << std::flush;
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

}  // namespace

int RunProtect(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(
      args, {{"--temp", true}, {"--backup", true}, {"--keep-log", false}, {"--files-from", true}}, true);
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (!parsed.Value("--temp")) throw UsageError("protect needs --temp DIR");
  if (!parsed.Value("--backup")) throw UsageError("protect needs --backup FILE");
  if (!parsed.rest || parsed.rest->empty()) throw UsageError("protect needs '--' followed by the command to run");

  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::vector<std::string> files = FilesToProtect(parsed, *fs);
  const std::string backup = fs->GetAbsolutePathName(*parsed.Value("--backup"));
  if (!BackupCanBeWritten(*fs, backup)) return kExitFailure;
  const std::string temp = fs->GetAbsolutePathName(*parsed.Value("--temp"));
  if (const std::string kind = VolatileFileSystemName(temp); !kind.empty()) {
    std::cerr << "brightkeep: warning: the temporary folder " << temp << " is on " << kind
              << ", which does not survive a reboot: a period cut short by a crash or a power cut"
                 " would be lost; keep it on persistent storage\n";
  }
  clsFileRollbackCreate safety(fs);
  safety.TempDir(temp);
  safety.BackupFile(backup);
  safety.BeginSafety();
  if (!MakeAllSafe(safety, *fs, files)) {
    std::cerr << "brightkeep: nothing was run; undoing what was made safe\n";
    Undo(safety);
    return kExitFailure;
  }
  std::cout.flush();
  return RunCommand(safety, *parsed.rest, parsed.Has("--keep-log"));
}

}  // namespace bk::cli
