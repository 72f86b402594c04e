#include "component/fs/path_rules.h"

#include <vector>

namespace bk {
namespace {

// Rules shared by both platforms, written in terms of two measures of a path:
// the length of its drive and the length of its root (the drive plus the
// separator that makes the path rooted, when there is one).
class RulesBase : public PathRules {
 public:
  std::string GetDriveName(std::string_view path) const override {
    return std::string(path.substr(0, DriveLength(path)));
  }

  std::string BuildPath(std::string_view folder, std::string_view name) const override {
    if (folder.empty()) return std::string(name);
    size_t end = TrimmedEnd(folder);
    size_t start = 0;
    while (start < name.size() && IsSeparator(name[start])) ++start;
    std::string out(folder.substr(0, end));
    if (!IsSeparator(out.back())) out += Separator();
    out.append(name.substr(start));
    return out;
  }

  std::string GetParentFolderName(std::string_view path) const override {
    const Component last = LastComponent(path);
    if (last.end <= last.root) return {};
    size_t i = last.start;
    if (i <= last.root) return std::string(path.substr(0, last.root));
    // Drop the run of separators before the last component.
    while (i > last.root && IsSeparator(path[i - 1])) --i;
    return std::string(path.substr(0, i));
  }

  std::string GetFileName(std::string_view path) const override {
    const Component last = LastComponent(path);
    return std::string(path.substr(last.start, last.end - last.start));
  }

  std::string Absolute(std::string_view path, std::string_view current_folder) const override {
    std::string full;
    if (IsAbsolute(path) || current_folder.empty()) {
      full = path;
    } else if (!path.empty() && IsSeparator(path[0])) {
      full = GetDriveName(current_folder) + std::string(path);
    } else {
      full = BuildPath(current_folder, path);
    }
    return Normalize(full);
  }

  std::string DriveRoot(std::string_view drive) const override {
    if (drive.empty()) return {};
    std::string root(drive);
    if (!IsSeparator(root.back())) root += Separator();
    return root;
  }

 protected:
  virtual size_t DriveLength(std::string_view path) const = 0;
  virtual size_t RootLength(std::string_view path) const = 0;

 private:
  // The last component spans [start, end), trailing separators excluded;
  // it is empty when the path is only a root.
  struct Component {
    size_t root, start, end;
  };
  Component LastComponent(std::string_view path) const {
    const size_t root = RootLength(path);
    const size_t end = TrimmedEnd(path);
    size_t start = end;
    while (start > root && !IsSeparator(path[start - 1])) --start;
    return {root, start, end};
  }

  // End of the path without trailing separators, never cutting into the root.
  size_t TrimmedEnd(std::string_view path) const {
    const size_t root = RootLength(path);
    size_t end = path.size();
    while (end > root && IsSeparator(path[end - 1])) --end;
    return end;
  }

  std::string Normalize(std::string_view full) const {
    const size_t drive = DriveLength(full);
    const bool rooted = RootLength(full) > 0 || drive > 0;
    std::vector<std::string_view> parts;
    size_t i = drive;
    while (i < full.size()) {
      while (i < full.size() && IsSeparator(full[i])) ++i;
      const size_t start = i;
      while (i < full.size() && !IsSeparator(full[i])) ++i;
      const std::string_view part = full.substr(start, i - start);
      if (part.empty() || part == ".") continue;
      if (part == ".." && !parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (part != ".." || !rooted) {
        parts.push_back(part);
      }
    }
    std::string out = drive > 0 ? DriveRoot(full.substr(0, drive)) : std::string(rooted ? 1 : 0, Separator());
    for (size_t k = 0; k < parts.size(); ++k) {
      if (k > 0) out += Separator();
      out.append(parts[k]);
    }
    return out;
  }
};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

class WindowsRules final : public RulesBase {
 public:
  char Separator() const override { return '\\'; }
  bool IsSeparator(char c) const override { return c == '\\' || c == '/'; }
  bool FoldsCase() const override { return true; }
  bool HasPosixModes() const override { return false; }
  bool HasOwners() const override { return false; }
  bool BackslashSeparates() const override { return true; }
  bool ReservesNames() const override { return true; }
  // A drive letter makes a path absolute even without a separator after it:
  // "C:" and "C:a" stand for "C:\" and "C:\a", never for the current folder
  // of drive C.
  bool IsAbsolute(std::string_view path) const override { return DriveLength(path) > 0; }

 protected:
  size_t DriveLength(std::string_view path) const override {
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') return 2;
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
    // \\server\share
    size_t i = 2;
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    if (i == 2 || i == path.size()) return 0;
    const size_t share = ++i;
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    return i == share ? 0 : i;
  }
  size_t RootLength(std::string_view path) const override {
    const size_t drive = DriveLength(path);
    return drive < path.size() && IsSeparator(path[drive]) ? drive + 1 : drive;
  }
};

class PosixRules final : public RulesBase {
 public:
  char Separator() const override { return '/'; }
  bool IsSeparator(char c) const override { return c == '/'; }
  bool FoldsCase() const override { return false; }
  bool HasPosixModes() const override { return true; }
  bool HasOwners() const override { return true; }
  bool BackslashSeparates() const override { return false; }
  bool ReservesNames() const override { return false; }
  bool IsAbsolute(std::string_view path) const override { return !path.empty() && path[0] == '/'; }

 protected:
  size_t DriveLength(std::string_view path) const override { return IsAbsolute(path) ? 1 : 0; }
  size_t RootLength(std::string_view path) const override { return DriveLength(path); }
};

}  // namespace

std::string PathRules::GetExtensionName(std::string_view path) const {
  const std::string name = GetFileName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string PathRules::PathBelowDrive(std::string_view absolute_path) const {
  size_t i = GetDriveName(absolute_path).size();
  while (i < absolute_path.size() && IsSeparator(absolute_path[i])) ++i;
  std::string out(absolute_path.substr(i));
  for (char& c : out) {
    if (IsSeparator(c)) c = '/';
  }
  return out;
}

bool PathRules::IsBelow(std::string_view folder, std::string_view path) const {
  std::string prefix(folder);
  if (prefix.empty() || !IsSeparator(prefix.back())) prefix += Separator();
  return path.size() > prefix.size() && path.starts_with(prefix);
}

const PathRules& WindowsPathRules() {
  static const WindowsRules rules;
  return rules;
}

const PathRules& PosixPathRules() {
  static const PosixRules rules;
  return rules;
}

}  // namespace bk
