#include "cli/messages.h"

#include <iostream>
#include <string_view>

#include "component/fs/file_system.h"
#include "component/text.h"

namespace bk::cli {

namespace {

bool StartsWith(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool IsFolder(const Error& e, Situation situation) {
  return situation == Situation::kMakingSafe && !e.path().empty() && DefaultFileSystem()->FolderExists(e.path());
}

// The component's fixed descriptions say little on their own; the others
// are kept.
std::string Words(const Error& e, Situation situation) {
  const bool fixed = e.description() == StandardDescription(e.number()) ||
                     (e.number() == bkCreateErrorFileNotFound && e.description() == "File Not Found") ||
                     (e.number() == bkCreateErrorUnableToOpenFile && e.description() == "Unable to open file");
  if (!fixed) return e.description();
  switch (e.number()) {
    case bkCreateErrorFileNotFound:
      return IsFolder(e, situation) ? "a folder, not a file: it cannot be made safe as one" : "no such file to make safe";
    case bkCreateErrorUnableToOpenFile:
      return "the file cannot be read, or another program holds it open for writing";
    case errnum::kFileNotFound: return "no such file";
    case errnum::kPathNotFound: return situation == Situation::kFolder ? "no such folder" : "no such file or folder";
    case errnum::kDiskFull: return "the disk is full";
    case errnum::kUserInterrupt: return "interrupted";
    default: break;
  }
  if (e.number() == errnum::kPermissionDenied) return "permission denied";
  if (e.number() == errnum::kPathFileAccessError) return "the file or folder cannot be reached";
  return e.description();
}

std::string Advice(const Error& e, Situation situation) {
  const std::string& d = e.description();
  const std::string& path = e.path();
  switch (e.number()) {
    case bkCreateErrorFileNotFound:
      if (IsFolder(e, situation)) return "to protect a whole folder, give it with --tree " + path;
      return "check the name; a file the command will create needs no copy (give its folder with --tree, and "
             "a rollback removes the file again)";
    case bkCreateErrorUnableToOpenFile:
      return "close the program that writes it, or check that you may read it";
    case errnum::kPathNotFound:
      return situation == Situation::kFolder ? "check the folder, or the \"temp\" setting of the configuration file"
                                             : "check the path";
    case errnum::kDiskFull: return "free some space there and run the command again";
    default: break;
  }
  if (StartsWith(d, "Not trusted: a folder inside the tree")) {
    return "if no other user can move files into it, or you want what they put there removed, --trust-tree "
           "takes it as trusted";
  }
  if (StartsWith(d, "Not trusted")) {
    return "if the folder and its files are yours alone, --trust-folder takes them as trusted";
  }
  if (StartsWith(d, "Permission denied: the period is still in progress")) {
    return "wait for its program to end ('brightkeep assess' names what holds it)";
  }
  if (e.number() == errnum::kPermissionDenied && d == StandardDescription(errnum::kPermissionDenied)) {
    return "run the command as a user who may, or as root";
  }
  if (e.kind() == ErrorKind::kIncomplete && e.number() == errnum::kArchiveError) {
    return "fix what stopped each file and run 'brightkeep rollback' on the folder again: it goes on where it "
           "stopped";
  }
  return {};
}

}  // namespace

Explained Explain(const Error& error, Situation situation) {
  return Explained{Words(error, situation), Advice(error, situation)};
}

void ReportError(const std::exception& error, Situation situation, const std::string& doing) {
  std::cout.flush();
  const std::string prefix = "brightkeep: " + (doing.empty() ? std::string() : doing + ": ");
  const auto* e = dynamic_cast<const Error*>(&error);
  if (e == nullptr) {
    std::cerr << prefix << error.what() << std::endl;
    return;
  }
  const Explained told = Explain(*e, situation);
  std::cerr << prefix << text::OnOneLine(told.words) << " (" << e->number() << ")";
  if (!e->path().empty()) std::cerr << ": " << text::OnOneLine(e->path());
  if (e->native_code() != 0) std::cerr << " [system error " << e->native_code() << "]";
  std::cerr << '\n';
  if (!told.advice.empty()) std::cerr << "brightkeep: " << told.advice << '\n';
  std::cerr.flush();
}

}  // namespace bk::cli
