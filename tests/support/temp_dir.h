// Test helpers: a fresh temporary folder removed at the end of the test, and
// small file utilities. Paths are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace bk::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, without a trailing separator.
  const std::string& path() const { return path_; }
  // path() joined with a relative name ("a/b.txt" uses the native separator).
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// Whole-file helpers (create folders on the way for WriteFile).
void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

}  // namespace bk::testing
