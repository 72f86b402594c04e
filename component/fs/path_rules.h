// Path rules of the two platforms, as pure functions so that both sets are
// tested everywhere.
//
// Windows: "\" and "/" both separate on input, "\" is produced. The drive of
// C:\a\b.txt is "C:", of \\server\share\a.txt it is "\\server\share"; a
// relative path has no drive. A bare drive "C:" used as a folder stands for
// its root "C:\".
// POSIX: "/" separates; the drive of an absolute path is "/"; a relative path
// has no drive.
#pragma once

#include <string>
#include <string_view>

namespace bk {

class PathRules {
 public:
  virtual ~PathRules() = default;

  virtual char Separator() const = 0;
  virtual bool IsSeparator(char c) const = 0;

  // What the platform's files are like, asked by what callers need to know
  // (never by which platform it is).
  // Names that differ in letter case only name the same file (Windows).
  virtual bool FoldsCase() const = 0;
  // FileStat::attributes holds a POSIX mode (file type and permission bits);
  // otherwise FILE_ATTRIBUTE_* bits (Windows).
  virtual bool HasPosixModes() const = 0;
  // Files carry numeric owner and group ids (FileStat::owner and group) that
  // can be set (POSIX).
  virtual bool HasOwners() const = 0;
  // "\" separates components of a path as "/" does (Windows).
  virtual bool BackslashSeparates() const = 0;
  // Some names stand for something else in every folder: device names (CON,
  // NUL, COM1, ...) and names with a ":" (a drive or an alternate stream)
  // (Windows).
  virtual bool ReservesNames() const = 0;
  // Drive part of a path; empty for a relative path.
  virtual std::string GetDriveName(std::string_view path) const = 0;
  // True when the path names a location independent of the current folder.
  virtual bool IsAbsolute(std::string_view path) const = 0;
  // Joins a folder and a name with exactly one separator between them.
  virtual std::string BuildPath(std::string_view folder, std::string_view name) const = 0;
  // The folder part: "C:\A\B\" gives "C:\A", "C:\A" gives "C:\", "C:\" gives
  // "" ("/a/b" gives "/a", "/a" gives "/", "/" gives "").
  virtual std::string GetParentFolderName(std::string_view path) const = 0;
  // The last component, trailing separators ignored.
  virtual std::string GetFileName(std::string_view path) const = 0;
  // Text after the last point of the last component; "" when it has none.
  std::string GetExtensionName(std::string_view path) const;
  // Normalises separators and resolves "." and ".." of an absolute path;
  // a relative path is first joined to `current_folder`.
  virtual std::string Absolute(std::string_view path, std::string_view current_folder) const = 0;
  // The root folder of a drive name ("C:" gives "C:\", "/" gives "/").
  virtual std::string DriveRoot(std::string_view drive) const = 0;
  // The path below its drive's root with "/" separators, as archives store it
  // ("C:\App\a.txt" gives "App/a.txt"; "/srv/a.txt" gives "srv/a.txt").
  // Precondition: `absolute_path` is absolute and normalised.
  std::string PathBelowDrive(std::string_view absolute_path) const;
  // True when `path` lies below `folder`, the folder itself excluded; both
  // absolute and normalised. Letter case counts.
  bool IsBelow(std::string_view folder, std::string_view path) const;
};

const PathRules& WindowsPathRules();
const PathRules& PosixPathRules();
// The rules of the platform this program runs on.
const PathRules& NativePathRules();

}  // namespace bk
