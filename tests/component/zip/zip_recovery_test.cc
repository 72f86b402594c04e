// Archives cut short or damaged: complete entries are recovered, appending
// rebuilds a valid archive, and nothing crashes or loops.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "component/error.h"
#include "support/fault_injection.h"
#include "component/zip/zip_reader.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

class Recovery : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    archive.KeepPaths = false;
    contents_ = {{"first.txt", TextBytes(3000)}, {"second.bin", RandomBytes(700, 11)}, {"third.txt", TextBytes(900)}};
    for (const auto& [name, bytes] : contents_) ZipFile(MakeFile(name, bytes));
    whole_ = ReadFile(archive_path);
    auto file = fs->Open(archive_path, OpenMode::kRead);
    directory_ = zip::ReadDirectory(*file);
  }

  // Reads `path` and checks that exactly the first `count` entries are
  // found, with their data intact (without writing them anywhere).
  void ExpectReadable(const std::string& path, size_t count) {
    auto file = fs->Open(path, OpenMode::kRead);
    const zip::Directory d = zip::ReadDirectory(*file);
    ASSERT_EQ(d.entries.size(), count);
    for (size_t i = 0; i < count; ++i) {
      std::string data;
      EXPECT_TRUE(zip::ExtractEntry(*file, file->Size(), d.entries[i], [&](const char* p, size_t n) { data.append(p, n); }));
      EXPECT_EQ(d.entries[i].name, contents_[i].first);
      EXPECT_EQ(data, contents_[i].second);
    }
  }

  // Unzips `path` and checks that exactly the first `count` entries come back.
  void ExpectEntries(const std::string& path, size_t count, const std::string& out) {
    ArchiveComponent reader(fs);
    reader.ArchiveFileName = path;
    ASSERT_EQ(reader.ListEntries().size(), count);
    reader.DestinationFolder = out;
    reader.KeepPaths = false;
    reader.Unzip();
    for (size_t i = 0; i < contents_.size(); ++i) {
      const std::string target = fs->BuildPath(out, contents_[i].first);
      if (i < count) {
        EXPECT_EQ(ReadFile(target), contents_[i].second);
      } else {
        EXPECT_FALSE(Exists(target));
      }
    }
  }

  std::vector<std::pair<std::string, std::string>> contents_;
  std::string whole_;
  zip::Directory directory_;
};

TEST_F(Recovery, CutAtEveryOffsetOfTheLastEntryAndDirectory) {
  const zip::Entry& last = directory_.entries.back();
  const uint64_t last_end = directory_.append_offset;  // the third entry's data ends where the directory starts
  const std::string cut = dir / "cut.zip";
  const std::string added = MakeFile("added.txt", "added after the crash");
  for (uint64_t length = last.header_offset; length < whole_.size(); ++length) {
    SCOPED_TRACE(length);
    const size_t complete = length >= last_end ? 3 : 2;
    WriteFile(cut, whole_.substr(0, length));
    ExpectReadable(cut, complete);
    if (length % 5 != 0) continue;
    ExpectEntries(cut, complete, dir / ("out" + std::to_string(length)));

    // Appending rebuilds the archive after the last good entry.
    ArchiveComponent writer(fs);
    writer.ArchiveFileName = cut;
    writer.KeepPaths = false;
    writer.FilesToProcess = added;
    ASSERT_EQ(writer.Zip(), 0);
    const std::vector<std::string> names = writer.ListEntries();
    ASSERT_EQ(names.size(), complete + 1);
    EXPECT_EQ(names.back(), "added.txt");
    if (length % 97 == 0) ExpectForeignReadersAccept(cut);
  }
}

// A directory rebuilt by the scan is written by the next call that writes,
// whatever that call stores: the archive is then whole for strict readers.
TEST_F(Recovery, TheNextWritingCallWritesARebuiltDirectory) {
  const std::string cut = dir / "cut.zip";
  const std::string missing = dir / "missing.txt";
  const std::vector<std::pair<const char*, std::function<void(ArchiveComponent&)>>> calls = {
      {"Flush", [](ArchiveComponent& z) { z.Flush(); }},
      {"ListEntries, Flush", [](ArchiveComponent& z) {
         z.ListEntries();
         z.Flush();
       }},
      {"ZipFiles of a missing file", [&](ArchiveComponent& z) { EXPECT_NE(z.ZipFiles({missing})[0], 0); }},
      {"Zip", [&](ArchiveComponent& z) {
         z.FilesToProcess = dir / "first.txt";
         EXPECT_EQ(z.Zip(), 0);
       }},
  };
  for (const auto& [what, call] : calls) {
    SCOPED_TRACE(what);
    WriteFile(cut, whole_.substr(0, directory_.append_offset + 10));
    ArchiveComponent writer(fs);
    writer.ArchiveFileName = cut;
    call(writer);
    auto file = fs->Open(cut, OpenMode::kRead);
    zip::Directory strict;
    ASSERT_TRUE(zip::ReadCompleteDirectory(*file, &strict));
    EXPECT_GE(strict.entries.size(), 3u);
  }
}

TEST_F(Recovery, AnArchiveCutInsideItsFirstEntryStartsAfresh) {
  const std::string cut = dir / "cut.zip";
  for (uint64_t length : {1u, 3u, 4u, 29u, 60u, 200u}) {
    WriteFile(cut, whole_.substr(0, length));
    ArchiveComponent writer(fs);
    writer.ArchiveFileName = cut;
    EXPECT_TRUE(writer.ListEntries().empty());
    writer.KeepPaths = false;
    writer.FilesToProcess = dir / "third.txt";
    ASSERT_EQ(writer.Zip(), 0);
    EXPECT_EQ(writer.ListEntries(), std::vector<std::string>{"third.txt"});
  }
  ExpectForeignReadersAccept(cut);
}

TEST_F(Recovery, AFileThatIsNoArchiveIsNeitherReadNorOverwritten) {
  const std::string other = MakeFile("notes.zip", "these are not the droids you are looking for");
  archive.ArchiveFileName = other;
  archive.FilesToProcess = dir / "first.txt";
  for (auto operation : {&ArchiveComponent::Zip, &ArchiveComponent::Unzip}) {
    try {
      (archive.*operation)();
      ADD_FAILURE() << "a foreign file was taken for an archive";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errnum::kArchiveError);
    }
  }
  EXPECT_EQ(ReadFile(other), "these are not the droids you are looking for");
}

TEST_F(Recovery, DamagedBytesNeverCrashOrLoop) {
  std::mt19937 rng(42);
  const std::string damaged = dir / "damaged.zip";
  for (int round = 0; round < 400; ++round) {
    std::string bytes = whole_;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) {
      // Mostly in the headers and the directory, where the lengths and offsets are.
      const size_t at = rng() % 2 ? directory_.append_offset + rng() % (bytes.size() - directory_.append_offset)
                                  : rng() % bytes.size();
      bytes[at] = rng() % 3 ? static_cast<char>(rng()) : static_cast<char>(0xFF);
    }
    WriteFile(damaged, bytes);
    ArchiveComponent reader(fs);
    reader.ArchiveFileName = damaged;
    reader.DestinationFolder = dir / "fuzz";
    try {
      reader.ListEntries();
      if (round % 10 == 0) {
        reader.Unzip();
        continue;
      }
      auto file = fs->Open(damaged, OpenMode::kRead);
      for (const zip::Entry& e : zip::ReadDirectory(*file).entries) {
        zip::ExtractEntry(*file, bytes.size(), e, [](const char*, size_t) {});
      }
    } catch (const Error&) {
      // Refusing damaged input is fine; crashing, hanging or throwing anything else is not.
    }
  }
}

TEST_F(Recovery, APowerCutAtAnyStepOfZipKeepsEarlierEntries) {
  const std::string added = MakeFile("added.txt", TextBytes(400'000));
  for (uint64_t step = 1;; ++step) {
    SCOPED_TRACE(step);
    WriteFile(archive_path, whole_);
    auto faulty = std::make_shared<FaultInjectingFileSystem>(fs);
    {
      ArchiveComponent writer(faulty);
      writer.ArchiveFileName = archive_path;
      writer.FilesToProcess = added;
      faulty->FailAt(step);
      try {
        writer.Zip();
      } catch (const Error&) {
      }
    }
    const bool fired = faulty->fault_fired();
    faulty->PowerCut();
    ArchiveComponent reader(fs);
    reader.ArchiveFileName = archive_path;
    const std::vector<std::string> names = reader.ListEntries();
    ASSERT_GE(names.size(), 3u);
    ASSERT_LE(names.size(), 4u);
    if (!fired) {
      EXPECT_EQ(names.size(), 4u) << "a zip that returned was not durable";
      break;
    }
    const std::string out = dir / ("cut" + std::to_string(step));
    reader.DestinationFolder = out;
    reader.KeepPaths = false;
    reader.Unzip();
    for (const auto& [name, bytes] : contents_) EXPECT_EQ(ReadFile(fs->BuildPath(out, name)), bytes);
    if (names.size() == 4) {
      EXPECT_EQ(ReadFile(fs->BuildPath(out, "added.txt")), ReadFile(added));
    }
  }
}

}  // namespace
}  // namespace bk::testing
