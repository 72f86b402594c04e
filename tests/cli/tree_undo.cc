// tree_undo TEMP DIR -- COMMAND [ARG...]
// Makes the folder tree DIR safe through the library, runs COMMAND, then
// undoes the period whatever COMMAND did: the library's own undo of a whole
// tree, without the command line in between. Exit status 0 when the undo
// succeeded, 1 (with the error) when anything failed, 2 for bad arguments.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "component/platform.h"
#include "component/process.h"
#include "safemode/file_rollback_create.h"

int main(int argc, char** argv) {
  if (argc < 5 || std::string(argv[3]) != "--") {
    std::cerr << "usage: tree_undo TEMP DIR -- COMMAND [ARG...]\n";
    return 2;
  }
  bk::PlatformInit platform;
  const std::string temp = argv[1];
  const std::string tree = argv[2];
  const std::vector<std::string> command(argv + 4, argv + argc);
  try {
    bk::clsFileRollbackCreate safety;
    safety.TempDir(temp);
    // Never written: the period is always undone.
    safety.BackupFile(temp + "/backup.zip");
    safety.TrustFolder(true);
    safety.TrustTrees(true);  // the tree holds a folder of another user's
    safety.BeginSafety();
    safety.MakeTreeSafe(tree);
    const int status = bk::ChildProcess::Start(command).Wait();
    std::cout << "command exit status: " << status << '\n';
    safety.UndoSafetyOperations(true, true);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tree_undo: " << e.what() << '\n';
    return 1;
  }
}
