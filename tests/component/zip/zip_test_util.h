// Helpers of the archive component's tests: sample contents, archives built
// entry by entry with chosen names and attributes, and the foreign readers
// (Info-ZIP unzip, Python's zipfile, bsdtar) that check what the component
// writes. The foreign tools run only on Linux hosts that have them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "support/temp_dir.h"

namespace bk::testing {

// True when this build runs on Windows (told by the path rules).
bool OnWindows();
// True when a command-line tool can be run here (never on Windows).
bool HaveTool(const std::string& name);
// Runs a shell command; returns its exit status.
int Shell(const std::string& command);
// A path quoted for the shell.
std::string Quoted(const std::string& path);

// n bytes that deflate cannot shrink, and n bytes that it shrinks a lot.
std::string RandomBytes(size_t n, uint32_t seed);
std::string TextBytes(size_t n);

// Checks an archive with every foreign reader present: `unzip -t`, Python's
// zipfile testzip() and `bsdtar -tf`. Does nothing on Windows.
void ExpectForeignReadersAccept(const std::string& archive);
// The same, testing the data of one entry only (for archives of many GiB).
void ExpectForeignReadersAcceptEntry(const std::string& archive, const std::string& entry);

// A File held in memory, for building large test archives quickly.
class MemoryFile : public File {
 public:
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
  void WriteAt(uint64_t offset, const void* data, size_t n) override;
  uint64_t Size() override { return bytes.size(); }
  void Truncate(uint64_t size) override { bytes.resize(size); }
  void Sync() override {}
  FileStat Stat() override;
  void Close() override {}
  const std::string& path() const override { return name_; }

  std::string bytes;

 private:
  std::string name_ = "memory";
};

// An entry for BuildArchive.
struct RawEntry {
  std::string name;
  std::string data;
  uint16_t made_by = 3 << 8 | 20;               // Unix
  uint32_t external_attributes = 0100644u << 16;  // regular file, rw-r--r--
};
// Writes an archive holding exactly these entries, names taken as they are.
void BuildArchive(const std::string& path, const std::vector<RawEntry>& entries);

// A test case with a temporary folder and an archive component in it.
class ZipTest : public ::testing::Test {
 protected:
  // Writes a file below the folder and returns its full path.
  std::string MakeFile(const std::string& relative, const std::string& bytes);
  // Zips a file with the component's current settings; expects it stored.
  void ZipFile(const std::string& path);
  // Names of the entries, through the component.
  std::vector<std::string> Names();

  TempDir dir;
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  std::string archive_path = dir / "archive.zip";
  ArchiveComponent archive{fs};

  void SetUp() override { archive.ArchiveFileName = archive_path; }
};

}  // namespace bk::testing
