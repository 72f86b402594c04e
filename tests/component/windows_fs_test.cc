// Windows cases of the file system, under Wine as far as Wine implements
// them: identities read from handles, files in use, and entries removed
// through handles of their own. Built for Windows only.
#include <windows.h>

#include <gtest/gtest.h>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::ErrorOf;

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Closes a handle at the end of a test, whatever the test found.
struct Closing {
  HANDLE h;
  ~Closing() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

class WindowsFsTest : public ::testing::Test {
 protected:
  std::shared_ptr<FileSystem> fs_ = DefaultFileSystem();
  testing::TempDir dir_;
  std::unique_ptr<Folder> folder_ = fs_->OpenFolder(dir_.path(), nullptr);
  std::string At(std::string_view name) const { return fs_->BuildPath(dir_.path(), name); }
  // The temporary paths of these tests are ASCII.
  std::wstring W(std::string_view name) const { const std::string p = At(name); return {p.begin(), p.end()}; }
  void Write(std::string_view name, std::string_view bytes) { testing::WriteFile(At(name), bytes); }
  std::string Read(std::string_view name) { return testing::ReadFile(At(name)); }
  HANDLE OpenShared(std::string_view name, DWORD share) {
    return CreateFileW(W(name).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

TEST_F(WindowsFsTest, EveryStatTellsOneIdentityThatOutlivesChangesAndAReplacedFileAnother) {
  Write("a.txt", "first");
  const FileStat st = fs_->Stat(At("a.txt"));
  EXPECT_NE(st.device, 0u);
  EXPECT_NE(st.file_id | st.file_id_high, 0u);
  EXPECT_NE(st.changed_ns, 0);
  Write("a.txt", "changed");
  fs_->SetAttributes(At("a.txt"), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(SameEntry(fs_->Open(At("a.txt"), OpenMode::kRead)->Stat(), st));
  EXPECT_TRUE(SameEntry(folder_->StatEntry("a.txt"), st));
  ASSERT_EQ(folder_->ListEntries().size(), 1u);
  EXPECT_TRUE(SameEntry(folder_->ListEntries()[0].stat, st));
  EXPECT_TRUE(SameEntry(fs_->Stat(At(".")), folder_->StatEntry("")));
  Write("b.txt", "second");
  folder_->RenameEntry("b.txt", "a.txt");
  EXPECT_FALSE(SameEntry(folder_->StatEntry("a.txt"), st));
  if (UnderWine()) GTEST_SKIP() << "Wine reports the last write as the creation time: no birth time";
  fs_->SetModifiedTime(At("a.txt"), 1013436224LL * 1000000000LL);
  EXPECT_NE(fs_->Stat(At("a.txt")).birth_ns, 0);
}

TEST_F(WindowsFsTest, ARunningProgramOrAMappedFileIsBusyAndNothingOfItIsWritten) {
  wchar_t self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  ASSERT_TRUE(CopyFileW(self, W("program.exe").c_str(), FALSE));
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(W("program.exe").c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &startup, &process));
  const Closing program{process.hProcess}, thread{process.hThread};
  Write("mapped.bin", "mapped content");
  const Closing mapping{[&] {  // the mapping alone holds the file
    const Closing file{OpenShared("mapped.bin", 0)};
    return CreateFileMappingW(file.h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  }()};
  void* view = MapViewOfFile(mapping.h, FILE_MAP_WRITE, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  for (const char* name : {"program.exe", "mapped.bin"}) {
    const std::string before = Read(name);
    const Error e = ErrorOf([&] { folder_->OpenForRewrite(name); });
    EXPECT_TRUE(IsBusyFile(e)) << name << ": " << e.description() << " (" << e.native_code() << ")";
    EXPECT_EQ(Read(name), before) << name;
  }
  UnmapViewOfFile(view);
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, INFINITE);
  // A file nobody uses opens with its content kept to the last byte.
  Write("plain.txt", "plain content");
  folder_->OpenForRewrite("plain.txt")->Close();
  EXPECT_EQ(Read("plain.txt"), "plain content");
}

TEST_F(WindowsFsTest, ARenameReplacesAFileInUseWhereTheFileSystemAllowsItElseSaysWhy) {
  Write("new", "new");
  Write("held", "old");
  {
    // Held open without delete sharing: no file system lets it be replaced.
    const Closing held{OpenShared("held", FILE_SHARE_READ)};
    EXPECT_EQ(ErrorOf([&] { folder_->RenameEntry("new", "held"); }).number(), errnum::kPermissionDenied);
  }
  EXPECT_EQ(Read("held"), "old");
  EXPECT_EQ(Read("new"), "new");
  if (UnderWine()) GTEST_SKIP() << "Wine has no rename with POSIX semantics (FileRenameInfoEx: ERROR_INVALID_PARAMETER)";
  const Closing held{OpenShared("held", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)};
  folder_->RenameEntry("new", "held");
  EXPECT_EQ(Read("held"), "new");
}

TEST_F(WindowsFsTest, EntriesGoOnlyWhileTheyAreTheOnesCompared) {
  const std::string changed = EntryChanged("").description();
  Write("f", "mine");
  const FileStat mine = folder_->StatEntry("f");
  Write("g", "planted");
  folder_->RenameEntry("g", "f");
  EXPECT_EQ(ErrorOf([&] { folder_->RemoveEntryIfSame("f", mine); }).description(), changed);
  EXPECT_EQ(ErrorOf([&] { folder_->SetLinkOwnerIfSame("f", folder_->StatEntry("f"), 0, 0); }).description(), changed);
  fs_->SetAttributes(At("f"), FILE_ATTRIBUTE_READONLY);
  folder_->RemoveEntryIfSame("f", folder_->StatEntry("f"));

  folder_->MakeFolder("d");
  const FileStat first = folder_->StatEntry("d");
  folder_->MakeFolder("e");
  folder_->RemoveSubfolder("d");
  fs_->RenameFile(At("e"), At("d"));
  EXPECT_EQ(ErrorOf([&] { folder_->RemoveSubfolderIfSame("d", first); }).description(), changed);
  const FileStat second = folder_->StatEntry("d");
  Write("d\\inside", "x");
  EXPECT_EQ(ErrorOf([&] { folder_->RemoveSubfolderIfSame("d", second); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { folder_->RemoveEntryIfSame("d", second); }).description(), changed);
  fs_->RemoveFile(At("d\\inside"), true);
  folder_->RemoveSubfolderIfSame("d", second);
  EXPECT_TRUE(folder_->ListNames().empty());
}

}  // namespace
}  // namespace bk
