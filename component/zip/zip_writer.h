// Writing ZIP entries and directories. An entry is written in one pass: its
// local header, its data deflated (or stored when deflating does not shrink
// it, or cloned from the file where the file system shares blocks), then CRC
// and sizes patched into the header, so no data descriptor is needed.
// Internal to the archive component and its tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "component/fs/file_system.h"
#include "component/zip/zip_format.h"

namespace bk::zip {

class WorkQueue;

// The deflate level: the fastest, whose output Info-ZIP's fastest matches.
inline constexpr int kDeflateLevel = 1;

// Files of at least this size are stored sharing their blocks with the
// archive where the file system clones them (WriteClonedEntry). A cloned
// entry still takes about one block of its own (its header, the padding
// before its data and the copied tail), which is what a smaller file takes
// compressed; on /usr/share, 8 KiB left the least room taken
// (docs/performance.md).
inline constexpr uint64_t kCloneThreshold = 8 * 1024;
// The block a cloned entry's data is aligned to: the block size of the file
// systems that clone (a larger one refuses the clone, and the file is
// compressed).
inline constexpr uint64_t kCloneBlock = 4096;

// Reads the file being stored, with File::ReadAt's contract.
using SourceReader = std::function<size_t(uint64_t offset, void* buffer, size_t n)>;

struct WriteResult {
  bool complete = false;  // false: the source did not hold exactly expected_size bytes
  uint64_t end = 0;       // where the entry's data ends
};

// Writes one entry at `offset` of the archive from a source that is expected
// to hold `expected_size` bytes. `entry` brings name, flags, times and
// attributes; method, CRC, sizes and header offset are filled in. ZIP64
// fields are used when expected_size reaches 4 GiB. Errors of the archive or
// thrown by the source pass through.
// With `workers`, blocks of the file are deflated on their threads while
// earlier blocks are written: independent deflate blocks, each primed with
// the 32 KiB before it, joined into one standard deflate stream. A file is
// stored when a sample of its start, or its first 2 MiB, do not shrink;
// Compression::kThroughout deflates it whole all the same and stores it only
// when the whole does not shrink; kNone stores it.
WriteResult WriteEntry(File& archive, uint64_t offset, const SourceReader& source, uint64_t expected_size,
                       Entry* entry, WorkQueue* workers = nullptr, Compression how = Compression::kJudged);

// Writes one stored entry at `offset` whose data starts on a kCloneBlock
// boundary: the whole blocks of `file` (open for reading; `source` reads it)
// are cloned into the archive (File::CloneRangeFrom), its tail copied, and
// the CRC computed as the file is read after the clone. Nothing when the
// clone is refused: the caller stores the entry another way at the same
// offset. Otherwise as WriteEntry.
std::optional<WriteResult> WriteClonedEntry(File& archive, uint64_t offset, File& file, const SourceReader& source,
                                            uint64_t expected_size, Entry* entry);

// Writes the central records (`central`, then each of `more`) and the end
// records at `offset` and cuts the file after them. Returns the bytes
// written after the central records (the end records), which identify this
// state of the archive.
std::string WriteDirectory(File& archive, uint64_t offset, const std::string& central, uint64_t count,
                           const std::vector<std::string>& more = {});

}  // namespace bk::zip
