#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace bk::testing {
namespace {

fs::path U8(std::string_view s) { return fs::path(std::u8string(s.begin(), s.end())); }
std::string FromPath(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

}  // namespace

TempDir::TempDir() {
  std::random_device rd;
  std::mt19937_64 rng(rd() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "bk-test-" << std::hex << rng();
    const fs::path candidate = base / name.str();
    if (fs::create_directory(candidate)) {
      path_ = FromPath(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files (restored attributes) must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(U8(path_), ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(U8(path_), ec);
}

std::string TempDir::operator/(std::string_view name) const {
  return FromPath((U8(path_) / U8(name)).make_preferred());
}

void WriteFile(const std::string& path, std::string_view bytes) {
  const fs::path p = U8(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(U8(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(U8(path), ec);
}

}  // namespace bk::testing
