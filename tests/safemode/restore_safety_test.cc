// A rollback run by root in folders other users can reach: it writes only
// through folders reached without a link another user could have placed,
// sets metadata on the files it wrote and nowhere else, creates its new files
// privately and beside whatever was planted, and gives owners back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"
#include "tests/support/fault_injection.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

constexpr uint32_t kNobody = 65534;

// Runs `hook` once after the restored files' content is flushed and before
// their metadata is set; with `deny_owner`, giving a file away fails as it
// does without privilege.
class HookedFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::function<void()> hook;
  bool deny_owner = false;

  void SyncFiles(const std::vector<File*>& files) override {
    ForwardingFileSystem::SyncFiles(files);
    if (hook) std::exchange(hook, nullptr)();
  }
  std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) override {
    return std::make_unique<OwnerDenyingFolder>(ForwardingFileSystem::OpenFolder(path, created), deny_owner);
  }

 private:
  struct OwnerDenyingFile : ForwardingFile {
    using ForwardingFile::ForwardingFile;
    void SetOwner(uint32_t, uint32_t) override { throw Error::Standard(errnum::kPermissionDenied, path(), EPERM); }
  };
  struct OwnerDenyingFolder : ForwardingFolder {
    OwnerDenyingFolder(std::unique_ptr<Folder> inner, bool deny) : ForwardingFolder(std::move(inner)), deny_(deny) {}
    std::unique_ptr<File> OpenEntry(std::string_view n, OpenMode m) override { return Wrap(target().OpenEntry(n, m)); }
    std::unique_ptr<File> OpenForRewrite(std::string_view n) override { return Wrap(target().OpenForRewrite(n)); }
    std::unique_ptr<File> Wrap(std::unique_ptr<File> f) {
      return deny_ ? std::make_unique<OwnerDenyingFile>(std::move(f)) : std::move(f);
    }
    bool deny_;
  };
};

struct Case {
  Scratch s;
  std::shared_ptr<HookedFileSystem> fs = std::make_shared<HookedFileSystem>(s.fs);

  // Stores `files` as they are now in a drive archive of a log made by hand;
  // the log lists `listed` (the files by default).
  std::shared_ptr<clsFileRollbackLog> MakeSafe(const std::vector<std::string>& files,
                                               std::vector<std::string> listed = {}) {
    if (!s.fs->FolderExists(s.temp)) s.fs->CreateFolder(s.temp);
    const std::string drive = s.fs->GetDriveName(s.data);
    std::string marker = "\xFF\xFE";
    for (char c : drive + "\r\n") marker += std::string{c, '\0'};
    ArchiveComponent zip(s.fs);
    zip.ArchiveFileName = s.fs->BuildPath(s.temp, "drive-1.zip");
    zip.CreateNew(kDriveMarkerName, marker);
    for (int32_t stored : zip.ZipFiles(files)) EXPECT_EQ(stored, 0);
    auto log = clsFileRollbackLog::Create(fs);
    log->CreateLogFile(s.fs->BuildPath(s.temp, "Safe by hand.xml"));
    auto entry = log->AddZip(zip.ArchiveFileName, drive);
    for (const std::string& path : listed.empty() ? files : listed) entry->AddFile(path);
    return log;
  }
};

bool IsRoot() { return ::geteuid() == 0; }

uint32_t ModeOf(const std::string& path) { return static_cast<uint32_t>(stdfs::status(path).permissions()); }

// A user who owns a folder of the protected file's path swaps a folder below
// it for a link to a root-only folder before the rollback: that file fails
// with the reason, nothing lands in the root-only folder, the rest come back.
TEST(RestoreSafety, ALinkAnotherUserPlacedInTheFoldersIsRefused) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to act as two users";
  Case c;
  Scratch& s = c.s;
  const std::string home = s.Data("home"), secret = s.dir / "root-only";
  WriteFile(s.fs->BuildPath(home, "sub/passwd"), "the user's file");
  WriteFile(s.Data("other.txt"), "other original");
  stdfs::create_directory(secret);
  stdfs::permissions(secret, stdfs::perms::owner_all);
  ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
  const std::string passwd = s.fs->BuildPath(home, "sub/passwd");
  auto log = c.MakeSafe({passwd, s.Data("other.txt")});
  WriteFile(s.Data("other.txt"), "changed");
  stdfs::rename(s.fs->BuildPath(home, "sub"), s.fs->BuildPath(home, "old"));
  stdfs::create_directory_symlink(secret, s.fs->BuildPath(home, "sub"));
  ASSERT_EQ(::lchown(s.fs->BuildPath(home, "sub").c_str(), kNobody, kNobody), 0);

  RestoreReport report;
  const Raised raised = Catch([&] { log->RestoreFiles(report); });
  EXPECT_EQ(raised.number, errnum::kArchiveError);
  ASSERT_EQ(report.failed.size(), 1u);
  EXPECT_EQ(report.failed[0].number(), errnum::kPermissionDenied);
  EXPECT_EQ(report.failed[0].path(), passwd);
  EXPECT_NE(report.failed[0].description().find("a link another user could have placed was refused"),
            std::string::npos)
      << report.failed[0].description();
  EXPECT_EQ(report.restored, std::vector<std::string>{s.Data("other.txt")});
  EXPECT_EQ(ReadFile(s.Data("other.txt")), "other original");
  EXPECT_TRUE(stdfs::is_empty(secret));
}

// The restored file is swapped for a link to another file after its content
// is flushed: its mode and time go to the file that was written, never to
// the file the link names.
TEST(RestoreSafety, MetadataGoesToTheFileWrittenNotToALinkSwappedIn) {
  for (const bool gone : {false, true}) {
    SCOPED_TRACE(gone ? "recreated" : "rewritten in place");
    Case c;
    Scratch& s = c.s;
    const std::string file = s.Data("f.txt"), victim = s.dir / "victim", moved = s.Data("moved");
    WriteFile(file, "original");
    WriteFile(victim, "victim");
    stdfs::permissions(file, stdfs::perms(04777));
    stdfs::permissions(victim, stdfs::perms(0600));
    const auto victim_time = stdfs::last_write_time(victim);
    auto log = c.MakeSafe({file});
    if (gone) stdfs::remove(file);
    c.fs->hook = [&] {
      stdfs::rename(gone ? file + ".brightkeep-restore" : file, moved);
      stdfs::create_symlink(victim, gone ? file + ".brightkeep-restore" : file);
    };
    RestoreReport report;
    Catch([&] { log->RestoreFiles(report); });
    EXPECT_EQ(ModeOf(victim), 0600u);
    EXPECT_EQ(stdfs::last_write_time(victim), victim_time);
    EXPECT_EQ(ReadFile(victim), "victim");
    EXPECT_EQ(ModeOf(moved), 04777u);
  }
}

// Owner and group come back for a file changed in place (given to root by
// the change) and for one replaced by a new file renamed over it; without
// the privilege to give files away the file still counts as restored, the
// report says what is missing and the set-user-ID bit is not applied.
TEST(RestoreSafety, OwnerAndGroupComeBackOrTheReportSaysWhyNot) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to give files away";
  for (const bool denied : {false, true}) {
    SCOPED_TRACE(denied ? "giving files away not permitted" : "as root");
    Case c;
    Scratch& s = c.s;
    c.fs->deny_owner = denied;
    const std::string in_place = s.Data("in-place"), renamed = s.Data("renamed");
    for (const std::string& f : {in_place, renamed}) {
      WriteFile(f, "original");
      ASSERT_EQ(::chown(f.c_str(), kNobody, kNobody), 0);
      stdfs::permissions(f, stdfs::perms(04755));
    }
    auto log = c.MakeSafe({in_place, renamed});
    ASSERT_EQ(::chown(in_place.c_str(), 0, 0), 0);
    WriteFile(in_place, "changed");
    WriteFile(renamed + ".new", "replaced");
    stdfs::rename(renamed + ".new", renamed);

    RestoreReport report;
    log->RestoreFiles(report);
    EXPECT_EQ(report.restored, (std::vector<std::string>{in_place, renamed}));
    const std::string note = denied ? "owner and group not restored: not permitted" : "";
    EXPECT_EQ(report.notes, (std::vector<std::string>{note, note}));
    for (const std::string& f : {in_place, renamed}) {
      const FileStat st = s.fs->Stat(f);
      EXPECT_EQ(ReadFile(f), "original");
      EXPECT_EQ(st.owner, denied ? 0 : kNobody) << f;
      EXPECT_EQ(st.group, denied ? 0 : kNobody) << f;
      EXPECT_EQ(st.attributes & 07777, denied ? 0755u : 04755u) << f;
    }
  }
}

// The file written beside a target that is gone is created for its owner
// only and never where something already is: a planted link and a planted
// file of its names are left alone, and the file still comes back.
TEST(RestoreSafety, TheNewFileIsPrivateAndPlantedNamesAreLeftAlone) {
  Case c;
  Scratch& s = c.s;
  const std::string file = s.Data("gone.txt"), victim = s.dir / "victim";
  WriteFile(file, "original");
  WriteFile(victim, "victim");
  const uint32_t recorded = ModeOf(file);
  auto log = c.MakeSafe({file});
  stdfs::remove(file);
  stdfs::create_symlink(victim, file + ".brightkeep-restore");
  WriteFile(file + ".brightkeep-restore.1", "planted");
  std::vector<std::string> seen;
  c.fs->hook = [&] {
    for (const std::string& name : s.FilesIn(s.data)) {
      const std::string path = s.Data(name);
      if (!stdfs::is_symlink(path) && name != "gone.txt.brightkeep-restore.1") {
        seen.push_back(name + " " + std::to_string(ModeOf(path) & 0777));
      }
    }
  };
  RestoreReport report;
  log->RestoreFiles(report);
  EXPECT_EQ(seen, std::vector<std::string>{"gone.txt.brightkeep-restore.2 384"});  // 0600
  EXPECT_EQ(ReadFile(file), "original");
  EXPECT_EQ(ModeOf(file), recorded);
  EXPECT_EQ(stdfs::read_symlink(file + ".brightkeep-restore"), victim);
  EXPECT_EQ(ReadFile(victim), "victim");
  EXPECT_EQ(ReadFile(file + ".brightkeep-restore.1"), "planted");
}

// Logs of earlier versions recorded paths relative to the drive: they come
// back below the archive's drive; a path that climbs out with ".." is
// refused, the others still come back.
TEST(RestoreSafety, RelativePathsOfEarlierLogsComeBackBelowTheDrive) {
  Case c;
  Scratch& s = c.s;
  const std::string file = s.Data("old.txt");
  WriteFile(file, "original");
  const std::string below = s.fs->paths().PathBelowDrive(file);
  const std::string climbing = "x/../" + below;
  auto log = c.MakeSafe({file}, {below, climbing});
  WriteFile(file, "changed");
  RestoreReport report;
  EXPECT_EQ(Catch([&] { log->RestoreFiles(report); }).number, errnum::kArchiveError);
  EXPECT_EQ(report.restored, std::vector<std::string>{below});
  ASSERT_EQ(report.failed.size(), 1u);
  EXPECT_EQ(report.failed[0].number(), errnum::kBadFileNameOrNumber);
  EXPECT_EQ(report.failed[0].path(), climbing);
  EXPECT_EQ(ReadFile(file), "original");
}

// The hidden folder of a period's own files, judged, goes (the last period
// using it ended) and another user makes one in its place before the lock is
// made: the claim is refused, and no log of the period is begun.
TEST(RestoreSafety, AFilesFolderReplacedBeforeTheLockIsMadeIsRefused) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to act as two users";
  Scratch s;
  auto disk = std::make_shared<FaultInjectingFileSystem>(s.fs);
  const std::string hidden = s.fs->BuildPath(s.temp, ".brightkeep");
  disk->BeforeOperationIn(hidden, kFaultOpen, 1, [&] {
    stdfs::remove(hidden);
    stdfs::create_directory(hidden);
    ASSERT_EQ(::chown(hidden.c_str(), kNobody, kNobody), 0);
  });
  clsFileRollbackCreate period(disk);
  period.TempDir(s.temp);
  const Raised raised = Catch([&] { period.BeginSafety(); });
  EXPECT_EQ(raised.number, errnum::kPermissionDenied) << raised.description;
  EXPECT_EQ(s.FilesIn(s.temp), std::vector<std::string>{});
}

}  // namespace
}  // namespace bk::testing
