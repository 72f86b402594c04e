// Folder trust counts POSIX access ACLs: an entry that lets anyone but the
// caller, root and the caller's group write, as far as the mask lets it,
// makes the folder untrusted. POSIX only (not built for Windows).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "log/trust.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

constexpr uint32_t kNobody = 65534;
constexpr int64_t kCaller = 1000, kCallerGroup = 1000;
constexpr uint32_t kNoId = 0xFFFFFFFF;  // what the kernel keeps for unnamed entries

std::string AclValue(const std::vector<AclEntry>& entries) {
  std::string out;
  const auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
  };
  put(2, 4);
  for (const AclEntry& e : entries) {
    put(e.tag, 2);
    put(e.perm, 2);
    put(e.id, 4);
  }
  return out;
}

TEST(FolderTrust, AclEntriesThatLetOthersWriteMakeTheFolderUntrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to the caller";
  using T = AclEntry;
  struct Row {
    const char* what;
    std::vector<AclEntry> extra;  // besides the owner, owning group and others
    bool trusted;
  };
  const std::vector<Row> rows = {
      {"no ACL", {}, true},
      {"another user may write", {{T::kUser, 07, kNobody}, {T::kMask, 07, kNoId}}, false},
      {"the mask takes the write away", {{T::kUser, 07, kNobody}, {T::kMask, 05, kNoId}}, true},
      {"another user may only read", {{T::kUser, 05, kNobody}, {T::kMask, 07, kNoId}}, true},
      {"the caller may write", {{T::kUser, 07, kCaller}, {T::kMask, 07, kNoId}}, true},
      {"root may write", {{T::kUser, 07, 0}, {T::kMask, 07, kNoId}}, true},
      {"another group may write", {{T::kGroup, 07, kNobody}, {T::kMask, 07, kNoId}}, false},
      {"the caller's group may write", {{T::kGroup, 07, kCallerGroup}, {T::kMask, 07, kNoId}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    ASSERT_EQ(::chown(dir.path().c_str(), kCaller, kCallerGroup), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    if (!row.extra.empty()) {
      std::vector<AclEntry> acl = {{T::kUserObj, 07, kNoId}, {T::kGroupObj, 05, kNoId}};
      acl.insert(acl.end(), row.extra.begin(), row.extra.end());
      acl.push_back({T::kOther, 05, kNoId});
      // The kernel takes the entries in tag order.
      std::sort(acl.begin(), acl.end(), [](const T& a, const T& b) { return a.tag < b.tag; });
      const std::string value = AclValue(acl);
      if (::setxattr(dir.path().c_str(), "system.posix_acl_access", value.data(), value.size(), 0) != 0) {
        if (errno == ENOTSUP) GTEST_SKIP() << "the file system here keeps no ACLs";
        FAIL() << std::strerror(errno);
      }
      ASSERT_EQ(DefaultFileSystem()->AccessAcl(dir.path()), acl);
    }
    const std::optional<Error> distrust = FolderDistrust(*DefaultFileSystem(), dir.path(), kCaller, kCallerGroup);
    EXPECT_EQ(!distrust.has_value(), row.trusted) << (distrust ? distrust->description() : "trusted");
  }
}

}  // namespace
}  // namespace bk::testing
