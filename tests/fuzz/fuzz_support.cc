#include "fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace bk::fuzz {

std::string ScratchFolder(const char* target) {
  namespace fs = std::filesystem;
  const char* given = std::getenv("BK_FUZZ_SCRATCH");
  const fs::path base = given != nullptr             ? fs::path(given)
                        : fs::exists("/dev/shm") ? fs::path("/dev/shm")
                                                 : fs::temp_directory_path();
  const fs::path folder = base / ("bk-fuzz-" + std::string(target) + "-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder.string();
}

void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace bk::fuzz
