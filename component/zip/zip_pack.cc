#include "component/zip/zip_pack.h"

#include <algorithm>

#include "component/error.h"
#include "component/zip/deflate.h"
#include "component/zip/zip_writer.h"

namespace bk::zip {
namespace {

// A sample that deflates to more than this share of its size is taken as
// already compressed.
constexpr double kShrinkRatio = 0.97;

}  // namespace

Packed Pack(std::string raw, Compression how) {
  Packed p;
  p.size = raw.size();
  p.crc = Crc32(0, raw.data(), raw.size());
  // A larger file whose start does not shrink is stored without deflating
  // the rest; a small one is judged by deflating it whole.
  const bool stored = how == Compression::kNone ||
                      (how == Compression::kJudged && raw.size() > kCompressibilitySample &&
                       LooksIncompressible(raw.data(), kCompressibilitySample));
  if (!raw.empty() && !stored) {
    if (std::optional<std::string> deflated = DeflateWhole(raw, raw.size() - 1)) {
      p.method = kMethodDeflated;
      p.data = std::move(*deflated);
      return p;
    }
  }
  p.data = std::move(raw);
  return p;
}

bool LooksIncompressible(const char* data, size_t n) {
  return n > 0 && !DeflateWhole(std::string_view(data, n), static_cast<size_t>(kShrinkRatio * static_cast<double>(n)));
}

uint64_t WritePacked(File& archive, uint64_t offset, const Packed& packed, Entry* e) {
  const bool zip64 = packed.size >= kMax32;
  e->header_offset = offset;
  e->method = packed.method;
  e->version_needed = zip64 ? kVersionZip64 : kVersionDefault;
  e->crc = packed.crc;
  e->size = packed.size;
  e->compressed_size = packed.data.size();
  const std::string header = EncodeLocalHeader(*e, zip64);
  archive.WriteAt(offset + header.size(), packed.data.data(), packed.data.size());
  archive.WriteAt(offset, header.data(), header.size());
  return offset + header.size() + packed.data.size();
}

struct WorkQueue::Job {
  std::function<void()> task;
  std::exception_ptr error;
  bool done = false;
};

WorkQueue::WorkQueue(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

WorkQueue::~WorkQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

unsigned WorkQueue::DefaultThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, 4u);
}

size_t WorkQueue::Submit(std::function<void()> task) {
  auto job = std::make_shared<Job>();
  job->task = std::move(task);
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(job);
  if (!threads_.empty()) waiting_.push_back(job);
  work_.notify_one();
  return jobs_.size() - 1;
}

void WorkQueue::Wait(size_t ticket) {
  std::shared_ptr<Job> job;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    job = std::move(jobs_.at(ticket));
    if (threads_.empty()) {
      lock.unlock();
      job->task();
      return;
    }
    done_.wait(lock, [&] { return job->done; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

void WorkQueue::Work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    try {
      job->task();
    } catch (...) {
      job->error = std::current_exception();
    }
    job->task = nullptr;  // frees what the task held
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job->done = true;
    }
    done_.notify_all();
  }
}

}  // namespace bk::zip
