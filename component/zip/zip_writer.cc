#include "component/zip/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "component/error.h"
#include "component/zip/zip_pack.h"
#include "component/zip/zip_reader.h"

namespace bk::zip {
namespace {

// Deflating stops early and the file is stored when, after this much input,
// the output has not shrunk noticeably (already compressed data).
constexpr uint64_t kProbeInput = 2 * 1024 * 1024;
constexpr double kProbeRatio = 0.985;

struct Pass {
  bool complete = false;  // the source held exactly the expected bytes
  bool gave_up = false;   // deflating does not pay: store instead
  uint32_t crc = 0;
  uint64_t in = 0;
  uint64_t out = 0;
};

// Reads up to n bytes, fewer only at the end of the source.
size_t ReadFull(const SourceReader& source, uint64_t offset, char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t got = source(offset + done, buf + done, n - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

class Deflater {
 public:
  Deflater() {
    if (deflateInit2(&z_, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw Error(errnum::kArchiveError, kLibrarySource, "Compression could not start");
    }
  }
  ~Deflater() { deflateEnd(&z_); }
  z_stream& z() { return z_; }

 private:
  z_stream z_{};
};

// Feeds one piece of input (or finishes) and writes whatever comes out.
void Deflate(z_stream& z, int flush, Buffer& out, File& archive, uint64_t data, Pass* p) {
  do {
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    const size_t n = out.size() - z.avail_out;
    if (n > 0) archive.WriteAt(data + p->out, out.data(), n);
    p->out += n;
  } while (z.avail_out == 0);
}

Pass DeflatePass(File& archive, uint64_t data, const SourceReader& source, uint64_t expected) {
  Deflater d;
  z_stream& z = d.z();
  Buffer in, out;
  Pass p;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(in.size(), expected + 1 - p.in));
    const size_t got = ReadFull(source, p.in, in.data(), want);
    p.in += got;
    if (p.in > expected) return p;  // grew
    p.crc = Crc32(p.crc, in.data(), got);
    const bool last = got < want;
    z.next_in = reinterpret_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(got);
    Deflate(z, last ? Z_FINISH : Z_NO_FLUSH, out, archive, data, &p);
    if (last) {
      p.complete = p.in == expected;
      p.gave_up = p.out >= p.in;
      return p;
    }
    if (p.in >= kProbeInput && static_cast<double>(p.out) >= kProbeRatio * static_cast<double>(p.in)) {
      p.gave_up = true;
      return p;
    }
  }
}

// One block of a file deflated on its own: primed with the 32 KiB before
// it, ended with a sync flush (the last one finishes the stream), so that
// the blocks joined in order are one deflate stream.
struct Block {
  std::string dictionary;
  std::string in;
  std::string out;
  uint64_t size = 0;  // of `in`, kept after it is freed
  bool last = false;
  size_t ticket = 0;
};

void DeflateBlock(Block& b) {
  Deflater d;
  z_stream& z = d.z();
  if (!b.dictionary.empty()) {
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(b.dictionary.data()),
                         static_cast<uInt>(b.dictionary.size()));
  }
  b.out.resize(deflateBound(&z, static_cast<uLong>(b.in.size())) + 16);
  z.next_in = reinterpret_cast<Bytef*>(b.in.data());
  z.avail_in = static_cast<uInt>(b.in.size());
  z.next_out = reinterpret_cast<Bytef*>(b.out.data());
  z.avail_out = static_cast<uInt>(b.out.size());
  const int rc = deflate(&z, b.last ? Z_FINISH : Z_SYNC_FLUSH);
  if ((b.last ? rc != Z_STREAM_END : rc != Z_OK) || z.avail_in != 0 || z.avail_out == 0) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Compression failed");
  }
  b.out.resize(z.total_out);
  b.in.clear();
  b.in.shrink_to_fit();
}

constexpr size_t kBlockSize = 1024 * 1024;
constexpr size_t kWindow = 32 * 1024;

// DeflatePass with the blocks deflated by `workers`, a few ahead of the one
// being written; memory stays within a few blocks whatever the file's size.
Pass ParallelDeflatePass(File& archive, uint64_t data, const SourceReader& source, uint64_t expected,
                         WorkQueue& workers) {
  const size_t ahead = workers.threads() + 1;
  std::deque<std::shared_ptr<Block>> pending;
  std::string window;
  Pass p;
  uint64_t written_in = 0;
  bool read_all = false;
  // A block still queued when the pass ends early is owned by its task, so
  // leaving it to the queue is safe.
  for (;;) {
    while (!read_all && pending.size() < ahead) {
      auto b = std::make_shared<Block>();
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, expected + 1 - p.in));
      b->in.resize(want);
      b->in.resize(ReadFull(source, p.in, b->in.data(), want));
      p.in += b->in.size();
      if (p.in > expected) return p;  // grew
      p.crc = Crc32(p.crc, b->in.data(), b->in.size());
      b->last = read_all = b->in.size() < want;
      b->size = b->in.size();
      b->dictionary = window;
      window += b->in;
      if (window.size() > kWindow) window.erase(0, window.size() - kWindow);
      b->ticket = workers.Submit([b] { DeflateBlock(*b); });
      pending.push_back(std::move(b));
    }
    if (pending.empty()) break;
    const std::shared_ptr<Block> b = std::move(pending.front());
    pending.pop_front();
    workers.Wait(b->ticket);
    archive.WriteAt(data + p.out, b->out.data(), b->out.size());
    p.out += b->out.size();
    written_in += b->size;
    if (!b->last && written_in >= kProbeInput &&
        static_cast<double>(p.out) >= kProbeRatio * static_cast<double>(written_in)) {
      p.gave_up = true;
      return p;
    }
  }
  p.complete = p.in == expected;
  p.gave_up = p.out >= p.in;
  return p;
}

Pass StorePass(File& archive, uint64_t data, const SourceReader& source, uint64_t expected) {
  Buffer buf;
  Pass p;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), expected + 1 - p.in));
    const size_t got = ReadFull(source, p.in, buf.data(), want);
    if (p.in + got > expected) return p;
    p.crc = Crc32(p.crc, buf.data(), got);
    archive.WriteAt(data + p.in, buf.data(), got);
    p.in += got;
    if (got < want) break;
  }
  p.out = p.in;
  p.complete = p.in == expected;
  return p;
}

// Reads the start of the source and judges it; a source that fails to read
// is left to the pass that follows.
bool SampleLooksIncompressible(const SourceReader& source, uint64_t expected) {
  std::string sample(static_cast<size_t>(std::min<uint64_t>(expected, kCompressibilitySample)), '\0');
  sample.resize(ReadFull(source, 0, sample.data(), sample.size()));
  return LooksIncompressible(sample.data(), sample.size());
}

}  // namespace

WriteResult WriteEntry(File& archive, uint64_t offset, const SourceReader& source, uint64_t expected_size,
                       Entry* e, WorkQueue* workers) {
  const bool zip64 = expected_size >= kMax32;
  e->header_offset = offset;
  const bool deflate = expected_size > 0 && !SampleLooksIncompressible(source, expected_size);
  e->method = deflate ? kMethodDeflated : kMethodStored;
  e->version_needed = zip64 ? kVersionZip64 : kVersionDefault;
  e->crc = 0;
  e->size = e->compressed_size = 0;
  // The signature is written with the final header only, so an entry cut
  // short is never taken for a complete one.
  std::string header = EncodeLocalHeader(*e, zip64);
  std::fill_n(header.begin(), 4, '\0');
  archive.WriteAt(offset, header.data(), header.size());
  const uint64_t data = offset + header.size();

  Pass p;
  if (deflate) {
    p = workers ? ParallelDeflatePass(archive, data, source, expected_size, *workers)
                : DeflatePass(archive, data, source, expected_size);
  }
  if (!deflate || p.gave_up) {
    e->method = kMethodStored;
    p = StorePass(archive, data, source, expected_size);
  }
  WriteResult result;
  if (!p.complete) return result;
  e->crc = p.crc;
  e->size = p.in;
  e->compressed_size = p.out;
  const std::string patched = EncodeLocalHeader(*e, zip64);
  archive.WriteAt(offset, patched.data(), patched.size());
  result.complete = true;
  result.end = data + p.out;
  return result;
}

std::string WriteDirectory(File& archive, uint64_t offset, const std::string& central, uint64_t count) {
  std::string end = EncodeEnd(count, offset, central.size());
  archive.WriteAt(offset, central.data(), central.size());
  const uint64_t end_offset = offset + central.size();
  archive.WriteAt(end_offset, end.data(), end.size());
  if (archive.Size() > end_offset + end.size()) archive.Truncate(end_offset + end.size());
  return end;
}

}  // namespace bk::zip
