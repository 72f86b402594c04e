#include "tests/safemode/period_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "component/text.h"
#include "component/zip/archive.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

constexpr const char* kLister = R"(import os, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
with open(os.path.join(sys.argv[2], 'index.txt'), 'w', encoding='utf-8') as index:
    if bad is not None:
        index.write('!BAD ' + bad + '\n')
    for i, info in enumerate(z.infolist()):
        with open(os.path.join(sys.argv[2], '%d.bin' % i), 'wb') as f:
            f.write(z.read(info))
        index.write(info.filename + '\n')
)";

ArchiveContents ReadWithPython(const std::string& archive, const std::string& folder) {
  WriteFile(folder + "/lister.py", kLister);
  const std::string command = "python3 \"" + folder + "/lister.py\" \"" + archive + "\" \"" + folder + "\"";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "python3 zipfile could not read " << archive;
  ArchiveContents contents;
  std::istringstream index(ReadFile(folder + "/index.txt"));
  std::string name;
  for (int i = 0; std::getline(index, name); ++i) {
    if (name.rfind("!BAD ", 0) == 0) {
      ADD_FAILURE() << "CRC error in " << archive << ": " << name;
      --i;
      continue;
    }
    contents[name] = ReadFile(folder + "/" + std::to_string(i) + ".bin");
  }
  return contents;
}

ArchiveContents ReadWithComponent(const std::string& archive, const std::string& folder) {
  auto fs = DefaultFileSystem();
  ArchiveComponent zip(fs);
  zip.ArchiveFileName = archive;
  ArchiveContents contents;
  int i = 0;
  for (const std::string& name : zip.ListEntries()) {
    const std::string out = fs->BuildPath(folder, std::to_string(i++));
    zip.FilesToProcess = name;
    zip.DestinationFolder = out;
    zip.KeepPaths = false;
    zip.Unzip();
    contents[name] = ReadFile(fs->BuildPath(out, fs->GetFileName(name)));
  }
  return contents;
}

}  // namespace

bool OnWindows() { return &NativePathRules() == &WindowsPathRules(); }

uint64_t SweepStride() {
  const char* setting = std::getenv("BK_SWEEP_STRIDE");
  const uint64_t stride = setting != nullptr ? std::strtoull(setting, nullptr, 10) : (OnWindows() ? 10 : 1);
  return std::max<uint64_t>(1, stride);
}

std::string Scratch::Data(std::string_view name) const { return fs->BuildPath(data, name); }

std::vector<std::string> Scratch::FilesIn(const std::string& folder) const {
  std::vector<std::string> names;
  if (!fs->FolderExists(folder)) return names;
  for (const FolderEntry& entry : fs->ListFiles(folder)) {
    if (!entry.name.ends_with(".lock")) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

CurrentFolder::CurrentFolder(const std::string& folder) {
  const auto u8 = stdfs::current_path().u8string();
  previous_.assign(u8.begin(), u8.end());
  stdfs::current_path(stdfs::path(std::u8string(folder.begin(), folder.end())));
}

CurrentFolder::~CurrentFolder() {
  std::error_code ec;
  stdfs::current_path(stdfs::path(std::u8string(previous_.begin(), previous_.end())), ec);
}

std::string TwoDriveRules::GetDriveName(std::string_view path) const {
  for (const std::string& root : roots_) {
    if (path.substr(0, root.size()) == root && (path.size() == root.size() || IsSeparator(path[root.size()]))) {
      return root;
    }
  }
  return base_.GetDriveName(path);
}

std::string TwoDriveRules::DriveRoot(std::string_view drive) const {
  for (const std::string& root : roots_) {
    if (drive == root) return root + Separator();
  }
  return base_.DriveRoot(drive);
}

FileState Snapshot(FileSystem& fs, const std::string& path) {
  const FileStat stat = fs.Stat(path);
  return {ReadFile(path), stat.modified_ns / 1000000000, stat.read_only};
}

void MakeReadOnly(const std::string& path) {
  const stdfs::path p(std::u8string(path.begin(), path.end()));
  stdfs::permissions(p, stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
                     stdfs::perm_options::remove);
}

std::string NoiseBytes(size_t n, uint32_t seed) {
  std::string bytes(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return bytes;
}

ArchiveContents ReadArchive(const std::string& archive, const std::string& scratch_folder) {
  stdfs::create_directories(stdfs::path(std::u8string(scratch_folder.begin(), scratch_folder.end())));
  return OnWindows() ? ReadWithComponent(archive, scratch_folder) : ReadWithPython(archive, scratch_folder);
}

std::string Utf16FileText(const std::string& bytes) {
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') {
    ADD_FAILURE() << "no UTF-16 LE byte-order mark";
    return {};
  }
  std::u16string wide;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text::ToUtf8(wide);
}

}  // namespace bk::testing
