#include <string>
#include <vector>

#include "component/error.h"
#include "component/platform.h"
#include "safemode/file_rollback_create.h"

namespace bk {

void CreateFolderPath(FileSystem& fs, std::string_view strPath) {
  if (fs.FolderExists(strPath)) return;
  const PathRules& rules = fs.paths();

  // Walk up, collecting the names of the missing folders.
  std::vector<std::string> missing;
  std::string current(strPath);
  for (;;) {
    const std::string parent = fs.GetParentFolderName(current);
    if (parent.empty() || parent.size() >= current.size()) {
      throw Error::Standard(errnum::kBadFileNameOrNumber, std::string(strPath));
    }
    std::string name;
    for (const char c : std::string_view(current).substr(parent.size())) {
      if (!rules.IsSeparator(c)) name += c;
    }
    missing.push_back(std::move(name));
    current = parent;
    if (fs.FolderExists(current)) break;
  }

  // Walk down, creating them from the top. A folder that another process
  // made meanwhile (another period starting on the same folder) is used as
  // it is: the caller judges the folder it ends up with.
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (it->empty()) continue;
    const std::string parent = current;
    current = fs.BuildPath(parent, *it);
    try {
      fs.CreateFolder(current);
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || !fs.FolderExists(current)) throw;
      continue;
    }
    fs.SyncFolder(parent);
  }
}

}  // namespace bk
