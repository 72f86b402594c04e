// Cost of recording one file in a rollback log that already lists 100, 1,000
// or 10,000 files: every AddFile rewrites the whole log durably. Counters:
// bytes written to disk per call and bytes of log per second. The NoSync
// variant skips the flushes to stable storage and so shows the cost of
// building and writing the text alone.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "component/fs/file_system.h"
#include "component/text.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

// Forwards to the real file, counting the bytes written and optionally
// skipping flushes.
class MeteredFile final : public ForwardingFile {
 public:
  MeteredFile(std::unique_ptr<File> inner, uint64_t& written, bool sync)
      : ForwardingFile(std::move(inner)), written_(written), sync_(sync) {}
  void WriteAt(uint64_t offset, const void* data, size_t n) override {
    written_ += n;
    ForwardingFile::WriteAt(offset, data, n);
  }
  void Sync() override {
    if (sync_) ForwardingFile::Sync();
  }

 private:
  uint64_t& written_;
  bool sync_;
};

class MeteredFileSystem final : public ForwardingFileSystem {
 public:
  explicit MeteredFileSystem(bool sync) : ForwardingFileSystem(DefaultFileSystem()), sync_(sync) {}
  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override {
    return std::make_unique<MeteredFile>(ForwardingFileSystem::Open(path, mode), written, sync_);
  }
  void SyncFolder(std::string_view folder) override {
    if (sync_) ForwardingFileSystem::SyncFolder(folder);
  }
  uint64_t written = 0;

 private:
  bool sync_;
};

std::string TempFolder() {
  std::random_device rd;
  const auto folder = std::filesystem::temp_directory_path() / ("bk-log-bench-" + std::to_string(rd()));
  std::filesystem::create_directories(folder);
  return folder.string();
}

std::string FilePath(int64_t i) {
  return "C:\\Users\\Operator\\Documents\\Projects\\Quarterly Report\\Section " + std::to_string(i % 37) +
         "\\Figure " + std::to_string(i) + ".dat";
}

// A log of one archive holding `held` files, written directly rather than
// through `held` saves.
void WriteBaseLog(const std::string& path, int64_t held) {
  std::string files;
  for (int64_t i = 0; i < held; ++i) {
    files += "<SafeFile FileId=\"" + std::to_string(i + 1) + "\" Path=\"" + FilePath(i) + "\"/>";
  }
  std::string xml = "<VELMARFileRollbackLog Version=\"1.0\"><StartDate Value=\"" +
                    OleDateToText(OleDateFromLocalNow()) + "\"/><TempPath/><BackupDestination/><ZipFiles>" +
                    "<ZipFile ZipId=\"1\" Name=\"C:\\Temp\\Safe-1.zip\" Drive=\"C:\">" + files +
                    "</ZipFile></ZipFiles></VELMARFileRollbackLog>";
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text::ToUtf16(xml)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  DefaultFileSystem()->ReplaceFileDurably(path, bytes);
}

void AddFile(benchmark::State& state, bool sync) {
  const int64_t held = state.range(0);
  const std::string folder = TempFolder();
  const std::string base = folder + "/base.xml";
  const std::string path = folder + "/log.xml";
  WriteBaseLog(base, held);
  auto fs = std::make_shared<MeteredFileSystem>(sync);
  auto log = clsFileRollbackLog::Create(fs);
  // The log is put back to `held` files whenever it has grown by 1%.
  const int64_t regrow = std::max<int64_t>(10, held / 100);
  int64_t added = regrow;
  uint64_t bytes = 0;
  for (auto _ : state) {
    if (added == regrow) {
      state.PauseTiming();
      std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
      log->LoadFromFile(path);
      added = 0;
      fs->written = 0;
      state.ResumeTiming();
    }
    log->Zip(1)->AddFile(FilePath(held + added));
    ++added;
    bytes += fs->written;
    fs->written = 0;
  }
  state.counters["bytes_per_call"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  std::filesystem::remove_all(folder);
}

void BM_AddFile(benchmark::State& state) { AddFile(state, true); }
void BM_AddFileNoSync(benchmark::State& state) { AddFile(state, false); }

BENCHMARK(BM_AddFile)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddFileNoSync)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bk

BENCHMARK_MAIN();
