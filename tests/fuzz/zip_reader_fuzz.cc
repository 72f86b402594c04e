// Reads arbitrary bytes as a ZIP archive: the directory (the end records, or
// the recovery scan of local headers when they are damaged), then every
// entry's data. Each step may fail with bk::Error or report a damaged entry;
// it must never crash, hang, or hand out more data than an entry declares.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "component/error.h"
#include "component/fs/memory_file.h"
#include "component/zip/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bk::MemoryFile file(std::string(reinterpret_cast<const char*>(data), size), "fuzz.zip");
  bk::zip::Directory dir;
  try {
    dir = bk::zip::ReadDirectory(file);
  } catch (const bk::Error&) {
    return 0;
  }
  for (const bk::zip::Entry& entry : dir.entries) {
    uint64_t received = 0;
    try {
      const bool ok = bk::zip::ExtractEntry(file, size, entry, [&](const char*, size_t n) { received += n; });
      if (ok && received != entry.size) std::abort();
    } catch (const bk::Error&) {
    }
    if (received > entry.size) std::abort();
  }
  return 0;
}
