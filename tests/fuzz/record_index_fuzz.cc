// Reads arbitrary bytes as a period's record, the way a rollback reads it:
// the index, the entries of every tree the planner would put back, then each
// entry's file line and done step. Damage is listed, never thrown: nothing
// may happen but a result (no crash, no hang, no exception, no sanitizer
// report).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "component/fs/file_system.h"
#include "restore/record_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<bk::FileSystem> fs = bk::DefaultFileSystem();
  static const std::string path = bk::fuzz::ScratchFolder("record") + "/Safe fuzz.record";
  bk::fuzz::WriteWholeFile(path, data, size);
  bk::restore::RecordIndex index = bk::restore::RecordIndex::Read(*fs, path, {});
  (void)index.namespaces();
  // As the planner reads them: every tree's entries first, then the files'
  // lines (a file's line is read by moving the one reader).
  std::vector<std::string> paths;
  for (const bk::restore::IndexedTree& tree : index.trees) {
    if (!tree.complete || tree.damaged_line != 0) continue;
    index.StartTree(tree);
    for (bk::TreeEntry entry; index.NextEntry(entry);) paths.push_back(tree.root + "/" + entry.relative);
  }
  for (const std::string& path : paths) {
    (void)index.File(path);
    (void)index.Done(bk::DoneStep::kRestored, path);
  }
  return 0;
}
