// Child processes and the program's own console, for the command line and
// the crash tests: starting a program, waiting for it, ending it abruptly,
// and telling whether a standard stream is a terminal. Paths and arguments
// are UTF-8.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bk {

// How a child is started beyond its arguments and environment.
struct ChildOptions {
  // Open files (File::NativeHandle) the child inherits (POSIX; on Windows
  // the child holds nothing of its parent's).
  std::vector<intptr_t> inherit;
  // The child goes when this process does: on Linux it gets SIGTERM when
  // its parent dies; on Windows it runs in a job object that ends every
  // process in it when this process ends.
  bool end_with_parent = false;
};

class ChildProcess {
 public:
  // Starts argv[0] (looked up on the search path when it names no folder)
  // with the remaining arguments. The child inherits the standard streams and
  // the environment, plus `extra_environment` entries "NAME=value".
  // Fails with bk::Error: 53 when the program does not exist, 70 when it may
  // not be run, 75 for any other failure to start it.
  static ChildProcess Start(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extra_environment = {},
                            const ChildOptions& options = {});

  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;
  // Neither waits for nor ends a child still running.
  ~ChildProcess();

  // Waits for the child to end. Returns its exit status, or 128 plus the
  // signal number when a signal ended it (as shells report it).
  int Wait();
  // Like Wait, but while waiting the caller survives what would end the
  // child: an interrupt from the terminal (which reaches the child by
  // itself) is ignored, and a request to terminate is passed to the child.
  int WaitForeground();
  // Ends the child at once, giving it no chance to clean up (SIGKILL or
  // TerminateProcess). Does not wait.
  void Kill();

  struct Native;

 private:
  explicit ChildProcess(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// A running process as the user knows it.
struct ProcessInfo {
  int64_t pid = 0;
  std::string user;     // the name of its real user (the number when it has none)
  std::string command;  // its command line, arguments separated by spaces
};

// The processes other than this one that hold the file `device`/`file_id`
// (FileStat) open, by pid. Linux: each /proc/PID/fd entry that leads to that
// file (as root every process is seen, otherwise only the caller's own).
// Windows: none, since no child there inherits a handle of this process's
// files: only the process that opened a file holds it.
std::vector<ProcessInfo> ProcessesHoldingFile(uint64_t device, uint64_t file_id);

// Ends the processes that hold that file open: SIGTERM to each, then SIGKILL
// to those that still hold it after `grace`. Each is signalled through a
// handle of the process (Linux pidfd) taken before it is checked to hold the
// file, so a pid that was reused meanwhile is never signalled. Returns once
// none holds it, or at most `grace` after the SIGKILL. Windows: nothing to end
// (see above).
void EndProcessesHoldingFile(uint64_t device, uint64_t file_id, std::chrono::milliseconds grace);

enum class StandardStream { kOutput = 1, kError = 2 };

// True when the stream is an interactive terminal (not a file or a pipe).
bool IsTerminal(StandardStream stream);
// The width of the terminal the stream is, in columns; 0 when it is no
// terminal or does not say.
int TerminalColumns(StandardStream stream);

// While one lives, an interrupt from the terminal (Ctrl+C: SIGINT) or a
// request to terminate (SIGTERM; on Windows Ctrl+Break and closing the
// console) no longer ends the program: each is counted, for the program to
// stop where nothing is lost. ChildProcess::WaitForeground inside it ignores
// and passes them on as it always does, and the counting resumes after.
// One at a time; the count starts at 0 with each.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;
  // How many arrived so far; safe from any thread.
  static int Count();
  // The number of the signal that arrived last (SIGINT is 2, SIGTERM 15; on
  // Windows 2 for Ctrl+C, 15 for the rest); 0 when none.
  static int LastSignal();
};

// The full path of the running program.
std::string CurrentExecutablePath();

}  // namespace bk
