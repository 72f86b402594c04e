// Finding the processes that hold a file open, and ending them, through
// /proc (Linux).
#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "component/error.h"
#include "component/process.h"

namespace bk {
namespace {

constexpr std::chrono::milliseconds kPoll{50};

bool IsNumber(const char* name) {
  if (*name == '\0') return false;
  for (const char* c = name; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

// The pids of /proc, this process's left out.
std::vector<pid_t> AllPids() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(proc)) {
    if (!IsNumber(entry->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(entry->d_name));
    if (pid != self) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

// True when one of the process's descriptors leads to the file. stat()
// follows the /proc link to the open file itself, whatever its name now.
bool Holds(pid_t pid, uint64_t device, uint64_t file_id) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return false;  // gone, or not ours to look at
  bool holds = false;
  while (const dirent* entry = readdir(fds)) {
    if (!IsNumber(entry->d_name)) continue;
    struct stat st;
    const std::string link = folder + "/" + entry->d_name;
    if (stat(link.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == file_id) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

std::string ReadProcFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string UserOf(pid_t pid) {
  const std::string status = ReadProcFile(pid, "status");
  const size_t at = status.find("\nUid:");
  if (at == std::string::npos) return "?";
  const uid_t uid = static_cast<uid_t>(std::stoul(status.substr(at + 5)));
  struct passwd entry {}, *found = nullptr;
  std::string buffer(16384, '\0');
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->pw_name;
  return std::to_string(uid);
}

std::string CommandOf(pid_t pid) {
  std::string command = ReadProcFile(pid, "cmdline");
  while (!command.empty() && command.back() == '\0') command.pop_back();
  for (char& c : command) {
    if (c == '\0' || c == '\n') c = ' ';
  }
  if (command.empty()) {
    command = ReadProcFile(pid, "comm");
    while (!command.empty() && command.back() == '\n') command.pop_back();
    command = "[" + command + "]";
  }
  return command;
}

std::vector<pid_t> HolderPids(uint64_t device, uint64_t file_id) {
  std::vector<pid_t> out;
  for (const pid_t pid : AllPids()) {
    if (Holds(pid, device, file_id)) out.push_back(pid);
  }
  return out;
}

// A handle of each holder, taken first and then checked to hold the file.
std::map<pid_t, int> OpenHolders(uint64_t device, uint64_t file_id) {
  std::map<pid_t, int> handles;
  for (const pid_t pid : HolderPids(device, file_id)) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) continue;  // gone meanwhile
    if (Holds(pid, device, file_id)) {
      handles[pid] = fd;
    } else {
      close(fd);
    }
  }
  return handles;
}

void SignalAll(const std::map<pid_t, int>& handles, int signal_number) {
  for (const auto& [pid, fd] : handles) syscall(SYS_pidfd_send_signal, fd, signal_number, nullptr, 0);
}

void CloseAll(std::map<pid_t, int>& handles) {
  for (const auto& [pid, fd] : handles) close(fd);
  handles.clear();
}

// Waits until no process holds the file, at most `limit`; true when none does.
bool WaitUntilReleased(uint64_t device, uint64_t file_id, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!HolderPids(device, file_id).empty()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

}  // namespace

std::vector<ProcessInfo> ProcessesHoldingFile(uint64_t device, uint64_t file_id) {
  std::vector<ProcessInfo> out;
  for (const pid_t pid : HolderPids(device, file_id)) out.push_back(ProcessInfo{pid, UserOf(pid), CommandOf(pid)});
  return out;
}

void EndProcessesHoldingFile(uint64_t device, uint64_t file_id, std::chrono::milliseconds grace) {
  std::map<pid_t, int> handles = OpenHolders(device, file_id);
  SignalAll(handles, SIGTERM);
  CloseAll(handles);
  if (WaitUntilReleased(device, file_id, grace)) return;
  // What held on, and whatever it started meanwhile that inherited the file.
  handles = OpenHolders(device, file_id);
  SignalAll(handles, SIGKILL);
  CloseAll(handles);
  WaitUntilReleased(device, file_id, grace);
}

}  // namespace bk
