// Reading ZIP archives: the central directory through the end record (ZIP64
// too), a recovery scan of the local headers when the end record or the
// directory is damaged, and streaming extraction with size and CRC checks.
// Internal to the archive component and its tests, and to the command's
// reading of backups (cli/backup_archive.h), which reads one open file only.
// Damaged input never makes these functions crash, loop or allocate more
// than the file holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/zip/zip_format.h"

namespace bk::zip {

inline constexpr size_t kBufferSize = 256 * 1024;

// A work buffer of kBufferSize bytes, left uninitialised.
class Buffer {
 public:
  char* data() { return bytes_.get(); }
  size_t size() const { return kBufferSize; }

 private:
  std::unique_ptr<char[]> bytes_{new char[kBufferSize]};
};

struct Directory {
  // Empty when read with Keep::kRecords.
  std::vector<Entry> entries;
  // How many central records `central` holds.
  uint64_t count = 0;
  // Where the next entry goes: the start of the central directory, or the
  // end of the last good entry when the directory was rebuilt.
  uint64_t append_offset = 0;
  // The central records of `entries`, as they will be written again, and
  // those of entries added since, in blocks, so that a directory of
  // millions of entries grows without being copied.
  std::string central;
  std::vector<std::string> added;
  // True when the entries were found by scanning local headers.
  bool recovered = false;
};

// Reads n bytes at offset; fewer only at the end of the file.
std::string ReadBytes(File& file, uint64_t offset, size_t n);

// What ReadDirectory keeps of each entry: the decoded Entry (readers that
// list or extract), or only its central record and the count (a writer that
// appends entries and writes the directory back).
enum class Keep { kEntries, kRecords };

// Reads the directory of an open archive. An empty file is an empty archive.
// When no valid end record and central directory exist, the local headers are
// scanned from the start and every entry whose data is complete and matches
// its CRC is kept, up to the first one that is not. Fails with
// errnum::kArchiveError when the file is not a ZIP archive.
Directory ReadDirectory(File& archive, Keep keep);
Directory ReadDirectory(File& archive);  // Keep::kEntries

// Reads the directory through a valid end record and central directory
// only, as strict readers do; false when the file has none (no scan).
bool ReadCompleteDirectory(File& archive, Directory* dir);

// Receives extracted data in pieces of at most kBufferSize bytes.
using DataSink = std::function<void(const char* data, size_t n)>;

// Streams an entry's data to `sink` (stored or deflated), checking its local
// header, its size and its CRC. Returns false when the entry is damaged,
// encrypted or uses another method; the sink may have received data by then.
// Errors reading the archive or thrown by the sink pass through.
bool ExtractEntry(File& archive, uint64_t archive_size, const Entry& entry, const DataSink& sink);

}  // namespace bk::zip
