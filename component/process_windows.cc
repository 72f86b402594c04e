#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cwchar>

#include "component/error.h"
#include "component/process.h"
#include "component/text.h"

namespace bk {

struct ChildProcess::Native {
  HANDLE process = nullptr;
  ~Native() {
    if (process) CloseHandle(process);
  }
};

namespace {

// One job object for the children that go with this process: the system
// closes its handle when the process ends, and that ends every process in it.
HANDLE EndingJob() {
  static const HANDLE job = [] {
    HANDLE h = CreateJobObjectW(nullptr, nullptr);
    if (h != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return h;
  }();
  return job;
}

}  // namespace

namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string w = text::ToUtf16(utf8);
  return std::wstring(w.begin(), w.end());
}

// Quotes one argument so that the child's CommandLineToArgvW or C runtime
// reads it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

std::wstring NameOf(const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); }

// A Unicode environment block: the caller's, without the names `extra`
// sets, followed by `extra`.
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  std::vector<std::wstring> wide_extra;
  for (const auto& x : extra) wide_extra.push_back(Wide(x));
  std::wstring block;
  LPWCH current = GetEnvironmentStringsW();
  for (LPWCH p = current; p && *p; p += std::wcslen(p) + 1) {
    const std::wstring entry = p;
    bool replaced = false;
    for (const auto& x : wide_extra) replaced = replaced || _wcsicmp(NameOf(x).c_str(), NameOf(entry).c_str()) == 0;
    if (!replaced) block += entry + L'\0';
  }
  if (current) FreeEnvironmentStringsW(current);
  for (const auto& x : wide_extra) block += x + L'\0';
  block.push_back(L'\0');
  return block;
}

Error StartError(DWORD code, const std::string& program) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return Error::Standard(errnum::kFileNotFound, program, code);
    case ERROR_ACCESS_DENIED: return Error::Standard(errnum::kPermissionDenied, program, code);
    default: return Error::Standard(errnum::kPathFileAccessError, program, code);
  }
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

ChildProcess ChildProcess::Start(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& extra_environment, const ChildOptions& options) {
  if (argv.empty() || argv[0].empty()) throw Error::Standard(errnum::kFileNotFound);
  std::wstring command_line;
  for (const auto& arg : argv) {
    if (!command_line.empty()) command_line.push_back(L' ');
    command_line += Quote(Wide(arg));
  }
  std::wstring environment;
  if (!extra_environment.empty()) environment = EnvironmentBlock(extra_environment);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.end_with_parent ? CREATE_SUSPENDED : 0);
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags,
                      environment.empty() ? nullptr : environment.data(), nullptr, &startup, &info)) {
    throw StartError(GetLastError(), argv[0]);
  }
  if (options.end_with_parent) {
    // Started suspended, so that it is in the job before it can start others.
    // Where jobs cannot nest (this process already in a job on an older
    // system) the child runs without one.
    const HANDLE job = EndingJob();
    if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
  }
  CloseHandle(info.hThread);
  auto native = std::make_unique<Native>();
  native->process = info.hProcess;
  return ChildProcess(std::move(native));
}

int ChildProcess::Wait() {
  if (WaitForSingleObject(native_->process, INFINITE) != WAIT_OBJECT_0) {
    throw Error::Standard(errnum::kPathFileAccessError, {}, GetLastError());
  }
  DWORD code = 0;
  GetExitCodeProcess(native_->process, &code);
  return static_cast<int>(code);
}

int ChildProcess::WaitForeground() {
  // Ctrl+C reaches every process of the console; the caller ignores it while
  // the child decides for itself.
  SetConsoleCtrlHandler(nullptr, TRUE);
  try {
    const int status = Wait();
    SetConsoleCtrlHandler(nullptr, FALSE);
    return status;
  } catch (...) {
    SetConsoleCtrlHandler(nullptr, FALSE);
    throw;
  }
}

void ChildProcess::Kill() { TerminateProcess(native_->process, 128 + 9); }

bool IsTerminal(StandardStream stream) {
  return _isatty(_fileno(stream == StandardStream::kOutput ? stdout : stderr)) != 0;
}

int TerminalColumns(StandardStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const HANDLE handle = GetStdHandle(stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (!GetConsoleScreenBufferInfo(handle, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

namespace {

volatile LONG g_interrupts = 0;
volatile LONG g_last_interrupt = 0;

BOOL WINAPI CountInterrupt(DWORD event) {
  InterlockedExchange(&g_last_interrupt, event == CTRL_C_EVENT ? 2 : 15);
  InterlockedIncrement(&g_interrupts);
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  InterlockedExchange(&g_interrupts, 0);
  InterlockedExchange(&g_last_interrupt, 0);
  SetConsoleCtrlHandler(CountInterrupt, TRUE);
}

InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(CountInterrupt, FALSE); }

int InterruptWatch::Count() { return static_cast<int>(g_interrupts); }
int InterruptWatch::LastSignal() { return static_cast<int>(g_last_interrupt); }

std::string CurrentExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw Error::Standard(errnum::kPathFileAccessError, {}, GetLastError());
    if (n < buffer.size()) {
      buffer.resize(n);
      return text::ToUtf8(std::u16string(buffer.begin(), buffer.end()));
    }
    buffer.resize(buffer.size() * 2);
  }
}

// A child inherits no handle of this process's files here, and the job
// object ends COMMAND's descendants with this process: only the process that
// opened a file holds it, so there is no one else to name or to end.
std::vector<ProcessInfo> ProcessesHoldingFile(uint64_t, uint64_t) { return {}; }

void EndProcessesHoldingFile(uint64_t, uint64_t, std::chrono::milliseconds) {}

}  // namespace bk
