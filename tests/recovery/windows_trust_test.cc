// Trust on Windows: a log or its folder whose access list lets other users
// change it is skipped with the errors POSIX gives. Wine keeps access lists
// as far as mode bits carry them, and no owner but the running user's.
// Built for Windows only.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "component/platform.h"
#include "log/rollback_log.h"
#include "log/trust.h"
#include "recovery/rollback_manager.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Gives `path` an access list of its own: full control for SYSTEM,
// Administrators and the caller, and `everyone` (SDDL rights) for Everyone.
void SetAccess(const std::string& path, const wchar_t* everyone) {
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  char user[256];
  DWORD size = sizeof user;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, size, &size));
  CloseHandle(token);
  LPWSTR caller = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &caller);
  const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;") + caller + L")(A;;" + everyone + L";;;WD)";
  LocalFree(caller);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  const DWORD set = SetNamedSecurityInfoW(W(path).data(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, dacl, nullptr);
  LocalFree(sd);
  ASSERT_EQ(set, 0u) << path;
}

TEST(WindowsTrust, ALogOrFolderThatOthersMayChangeIsSkipped) {
  TempDir dir;
  const std::string log = dir / "Safe 2002-02-11 14.03.44.xml";
  clsFileRollbackLog::Create()->CreateLogFile(log);
  struct Row {
    const char* what;
    std::string path;
    const wchar_t* everyone;
    const char* reason;  // nullptr: listed
  } rows[] = {
      {"others may read", log, L"FR", nullptr},
      {"others may write the log", log, L"FW", "Not trusted: writable by group or others"},
      {"others may write the folder", dir.path(), L"FW", "Not trusted: in a folder another user can write"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetAccess(log, L"FR");
    SetAccess(dir.path(), L"FR");
    SetAccess(row.path, row.everyone);
    clsRollbackManager manager;
    manager.AssessRollback(dir.path());
    if (!row.reason) {
      EXPECT_EQ(manager.FailedLogs()->Count(), 1);
      EXPECT_TRUE(manager.SkippedLogs().empty());
      continue;
    }
    ASSERT_EQ(manager.SkippedLogs().size(), 1u);
    EXPECT_EQ(manager.SkippedLogs()[0].error.number(), errnum::kPermissionDenied);
    EXPECT_EQ(manager.SkippedLogs()[0].error.description(), row.reason);
  }
  SetAccess(dir.path(), L"FA");  // so that the folder can be removed
}

TEST(WindowsTrust, AFileAnotherUserOwnsIsDistrusted) {
  TempDir dir;
  WriteFile(dir / "planted.zip", "planted");
  PSID other = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1234", &other));
  SetNamedSecurityInfoW(W(dir / "planted.zip").data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, other, nullptr,
                        nullptr, nullptr);
  LocalFree(other);
  const FileStat st = DefaultFileSystem()->Open(dir / "planted.zip", OpenMode::kReadRegular)->Stat();
  if (st.listed_access != ListedAccess::kOtherOwner) {
    GTEST_SKIP() << "the file could not be given away: Wine keeps the running user as the owner of what it writes, "
                    "and Windows asks for the restore privilege";
  }
  EXPECT_EQ(FileDistrust(st, "planted.zip", CurrentUserId())->description(), "Not trusted: owned by another user");
}

}  // namespace
}  // namespace bk::testing
