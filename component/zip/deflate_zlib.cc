// Whole-buffer deflate on zlib, at its fastest level.
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "component/error.h"
#include "component/zip/deflate.h"
#include "component/zip/zip_format.h"
#include "component/zip/zip_writer.h"

namespace bk::zip {

std::optional<std::string> DeflateWhole(std::string_view data, size_t limit) {
  z_stream z{};
  if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Compression could not start");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw Error(errnum::kArchiveError, kLibrarySource, "Compression failed");
  if (out.size() > limit) return std::nullopt;
  return out;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t n) {
  const auto* p = static_cast<const Bytef*>(data);
  while (n > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(n, UINT_MAX));
    crc = static_cast<uint32_t>(crc32(crc, p, chunk));
    p += chunk;
    n -= chunk;
  }
  return crc;
}

}  // namespace bk::zip
