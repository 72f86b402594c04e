// Helpers of the safe-mode scenarios: a scratch area with a temporary folder,
// a data folder and a backup destination; file snapshots; and an archive
// lister that uses a reader this project did not write where one exists.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "support/temp_dir.h"

namespace bk::testing {

// True when the program runs on Windows (under Wine here).
bool OnWindows();

// The step of a fault sweep: every operation natively, every 10th under Wine,
// where file operations cost several times more; BK_SWEEP_STRIDE sets another.
uint64_t SweepStride();

// The entries a backup holds beside the drive archives and the log: the
// period's record where owners and modes are the platform's (Linux).
inline size_t RecordEntries(const FileSystem& fs) { return fs.paths().HasPosixModes() ? 1 : 0; }

struct Scratch {
  TempDir dir;
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  std::string temp = dir / "rollback";      // TempDir of the object under test
  std::string data = dir / "data";          // the host's files
  std::string backup = dir / "out.zip";     // BackupFile

  std::string Data(std::string_view name) const;
  // Names of the files directly in a folder, sorted, without the lock files
  // of live periods (lock_test.cc follows those); empty when it is missing.
  std::vector<std::string> FilesIn(const std::string& folder) const;
};

// Makes a folder the current folder for the guard's lifetime.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& folder);
  ~CurrentFolder();
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  std::string previous_;
};

// Bytes, modification time and read-only flag of a file.
struct FileState {
  std::string bytes;
  int64_t modified_s = 0;
  bool read_only = false;
  bool operator==(const FileState&) const = default;
};
FileState Snapshot(FileSystem& fs, const std::string& path);
void MakeReadOnly(const std::string& path);

// Deterministic pseudo-random bytes (incompressible).
std::string NoiseBytes(size_t n, uint32_t seed);

// What an archive holds: entry name -> bytes (top level), read natively with
// Python's zipfile module, on Windows with the component.
using ArchiveContents = std::map<std::string, std::string>;
ArchiveContents ReadArchive(const std::string& archive, const std::string& scratch_folder);

// Text of a UTF-16 LE file body with a byte-order mark, as UTF-8.
std::string Utf16FileText(const std::string& bytes);

// The platform's rules, except that two folders count as drives of their own.
class TwoDriveRules : public PathRules {
 public:
  TwoDriveRules(const PathRules& base, std::string a, std::string b) : base_(base), roots_{a, b} {}
  char Separator() const override { return base_.Separator(); }
  bool IsSeparator(char c) const override { return base_.IsSeparator(c); }
  bool FoldsCase() const override { return base_.FoldsCase(); }
  bool HasPosixModes() const override { return base_.HasPosixModes(); }
  bool HasOwners() const override { return base_.HasOwners(); }
  bool BackslashSeparates() const override { return base_.BackslashSeparates(); }
  bool ReservesNames() const override { return base_.ReservesNames(); }
  std::string GetDriveName(std::string_view path) const override;
  bool IsAbsolute(std::string_view path) const override { return base_.IsAbsolute(path); }
  std::string BuildPath(std::string_view folder, std::string_view name) const override {
    return base_.BuildPath(folder, name);
  }
  std::string GetParentFolderName(std::string_view path) const override { return base_.GetParentFolderName(path); }
  std::string GetFileName(std::string_view path) const override { return base_.GetFileName(path); }
  std::string Absolute(std::string_view path, std::string_view current) const override {
    return base_.Absolute(path, current);
  }
  std::string DriveRoot(std::string_view drive) const override;

 private:
  const PathRules& base_;
  std::vector<std::string> roots_;
};

// A file system on which the folders `a` and `b` are drives.
class TwoDriveFileSystem : public ForwardingFileSystem {
 public:
  TwoDriveFileSystem(std::shared_ptr<FileSystem> target, std::string a, std::string b)
      : ForwardingFileSystem(target), rules_(target->paths(), std::move(a), std::move(b)) {}
  const PathRules& paths() const override { return rules_; }

 private:
  TwoDriveRules rules_;
};

// Error number and source raised by a call; -1 when it did not raise.
struct Raised {
  int32_t number = -1;
  std::string source;
  std::string description;
};
template <typename F>
Raised Catch(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return {e.number(), e.source(), e.description()};
  }
  return {};
}

}  // namespace bk::testing
