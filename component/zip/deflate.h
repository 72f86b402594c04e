// The compression back end: deflating a buffer held whole in memory into one
// raw deflate stream (no zlib or gzip wrapper) that any inflater reads, and
// the CRC-32 (declared in zip_format.h). Two back ends, chosen by the build:
// libdeflate on Linux, zlib on Windows. Files streamed through the archive in
// blocks use zlib on both (zip_writer.cc), and so does reading. Internal to
// the archive component and its tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bk::zip {

// The stream, or nothing when it would take more than `limit` bytes (the
// caller then stores the data as it is). Fails with errnum::kArchiveError
// when the compressor cannot run. Safe to call from several threads at once.
std::optional<std::string> DeflateWhole(std::string_view data, size_t limit);

}  // namespace bk::zip
