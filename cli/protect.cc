// brightkeep protect [options] [--tree TREE]... [--files-from LIST] [FILE...] -- COMMAND [ARG...]
#include "cli/protect.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "cli/backup_names.h"
#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "component/platform.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep protect [--temp DIR] [--backup FILE] [--keep N] [--replace] [--label TEXT]
                          [--keep-log] [--trust-folder] [-q]
                          [--wait SECONDS] [--kill] [--trust-tree] [--dry-run] [--json] [--files]
                          [--progress] [--config FILE]
                          [--tree TREE]... [--files-from LIST [--null]] [FILE...] -- COMMAND [ARG...]

Enters safe mode with DIR as the temporary folder, makes every FILE and
every file under each TREE safe, then runs COMMAND. When COMMAND exits with
status 0, safe mode ends: the period's archives and log are packed into the
backup archive FILE. When it fails or a signal ends it, every file made safe
is restored, each TREE is put back as it was (what COMMAND added to it is
removed, its folders and links come back with their owners, modes and
times; links are never followed and no other file system is entered), and
the period's archives and log are deleted; what could not be put back is
told entry by entry, the rest in counts (every entry with --files). If this
program itself is killed before that, the period stays unfinished in DIR
for 'brightkeep rollback DIR'. While COMMAND, or anything it started that
keeps the period's lock open, still runs, the period is in progress and no
rollback touches it; a killed 'brightkeep protect' ends COMMAND with
SIGTERM. When COMMAND succeeded, what it left running (a service it
started) is neither waited for nor ended. When it failed, its files are put
back only once what it left running has ended: protect waits --wait
seconds for those processes (and names them), ends them with --kill, or
else leaves the period unfinished for a later 'brightkeep rollback DIR'.
DIR must not be writable by other users (see 'brightkeep assess --help'),
unless --trust-folder. --temp, --backup and --keep default to those of the
configuration file:
  )" BK_CONFIG_PLACE R"(.
The period's start and how it ended go to the system log.

A file that cannot be made safe, or a backup FILE whose folder is missing or
refuses a new file, stops everything before COMMAND runs: every such file is
reported and what was made safe is undone. Ctrl+C or SIGTERM while files
are made safe stops too, and removes the period. While COMMAND runs, Ctrl+C
goes to it alone. While files are put back, Ctrl+C or SIGTERM lets the
restore finish (and says so); a second one stops it between two files,
keeping the period for 'brightkeep rollback DIR', which finishes it. On a
terminal a progress line shows on standard error while files are made safe
and put back (files and bytes done, rate, time left).

Exit status:
  COMMAND's own  it ran and everything went as it should: it succeeded and
                 its backup was written, or it failed (128 + N when signal N
                 ended it) and every file was put back
  125            protect failed before COMMAND ran, changing nothing; also a
                 mistake in the command line
  126, 127       COMMAND could not be run, or was not found (as env(1))
  130, 143       Ctrl+C or SIGTERM while files were made safe: nothing ran
  200            COMMAND failed and not every file could be put back (or a
                 second interrupt stopped the restore, or what it left
                 running kept the files from it): the period stays for
                 'brightkeep rollback DIR'
  201            COMMAND succeeded but its backup could not be written
                 where asked: the period has ended and the backup is kept
                 in DIR under the name shown (move it where it belongs);
                 or, rarely, the period could not be ended at all: no
                 backup, and the period stays unfinished in DIR (a rollback
                 of it would undo what COMMAND did)
Standard error tells which, and so does --json.

Options:
  --temp DIR         folder for the period's rollback log and archives
  --backup FILE      where the backup archive goes when COMMAND succeeds; "%t"
                     in its name stands for the time protect started, as
                     YYYYMMDD-HHMMSS, "%%" for "%"; a name that is taken
                     gets "-2", "-3", ... The name is held (an empty file)
                     from the start; a FILE without "%t" that exists is
                     refused before anything runs, unless --replace
  --replace          let the backup replace an existing FILE
  --label TEXT       a label kept with the period: shown by assess, inspect,
                     list and diff
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
  --dry-run          only tell what would be made safe (each FILE, each TREE
                     with its files and bytes) and whether the temporary
                     folder has room for it; nothing is written or run
  --json             after COMMAND, write a JSON document of the run on
                     standard output (see the README,
                     )" BK_README_PLACE R"()
  --files            tell every entry put back, not only counts
  --progress         show the progress line on standard error even when it
                     is not a terminal
  -q, --quiet        no progress line and no counts; errors are still shown
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
  }
  for (std::string& name : names) name = fs.GetAbsolutePathName(name);
  return names;
}

ParsedArgs Parse(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(
      args, {{"--temp", true}, {"--backup", true}, {"--keep-log", false}, {"--trust-folder", false}, {"--files-from", true},
             {"--null", false}, {"--quiet", false}, {"--keep", true}, {"--tree", true, true}, {"--wait", true},
             {"--kill", false}, {"--trust-tree", false}, {"--dry-run", false}, {"--json", false}, {"--files", false},
             {"--progress", false}, {"--replace", false}, {"--label", true}},
      true);
  if (parsed.help) return parsed;
  TakeDefaults(parsed, {"--temp", "--backup", "--keep"});
  if (!parsed.Value("--temp")) throw UsageError("protect needs --temp DIR");
  if (!parsed.Value("--backup")) throw UsageError("protect needs --backup FILE");
  if (!parsed.rest || parsed.rest->empty()) throw UsageError("protect needs '--' followed by the command to run");
  if (parsed.positionals.empty() && !parsed.Value("--files-from") && !parsed.repeated.count("--tree")) {
    throw UsageError("protect needs files to protect: FILE, --tree TREE or --files-from LIST");
  }
  if (parsed.Has("--null") && !parsed.Value("--files-from")) throw UsageError("--null goes with --files-from");
  if (const auto keep = parsed.Value("--keep")) {
    if (keep->empty() || keep->size() > 9 || keep->find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(*keep) == 0) {
      throw UsageError("--keep needs a number of backups, 1 or more");
    }
  }
  if (const auto wait = parsed.Value("--wait")) {
    if (wait->empty() || wait->size() > 9 || wait->find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError("--wait needs a number of seconds");
    }
  }
  return parsed;
}

}  // namespace

ProtectRun::ProtectRun(const ParsedArgs& args, std::shared_ptr<FileSystem> file_system)
    : parsed(args),
      fs(std::move(file_system)),
      quiet(args.Has("--quiet")),
      json(args.Has("--json")),
      every_file(args.Has("--files")),
      progress(args.Has("--quiet"), args.Has("--progress")) {
  restore.keep = json;
}

int ProtectRun::Fail(const Error& e, int status, Situation situation) {
  ReportError(e, situation);
  if (!error) error = e;
  return status;
}

void BeginProtectJson(JsonWriter& json, const ProtectRun& run, bool dry_run, const std::string* backup) {
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("dry_run", dry_run);
  json.Field("temp", run.temp);
  json.Key("backup");
  backup ? json.String(*backup) : json.Null();
  json.Field("command", *run.parsed.rest);
  WriteFailures(json, "refused", run.refused);
}

void WriteProtectJson(const ProtectRun& run, int status) {
  JsonWriter json(std::cout);
  const bool written = run.outcome == "completed" || run.outcome == "backup_kept";
  BeginProtectJson(json, run, false, written ? &run.backup : nullptr);
  json.Key("period");
  run.period.empty() ? json.Null() : json.String(run.period);
  json.Key("trees");
  json.BeginArray();
  for (const std::string& tree : run.trees) json.String(run.fs->GetAbsolutePathName(tree));
  json.EndArray();
  json.Field("files", run.files);
  json.Field("outcome", run.outcome);
  json.Key("command_status");
  run.command_status ? json.Integer(*run.command_status) : json.Null();
  json.Field("status", int64_t{status});
  json.Key("restore");
  if (run.restore_ran) {
    json.BeginObject();
    run.restore.WriteJson(json);
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("error");
  run.error ? WriteError(json, *run.error) : json.Null();
  json.EndObject();
}

int RunProtect(const std::vector<std::string>& args) {
  const ParsedArgs parsed = Parse(args);
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  ProtectRun run(parsed, DefaultFileSystem());
  FileSystem& fs = *run.fs;
  run.temp = fs.GetAbsolutePathName(*parsed.Value("--temp"));
  run.backup_pattern = fs.GetAbsolutePathName(*parsed.Value("--backup"));
  if (parsed.Value("--keep") && !IsStampedPattern(fs, run.backup_pattern)) {
    throw UsageError("--keep needs \"%t\" in the name of --backup");
  }
  run.started = LocalNow();
  run.backup = StampBackupName(run.backup_pattern, run.started);
  if (const auto it = parsed.repeated.find("--tree"); it != parsed.repeated.end()) run.trees = it->second;
  int status = kExitNotRun;
  try {
    run.listed = FilesToProtect(parsed, fs);
    if (run.listed.empty() && run.trees.empty()) {
      throw Error(errnum::kFileNotFound, kLibrarySource, "Nothing to protect: the list names no file",
                  *parsed.Value("--files-from"));
    }
    if (parsed.Has("--dry-run")) return ProtectDryRun(run);
    status = ProtectFiles(run);
  } catch (const Error& e) {
    status = run.Fail(e, kExitNotRun);
  }
  if (run.outcome != "completed") ReleaseBackupName(fs, run.held);
  if (run.json) WriteProtectJson(run, status);
  return status;
}

}  // namespace bk::cli
