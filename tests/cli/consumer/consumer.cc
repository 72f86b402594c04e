// Protects a file, changes it, undoes the change, and checks that nothing is
// left for recovery: the library's public API as a user program calls it.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <brightkeep/recovery/rollback_manager.h>
#include <brightkeep/safemode/file_rollback_create.h>
#include <brightkeep/version.h>

static_assert(BRIGHTKEEP_VERSION_MAJOR >= 4, "the installed version header");
#ifdef BK_VERSION
#error "a macro of the library's own build reached the program"
#endif

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string folder = argv[1];
  const std::string file = folder + "/settings.txt";
  std::ofstream(file) << "before";

  bk::clsFileRollbackCreate safety;
  safety.TempDir(folder + "/rollback");
  safety.BackupFile(folder + "/backup.zip");
  safety.BeginSafety();
  safety.MakeFileSafe(file);
  std::ofstream(file) << "after";  // the change fails...
  safety.UndoSafetyOperations(true);  // ...so the file comes back

  bk::clsRollbackManager recovery;
  recovery.AssessRollback(folder + "/rollback");
  std::stringstream content;
  content << std::ifstream(file).rdbuf();
  const bool ok = content.str() == "before" && recovery.FailedLogs()->Count() == 0;
  std::cout << (ok ? "restored" : "NOT restored: " + content.str()) << '\n';
  return ok ? 0 : 1;
}
