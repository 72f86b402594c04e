// Time per file made safe against the number of files already in the period,
// one file per MakeFileSafe call and in lists of 100 through MakeFilesSafe.
// Every call keeps its durability promise (entries and log on stable storage).
//
//   period_growth SCRATCH_FOLDER [MAX_FILES]     (default 10000)
//
// Prints CSV: files_in_period,one_at_a_time_ms,list_ms_per_file; each figure
// is the median over the 50 files around that point (lists: the two lists
// around it). On standard error: what each call rewrote at the end, the log
// and the drive archive's central directory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <initializer_list>
#include <vector>

#include "component/zip/zip_reader.h"
#include "safemode/file_rollback_create.h"

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kListLength = 100;
constexpr size_t kWindow = 50;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::vector<std::string> MakeCorpus(const stdfs::path& data, size_t count) {
  std::vector<std::string> files;
  for (size_t i = 0; i < count; ++i) {
    const stdfs::path folder = data / ("d" + std::to_string(i / 500));
    stdfs::create_directories(folder);
    const stdfs::path path = folder / ("file" + std::to_string(i) + ".txt");
    std::ofstream(path) << std::string(200 + i % 1800, static_cast<char>('a' + i % 26)) << i << '\n';
    files.push_back(path.string());
  }
  return files;
}

void Begin(bk::clsFileRollbackCreate& safe, const stdfs::path& temp) {
  safe.TempDir(temp.string());
  safe.BackupFile((temp / "backup.zip").string());
  safe.BeginSafety();
}

// Milliseconds of each MakeFileSafe call, in order.
std::vector<double> OneAtATime(const stdfs::path& temp, const std::vector<std::string>& files) {
  bk::clsFileRollbackCreate safe;
  Begin(safe, temp);
  std::vector<double> ms;
  for (const std::string& file : files) {
    const auto t0 = Clock::now();
    safe.MakeFileSafe(file);
    ms.push_back(Ms(Clock::now() - t0));
  }
  for (const auto& entry : stdfs::directory_iterator(temp)) {
    if (entry.path().extension() != ".zip") continue;
    auto archive = bk::DefaultFileSystem()->Open(entry.path().string(), bk::OpenMode::kReadRegular);
    std::fprintf(stderr, "period_growth: at %zu files a call rewrites the log (%ju kB) and the directory (%zu kB)\n",
                 files.size(), static_cast<uintmax_t>(stdfs::file_size(safe.log_file_name()) / 1000),
                 bk::zip::ReadDirectory(*archive).central.size() / 1000);
  }
  return ms;
}

// Milliseconds per file of each list, in order.
std::vector<double> InLists(const stdfs::path& temp, const std::vector<std::string>& files) {
  bk::clsFileRollbackCreate safe;
  Begin(safe, temp);
  std::vector<double> ms;
  for (size_t start = 0; start < files.size(); start += kListLength) {
    const std::vector<std::string> list(files.begin() + static_cast<ptrdiff_t>(start),
                                        files.begin() + static_cast<ptrdiff_t>(std::min(files.size(), start + kListLength)));
    const auto t0 = Clock::now();
    for (const auto& result : safe.MakeFilesSafe(list)) {
      if (result) throw *result;
    }
    ms.push_back(Ms(Clock::now() - t0) / static_cast<double>(list.size()));
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: period_growth SCRATCH_FOLDER [MAX_FILES]\n");
    return 2;
  }
  const stdfs::path root = argv[1];
  const size_t max_files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  try {
    const std::vector<std::string> files = MakeCorpus(root / "data", max_files + kWindow);
    const std::vector<double> one = OneAtATime(root / "one", files);
    stdfs::remove_all(root / "one");
    const std::vector<double> lists = InLists(root / "lists", files);
    stdfs::remove_all(root / "lists");
    std::printf("files_in_period,one_at_a_time_ms,list_ms_per_file\n");
    for (const size_t at : {100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000}) {
      if (at > max_files) break;
      const size_t from = at - std::min(at, kWindow / 2);
      const std::vector<double> around(one.begin() + static_cast<ptrdiff_t>(from),
                                       one.begin() + static_cast<ptrdiff_t>(from + kWindow));
      const size_t list = at / kListLength;
      const std::vector<double> list_around(lists.begin() + static_cast<ptrdiff_t>(list ? list - 1 : 0),
                                            lists.begin() + static_cast<ptrdiff_t>(std::min(lists.size(), list + 1)));
      std::printf("%zu,%.3f,%.3f\n", at, Median(around), Median(list_around));
    }
  } catch (const bk::Error& e) {
    std::fprintf(stderr, "period_growth: %s\n", e.what());
    return 1;
  }
  return 0;
}
