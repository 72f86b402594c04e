#include "zip_test_util.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "component/zip/zip_writer.h"

namespace bk::testing {

bool OnWindows() { return &NativePathRules() == &WindowsPathRules(); }

bool HaveTool(const std::string& name) {
  static std::map<std::string, bool> known;
  const auto it = known.find(name);
  if (it != known.end()) return it->second;
  return known[name] = !OnWindows() && Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return status == -1 ? -1 : (status >> 8) & 0xFF;
}

std::string Quoted(const std::string& path) {
  std::string out = "'";
  for (const char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::string TextBytes(size_t n) {
  std::string out;
  for (int line = 0; out.size() < n; ++line) {
    out += "line " + std::to_string(line) + ": the quick brown fox jumps over the lazy dog\n";
  }
  out.resize(n);
  return out;
}

void ExpectForeignReadersAcceptEntry(const std::string& archive, const std::string& entry) {
  if (OnWindows()) return;
  const std::string q = Quoted(archive);
  const std::string e = entry.empty() ? std::string() : " " + Quoted(entry);
  if (HaveTool("unzip")) {
    EXPECT_EQ(Shell("unzip -tqq " + q + e + " >/dev/null"), 0) << "unzip -t " << archive;
  }
  if (HaveTool("python3")) {
    // testzip() reads every entry; reading one entry to its end checks its CRC too.
    const std::string check = entry.empty() ? "sys.exit(z.testzip() is not None)" : "z.read(sys.argv[2])";
    EXPECT_EQ(Shell("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); " + check + "' " + q + e), 0)
        << "python zipfile " << archive;
  }
  if (HaveTool("bsdtar")) {
    EXPECT_EQ(Shell("bsdtar -tf " + q + " >/dev/null"), 0) << "bsdtar -tf " << archive;
  }
}

void ExpectForeignReadersAccept(const std::string& archive) { ExpectForeignReadersAcceptEntry(archive, ""); }

size_t MemoryFile::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (offset >= bytes.size()) return 0;
  const size_t count = std::min<size_t>(n, bytes.size() - offset);
  std::copy_n(bytes.data() + offset, count, static_cast<char*>(buffer));
  return count;
}

void MemoryFile::WriteAt(uint64_t offset, const void* data, size_t n) {
  if (bytes.size() < offset + n) bytes.resize(offset + n);
  std::copy_n(static_cast<const char*>(data), n, bytes.data() + offset);
}

FileStat MemoryFile::Stat() {
  FileStat st;
  st.size = bytes.size();
  return st;
}

void BuildArchive(const std::string& path, const std::vector<RawEntry>& entries) {
  auto file = std::make_unique<MemoryFile>();
  std::string central;
  uint64_t offset = 0;
  for (const RawEntry& raw : entries) {
    zip::Entry e;
    e.name = raw.name;
    e.made_by = raw.made_by;
    e.external_attributes = raw.external_attributes;
    e.unix_mtime = 1'000'000'000;
    zip::ToDosTime(*e.unix_mtime, &e.dos_time, &e.dos_date);
    const zip::SourceReader read = [&](uint64_t at, void* buffer, size_t n) -> size_t {
      if (at >= raw.data.size()) return 0;
      const size_t count = std::min<size_t>(n, raw.data.size() - at);
      std::copy_n(raw.data.data() + at, count, static_cast<char*>(buffer));
      return count;
    };
    offset = zip::WriteEntry(*file, offset, read, raw.data.size(), &e).end;
    central += zip::EncodeCentralRecord(e);
  }
  zip::WriteDirectory(*file, offset, central, entries.size());
  WriteFile(path, file->bytes);
}

std::string ZipTest::MakeFile(const std::string& relative, const std::string& bytes) {
  const std::string path = dir / relative;
  WriteFile(path, bytes);
  return path;
}

void ZipTest::ZipFile(const std::string& path) {
  archive.FilesToProcess = path;
  ASSERT_EQ(archive.Zip(), 0) << path;
}

std::vector<std::string> ZipTest::Names() { return archive.ListEntries(); }

}  // namespace bk::testing
