// Shared pieces of the fuzz targets: an in-memory file for the ZIP reader and
// a scratch folder per process for targets that need real files.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk::fuzz {

// A read-only File over bytes held in memory.
class MemoryFile final : public File {
 public:
  MemoryFile(const uint8_t* data, size_t size) : bytes_(reinterpret_cast<const char*>(data), size) {}
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    if (offset >= bytes_.size()) return 0;
    const size_t count = std::min<uint64_t>(n, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, count);
    return count;
  }
  void WriteAt(uint64_t, const void*, size_t) override { throw Error::Standard(errnum::kPermissionDenied, path_); }
  uint64_t Size() override { return bytes_.size(); }
  void Truncate(uint64_t) override { throw Error::Standard(errnum::kPermissionDenied, path_); }
  void Sync() override {}
  FileStat Stat() override {
    FileStat st;
    st.size = bytes_.size();
    return st;
  }
  void Close() override {}
  const std::string& path() const override { return path_; }

 private:
  std::string bytes_;
  std::string path_ = "memory.zip";
};

// A fresh folder for this process below $BK_FUZZ_SCRATCH, else below the
// tmpfs when there is one; the target removes what it writes there after
// every input, and whoever set BK_FUZZ_SCRATCH removes the folder.
std::string ScratchFolder(const char* target);

// Writes the bytes as a whole file, replacing it.
void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace bk::fuzz
