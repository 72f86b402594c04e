// A whole period of safe mode on a realistic set of files: 1,000 small files
// and 10 large ones made safe, then either EndSafety or UndoSafetyOperations.
// Reports MB/s and files/s, and splits MakeFileSafe's time into zipping, log
// saving and flushing (File::Sync and folder syncs). `zip -r` and `cp -a` of
// the same files run in the same process for comparison.
//
//   period_bench [--benchmark_...]   (BK_BENCH_DIR picks the scratch folder)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "component/fs/file_system.h"
#include "safemode/file_rollback_create.h"

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 1000;
constexpr int kLargeFiles = 10;
constexpr size_t kLargeSize = 20u << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Half text, half noise: compresses about as well as a mixed working set.
std::string Content(size_t size, uint32_t seed) {
  static const std::string words = "rollback archive period drive marker log entry restore folder ";
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = ((i / 4096) % 2 == 0) ? words[(i + seed) % words.size()] : static_cast<char>(x);
  }
  return out;
}

struct Corpus {
  stdfs::path root;
  stdfs::path data;
  std::vector<std::string> files;
  uint64_t bytes = 0;

  Corpus() {
    const char* base = std::getenv("BK_BENCH_DIR");
    root = stdfs::path(base ? base : stdfs::temp_directory_path().string()) /
           ("bk-period-bench-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    data = root / "data";
    for (int i = 0; i < kSmallFiles + kLargeFiles; ++i) {
      const bool large = i >= kSmallFiles;
      const stdfs::path folder = data / (large ? "large" : "small" + std::to_string(i % 25));
      stdfs::create_directories(folder);
      const stdfs::path file = folder / ("file" + std::to_string(i) + (large ? ".bin" : ".txt"));
      const std::string content = Content(large ? kLargeSize : 512 + (i * 977) % 15000, i);
      std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
      files.push_back(file.string());
      bytes += content.size();
    }
    std::system("sync");
  }
  ~Corpus() {
    std::error_code ec;
    stdfs::remove_all(root, ec);
  }
};

const Corpus& TheCorpus() {
  static const Corpus corpus;
  return corpus;
}

// Time spent flushing and saving the log, seen from the file system.
struct Split {
  double log = 0;
  double flush = 0;
};

template <typename F>
void Timed(double& into, F&& f) {
  const auto start = Clock::now();
  f();
  into += Seconds(Clock::now() - start);
}

class TimingFile : public bk::ForwardingFile {
 public:
  TimingFile(std::unique_ptr<bk::File> inner, Split& split, bool is_log)
      : ForwardingFile(std::move(inner)), split_(split), is_log_(is_log) {}
  void WriteAt(uint64_t offset, const void* data, size_t n) override {
    if (!is_log_) return ForwardingFile::WriteAt(offset, data, n);
    Timed(split_.log, [&] { ForwardingFile::WriteAt(offset, data, n); });
  }
  void Sync() override { Timed(split_.flush, [&] { ForwardingFile::Sync(); }); }

 private:
  Split& split_;
  bool is_log_;
};

class TimingFileSystem : public bk::ForwardingFileSystem {
 public:
  TimingFileSystem() : ForwardingFileSystem(bk::DefaultFileSystem()) {}
  std::unique_ptr<bk::File> Open(std::string_view path, bk::OpenMode mode) override {
    const bool writes = mode == bk::OpenMode::kCreate || mode == bk::OpenMode::kCreateNew;
    const bool is_log = writes && !path.ends_with(".zip");
    return std::make_unique<TimingFile>(ForwardingFileSystem::Open(path, mode), split, is_log);
  }
  void SyncFolder(std::string_view folder) override {
    Timed(split.flush, [&] { ForwardingFileSystem::SyncFolder(folder); });
  }
  void RenameFile(std::string_view from, std::string_view to) override {
    Timed(split.log, [&] { ForwardingFileSystem::RenameFile(from, to); });
  }
  Split split;
};

struct PeriodRun {
  std::shared_ptr<TimingFileSystem> fs = std::make_shared<TimingFileSystem>();
  bk::clsFileRollbackCreate safe{fs};
  stdfs::path temp;
  double make_safe = 0;

  explicit PeriodRun(const Corpus& corpus) : temp(corpus.root / "rollback") {
    safe.TempDir(temp.string());
    safe.BackupFile((corpus.root / "backup.zip").string());
    safe.BeginSafety();
    Timed(make_safe, [&] {
      for (const std::string& file : corpus.files) safe.MakeFileSafe(file);
    });
  }
};

void Report(benchmark::State& state, const Corpus& corpus) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * corpus.files.size()));
}

// Seconds per period, averaged over the iterations.
struct Totals {
  std::vector<std::pair<const char*, double>> sums;
  void Add(const char* name, double seconds) {
    for (auto& [n, sum] : sums) {
      if (std::string(n) == name) {
        sum += seconds;
        return;
      }
    }
    sums.emplace_back(name, seconds);
  }
  void Publish(benchmark::State& state) const {
    for (const auto& [name, sum] : sums) state.counters[name] = benchmark::Counter(sum / state.iterations());
  }
};

void BM_PeriodEndSafety(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  Totals totals;
  for (auto _ : state) {
    PeriodRun run(corpus);
    const Split split = run.fs->split;
    double end = 0;
    Timed(end, [&] { run.safe.EndSafety(); });
    state.SetIterationTime(run.make_safe + end);
    totals.Add("make_safe_s", run.make_safe);
    totals.Add("zip_s", run.make_safe - split.log - split.flush);
    totals.Add("log_s", split.log);
    totals.Add("flush_s", split.flush);
    totals.Add("end_safety_s", end);
    stdfs::remove(corpus.root / "backup.zip");
  }
  totals.Publish(state);
  Report(state, corpus);
}

void BM_PeriodUndo(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  Totals totals;
  for (auto _ : state) {
    PeriodRun run(corpus);
    double undo = 0;
    Timed(undo, [&] { run.safe.UndoSafetyOperations(true, true); });
    state.SetIterationTime(run.make_safe + undo);
    totals.Add("make_safe_s", run.make_safe);
    totals.Add("undo_s", undo);
  }
  totals.Publish(state);
  Report(state, corpus);
}

// An outside tool over the same files, timed as a whole.
void RunTool(benchmark::State& state, const std::string& command, const stdfs::path& output) {
  const Corpus& corpus = TheCorpus();
  const std::string cd = "cd '" + corpus.root.string() + "' && ";
  for (auto _ : state) {
    double took = 0;
    Timed(took, [&] {
      if (std::system((cd + command).c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
    });
    state.SetIterationTime(took);
    std::error_code ec;
    stdfs::remove_all(corpus.root / output, ec);
  }
  Report(state, corpus);
}

void BM_ZipR(benchmark::State& state) { RunTool(state, "zip -q -r tool.zip data", "tool.zip"); }
void BM_ZipRSync(benchmark::State& state) { RunTool(state, "zip -q -r tool.zip data && sync tool.zip", "tool.zip"); }
void BM_CpA(benchmark::State& state) { RunTool(state, "cp -a data copy", "copy"); }
void BM_CpASync(benchmark::State& state) { RunTool(state, "cp -a data copy && sync", "copy"); }

BENCHMARK(BM_PeriodEndSafety)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PeriodUndo)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZipR)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZipRSync)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CpA)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CpASync)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
