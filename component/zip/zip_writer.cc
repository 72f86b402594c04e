#include "component/zip/zip_writer.h"

#include <zlib.h>

#include <algorithm>

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
                       Entry* e) {
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

  Pass p = deflate ? DeflatePass(archive, data, source, expected_size) : Pass{};
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
