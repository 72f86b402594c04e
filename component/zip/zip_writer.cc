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

Pass DeflatePass(File& archive, uint64_t data, const SourceReader& source, uint64_t expected, bool probe) {
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
    if (probe && p.in >= kProbeInput && static_cast<double>(p.out) >= kProbeRatio * static_cast<double>(p.in)) {
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
                         WorkQueue& workers, bool probe) {
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
    if (probe && !b->last && written_in >= kProbeInput &&
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

// A local header written ahead of its entry's data, its data aligned to
// `alignment`.
struct Header {
  uint64_t offset = 0;
  uint64_t data = 0;  // where the data starts
  uint64_t alignment = 1;
  bool zip64 = false;
};

std::string LocalHeaderAt(const Header& h, const Entry& e) {
  const std::string header = EncodeLocalHeader(e, h.zip64);
  return h.alignment > 1 ? AlignLocalHeader(header, h.offset, h.alignment) : header;
}

// Writes the header of an entry whose method is set, with CRC and sizes
// still unknown. The signature is written with the final header only, so an
// entry cut short is never taken for a complete one.
Header StartEntry(File& archive, uint64_t offset, uint64_t expected_size, Entry* e, uint64_t alignment) {
  Header h;
  h.offset = offset;
  h.alignment = alignment;
  h.zip64 = expected_size >= kMax32;
  e->header_offset = offset;
  e->version_needed = h.zip64 ? kVersionZip64 : kVersionDefault;
  e->crc = 0;
  e->size = e->compressed_size = 0;
  std::string header = LocalHeaderAt(h, *e);
  std::fill_n(header.begin(), 4, '\0');
  archive.WriteAt(offset, header.data(), header.size());
  h.data = offset + header.size();
  return h;
}

// Patches CRC and sizes into the header of a pass that held the expected bytes.
WriteResult FinishEntry(File& archive, const Header& h, const Pass& p, Entry* e) {
  WriteResult result;
  if (!p.complete) return result;
  e->crc = p.crc;
  e->size = p.in;
  e->compressed_size = p.out;
  const std::string patched = LocalHeaderAt(h, *e);
  archive.WriteAt(h.offset, patched.data(), patched.size());
  result.complete = true;
  result.end = h.data + p.out;
  return result;
}

}  // namespace

WriteResult WriteEntry(File& archive, uint64_t offset, const SourceReader& source, uint64_t expected_size,
                       Entry* e, WorkQueue* workers, Compression how) {
  const bool throughout = how == Compression::kThroughout;
  const bool deflate = expected_size > 0 && how != Compression::kNone &&
                       (throughout || !SampleLooksIncompressible(source, expected_size));
  e->method = deflate ? kMethodDeflated : kMethodStored;
  const Header header = StartEntry(archive, offset, expected_size, e, 1);
  Pass p;
  if (deflate) {
    p = workers ? ParallelDeflatePass(archive, header.data, source, expected_size, *workers, !throughout)
                : DeflatePass(archive, header.data, source, expected_size, !throughout);
  }
  if (!deflate || p.gave_up) {
    e->method = kMethodStored;
    p = StorePass(archive, header.data, source, expected_size);
  }
  return FinishEntry(archive, header, p, e);
}

std::optional<WriteResult> WriteClonedEntry(File& archive, uint64_t offset, File& file, const SourceReader& source,
                                            uint64_t expected_size, Entry* e) {
  e->method = kMethodStored;
  const Header header = StartEntry(archive, offset, expected_size, e, kCloneBlock);
  const uint64_t whole = expected_size / kCloneBlock * kCloneBlock;
  try {
    archive.CloneRangeFrom(file, 0, header.data, whole);
  } catch (const Error&) {
    return std::nullopt;
  }
  // The CRC is taken from the file as it is after the clone; the caller
  // compares its size and time before and after, as for a file deflated.
  Buffer buf;
  Pass p;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), expected_size + 1 - p.in));
    const size_t got = ReadFull(source, p.in, buf.data(), want);
    if (p.in + got > expected_size) return WriteResult{};
    p.crc = Crc32(p.crc, buf.data(), got);
    if (p.in + got > whole) {
      const uint64_t from = std::max(p.in, whole);
      archive.WriteAt(header.data + from, buf.data() + (from - p.in), static_cast<size_t>(p.in + got - from));
    }
    p.in += got;
    if (got < want) break;
  }
  p.out = p.in;
  p.complete = p.in == expected_size;
  return FinishEntry(archive, header, p, e);
}

std::string WriteDirectory(File& archive, uint64_t offset, const std::string& central, uint64_t count,
                           const std::vector<std::string>& more) {
  uint64_t end_offset = offset;
  const auto put = [&](const std::string& piece) {
    archive.WriteAt(end_offset, piece.data(), piece.size());
    end_offset += piece.size();
  };
  put(central);
  for (const std::string& piece : more) put(piece);
  std::string end = EncodeEnd(count, offset, end_offset - offset);
  archive.WriteAt(end_offset, end.data(), end.size());
  if (archive.Size() > end_offset + end.size()) archive.Truncate(end_offset + end.size());
  return end;
}

}  // namespace bk::zip
