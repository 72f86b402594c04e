// A read-only File over bytes held in memory, for readers that take a File
// (the text reader, the ZIP reader) when the bytes never touch the disk.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk {

class MemoryFile final : public File {
 public:
  // `path` names the bytes in errors only.
  MemoryFile(std::string bytes, std::string path) : bytes_(std::move(bytes)), path_(std::move(path)) {}
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    if (offset >= bytes_.size()) return 0;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - offset));
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
  std::string path_;
};

}  // namespace bk
