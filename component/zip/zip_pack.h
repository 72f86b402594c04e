// Compression on worker threads: small files packed whole in memory, so that
// the writer only copies finished entries into the archive, and the queue
// that runs such work. Internal to the
// archive component and its tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/fs/file_system.h"
#include "component/zip/zip_format.h"

namespace bk::zip {

// Files up to this size are read whole and packed in memory; larger ones are
// streamed through the archive.
inline constexpr uint64_t kPackLimit = 1024 * 1024;
// How much of a larger file's start decides whether it is deflated at all.
inline constexpr size_t kCompressibilitySample = 64 * 1024;

// A file's bytes as they go into an entry: deflated at the writer's level, or
// stored when deflating does not make them smaller.
struct Packed {
  std::string data;
  uint16_t method = kMethodStored;
  uint32_t crc = 0;
  uint64_t size = 0;
};

// The file's bytes deflated when that makes them smaller, judged as `how`
// says (a file of more than kCompressibilitySample bytes judged by its start).
Packed Pack(std::string raw, Compression how = Compression::kJudged);

// True when a sample of a file's start does not shrink under deflate, so the
// file is stored without compressing the rest.
bool LooksIncompressible(const char* data, size_t n);

// Writes a packed entry at `offset`: the data, then the local header, whose
// signature thus never names incomplete data. Fills the entry's method, CRC,
// sizes and header offset. Returns where the entry ends.
uint64_t WritePacked(File& archive, uint64_t offset, const Packed& packed, Entry* entry);

// Runs submitted tasks on worker threads, oldest first; a task is waited for
// by its ticket. With no threads, Wait runs the task on the caller's thread.
class WorkQueue {
 public:
  explicit WorkQueue(unsigned threads);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // The number of worker threads worth starting on this machine.
  static unsigned DefaultThreads();
  unsigned threads() const { return static_cast<unsigned>(threads_.size()); }

  size_t Submit(std::function<void()> task);
  // Waits until that task has run; rethrows what it threw. Each ticket is
  // waited for once.
  void Wait(size_t ticket);

 private:
  struct Job;
  void Work();

  std::mutex mutex_;
  std::condition_variable work_;  // a task waits, or the queue stops
  std::condition_variable done_;  // a task has run
  std::deque<std::shared_ptr<Job>> waiting_;
  std::vector<std::shared_ptr<Job>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace bk::zip
