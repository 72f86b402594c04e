// Throughput of the archive component on a list of files, used as it is in
// safe mode: one Zip call per file (each durable), then one Unzip of the
// whole archive. bench/zip_compare.sh runs it beside Info-ZIP on one corpus.
//
//   zip_bench [--no-sync] LIST WORKDIR
//
// LIST holds one full path per line. Prints one line of key=value figures.
// --no-sync turns File::Sync and SyncFolder into no-ops, which measures the
// work of the component without the cost of its durability (the tools it is
// compared with never sync).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "component/error.h"
#include "component/zip/archive.h"

namespace {

// Files whose Sync does nothing.
class UnsyncedFile : public bk::ForwardingFile {
 public:
  using ForwardingFile::ForwardingFile;
  void Sync() override {}
};

class UnsyncedFileSystem : public bk::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  void SyncFolder(std::string_view) override {}
  std::unique_ptr<bk::File> Open(std::string_view path, bk::OpenMode mode) override {
    return std::make_unique<UnsyncedFile>(target().Open(path, mode));
  }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool sync = !(argc == 4 && std::string(argv[1]) == "--no-sync");
  if (argc != (sync ? 3 : 4)) {
    std::fprintf(stderr, "usage: zip_bench [--no-sync] LIST WORKDIR\n");
    return 2;
  }
  argv += sync ? 0 : 1;
  std::vector<std::string> files;
  std::ifstream list(argv[1]);
  for (std::string line; std::getline(list, line);) {
    if (!line.empty()) files.push_back(line);
  }
  std::shared_ptr<bk::FileSystem> fs = bk::DefaultFileSystem();
  if (!sync) fs = std::make_shared<UnsyncedFileSystem>(fs);
  const std::string work = argv[2];
  bk::ArchiveComponent archive(fs);
  archive.ArchiveFileName = fs->BuildPath(work, "bench.zip");
  try {
    // Sizes are taken before timing, so that zip_seconds holds no extra I/O; a
    // file that cannot be examined is left to Zip to skip.
    std::vector<uint64_t> sizes;
    for (const std::string& file : files) {
      try {
        sizes.push_back(fs->Stat(file).size);
      } catch (const bk::Error&) {
        sizes.push_back(0);
      }
    }
    uint64_t input = 0;
    int skipped = 0;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < files.size(); ++i) {
      archive.FilesToProcess = files[i];
      if (archive.Zip() != 0) {
        ++skipped;
      } else {
        input += sizes[i];
      }
    }
    const double zip_seconds = Seconds(start);
    const uint64_t archive_bytes = fs->Stat(archive.ArchiveFileName).size;

    archive.FilesToProcess = "";
    archive.DestinationFolder = fs->BuildPath(work, "out");
    start = std::chrono::steady_clock::now();
    archive.Unzip();
    const double unzip_seconds = Seconds(start);
    std::printf("files=%zu skipped=%d input_bytes=%llu archive_bytes=%llu zip_seconds=%.3f unzip_seconds=%.3f "
                "zip_mbps=%.1f unzip_mbps=%.1f\n",
                files.size(), skipped, static_cast<unsigned long long>(input),
                static_cast<unsigned long long>(archive_bytes), zip_seconds, unzip_seconds, input / 1e6 / zip_seconds,
                input / 1e6 / unzip_seconds);
  } catch (const bk::Error& e) {
    std::fprintf(stderr, "zip_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
