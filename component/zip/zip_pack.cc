#include "component/zip/zip_pack.h"

#include <zlib.h>

#include <algorithm>

#include "component/error.h"
#include "component/zip/zip_writer.h"

namespace bk::zip {
namespace {

// A sample that deflates to more than this share of its size is taken as
// already compressed.
constexpr double kShrinkRatio = 0.97;

// Deflates `n` bytes in one pass; empty when deflate cannot start.
std::string DeflateWhole(const char* data, size_t n) {
  z_stream z{};
  if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Compression could not start");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(n)), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(n);
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw Error(errnum::kArchiveError, kLibrarySource, "Compression failed");
  return out;
}

}  // namespace

Packed Pack(std::string raw) {
  Packed p;
  p.size = raw.size();
  p.crc = Crc32(0, raw.data(), raw.size());
  // A larger file whose start does not shrink is stored without deflating
  // the rest; a small one is judged by deflating it whole.
  const bool judged_by_sample =
      raw.size() > kCompressibilitySample && LooksIncompressible(raw.data(), kCompressibilitySample);
  if (!raw.empty() && !judged_by_sample) {
    std::string deflated = DeflateWhole(raw.data(), raw.size());
    if (deflated.size() < raw.size()) {
      p.method = kMethodDeflated;
      p.data = std::move(deflated);
      return p;
    }
  }
  p.data = std::move(raw);
  return p;
}

bool LooksIncompressible(const char* data, size_t n) {
  return n > 0 && static_cast<double>(DeflateWhole(data, n).size()) >= kShrinkRatio * static_cast<double>(n);
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
  wake_.notify_all();
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
  wake_.notify_all();
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
    wake_.wait(lock, [&] { return job->done; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

void WorkQueue::Work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
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
    wake_.notify_all();
  }
}

}  // namespace bk::zip
