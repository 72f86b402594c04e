// The recording part of protecting a folder tree on its own: the walk that
// lists every entry under the tree (with the extended attributes this process
// records) and the listing written into a period record, flushed durably, as
// `protect --tree` does before any file is made safe. Driven by
// bench/tree_compare.sh against `find -printf`.
//
//   tree_record SCRATCH_FOLDER TREE [walk]
//
// Writes the record SCRATCH_FOLDER/tree.record (replacing one left there);
// with "walk", only walks the tree and records nothing, to tell the two costs
// apart. Prints on standard output: entries, seconds of the walk and record.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "log/period_record.h"
#include "log/tree.h"

int main(int argc, char** argv) {
  if (argc < 3 || (argc > 3 && std::strcmp(argv[3], "walk") != 0)) {
    std::fprintf(stderr, "usage: tree_record SCRATCH_FOLDER TREE [walk]\n");
    return 2;
  }
  const bool walk_only = argc > 3;
  const std::string record = (std::filesystem::path(argv[1]) / "tree.record").string();
  std::filesystem::remove(record);
  try {
    const auto fs = bk::DefaultFileSystem();
    const std::string root = fs->ResolveLinks(fs->GetAbsolutePathName(argv[2]));
    const auto t0 = std::chrono::steady_clock::now();
    size_t entries = 0;
    if (walk_only) {
      bk::WalkTree(*fs, root, bk::RecordedNamespaces(), [&](const bk::TreeEntry&, const bk::FileStat&) { ++entries; });
    } else {
      bk::PeriodRecordWriter writer(fs, record);
      bk::WalkTree(*fs, root, writer.namespaces(), [&](const bk::TreeEntry& e, const bk::FileStat& st) {
        if (e.relative.empty()) writer.BeginTree(root, bk::Identity::Of(st));
        writer.AddTreeEntry(e);
        ++entries;
      });
      writer.EndTree();
      writer.Close();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%zu %.3f\n", entries, seconds);
  } catch (const bk::Error& e) {
    std::fprintf(stderr, "tree_record: %s\n", e.what());
    return 1;
  }
  return 0;
}
