#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstring>

#include "component/error.h"
#include "component/process.h"

extern char** environ;

namespace bk {

struct ChildProcess::Native {
  pid_t pid = -1;
};

namespace {

volatile sig_atomic_t g_forward_to = 0;

void ForwardSignal(int signal_number) {
  if (g_forward_to > 0) kill(static_cast<pid_t>(g_forward_to), signal_number);
}

Error SpawnError(int code, const std::string& program) {
  switch (code) {
    case ENOENT:
    case ENOTDIR: return Error::Standard(errnum::kFileNotFound, program, code);
    case EACCES:
    case EPERM: return Error::Standard(errnum::kPermissionDenied, program, code);
    default: return Error::Standard(errnum::kPathFileAccessError, program, code);
  }
}

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The caller's environment without the names `extra` sets, followed by `extra`.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || NameOf(x) == NameOf(entry);
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int StatusOf(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

namespace {

// The child's side of Start, between fork and exec: only calls that are safe
// there. Reports errno through `report` when exec fails.
[[noreturn]] void BecomeChild(char* const* argv, char* const* envp, const ChildOptions& options, pid_t parent,
                              int report) {
#ifdef __linux__
  if (options.end_with_parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(128 + SIGTERM);  // the parent is already gone
  }
#else
  (void)parent;
#endif
  for (const intptr_t fd : options.inherit) {
    const int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0) fcntl(static_cast<int>(fd), F_SETFD, flags & ~FD_CLOEXEC);
  }
  for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  execvpe(argv[0], argv, envp);
  const int err = errno;
  (void)!write(report, &err, sizeof err);
  _exit(127);
}

}  // namespace

ChildProcess ChildProcess::Start(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& extra_environment, const ChildOptions& options) {
  if (argv.empty() || argv[0].empty()) throw Error::Standard(errnum::kFileNotFound);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(extra_environment);
  std::vector<char*> arg_ptrs = Pointers(args);
  std::vector<char*> env_ptrs = Pointers(env);

  // A pipe that closes on exec tells the parent whether exec succeeded.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) throw Error::Standard(errnum::kPathFileAccessError, argv[0], errno);
  const pid_t parent = getpid();
  auto native = std::make_unique<Native>();
  native->pid = fork();
  if (native->pid == 0) BecomeChild(arg_ptrs.data(), env_ptrs.data(), options, parent, report[1]);
  const int fork_error = errno;
  close(report[1]);
  if (native->pid < 0) {
    close(report[0]);
    throw SpawnError(fork_error, argv[0]);
  }
  int exec_error = 0;
  ssize_t got;
  while ((got = read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    int status = 0;
    while (waitpid(native->pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw SpawnError(exec_error, argv[0]);
  }
  return ChildProcess(std::move(native));
}

int ChildProcess::Wait() {
  int status = 0;
  while (waitpid(native_->pid, &status, 0) < 0) {
    if (errno != EINTR) throw Error::Standard(errnum::kPathFileAccessError, {}, errno);
  }
  return StatusOf(status);
}

int ChildProcess::WaitForeground() {
  struct sigaction ignore {}, forward {}, old_int {}, old_quit {}, old_term {}, old_hup {};
  ignore.sa_handler = SIG_IGN;
  forward.sa_handler = ForwardSignal;
  sigemptyset(&forward.sa_mask);
  g_forward_to = native_->pid;
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  sigaction(SIGTERM, &forward, &old_term);
  sigaction(SIGHUP, &forward, &old_hup);
  const auto restore = [&] {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    g_forward_to = 0;
  };
  try {
    const int status = Wait();
    restore();
    return status;
  } catch (...) {
    restore();
    throw;
  }
}

void ChildProcess::Kill() { kill(native_->pid, SIGKILL); }

bool IsTerminal(StandardStream stream) { return isatty(static_cast<int>(stream)) == 1; }

int TerminalColumns(StandardStream stream) {
  winsize size{};
  if (ioctl(static_cast<int>(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

namespace {

volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_last_interrupt = 0;
struct sigaction g_old_int {}, g_old_term {};

void CountInterrupt(int signal_number) {
  g_last_interrupt = signal_number;
  g_interrupts = g_interrupts + 1;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  g_interrupts = 0;
  g_last_interrupt = 0;
  struct sigaction count {};
  count.sa_handler = CountInterrupt;
  // A write or a wait that the signal breaks goes on where it was.
  count.sa_flags = SA_RESTART;
  sigemptyset(&count.sa_mask);
  sigaction(SIGINT, &count, &g_old_int);
  sigaction(SIGTERM, &count, &g_old_term);
}

InterruptWatch::~InterruptWatch() {
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
}

int InterruptWatch::Count() { return g_interrupts; }
int InterruptWatch::LastSignal() { return g_last_interrupt; }

std::string CurrentExecutablePath() {
  std::string buffer(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0) throw Error::Standard(errnum::kPathFileAccessError, "/proc/self/exe", errno);
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace bk
