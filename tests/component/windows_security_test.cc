// The judgement of Windows security descriptors built here byte by byte,
// natively and under Wine.
#include "component/fs/windows_security.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace bk {
namespace {

std::string Le(size_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
  return out;
}

// "S-1-5-32-544" in binary form.
std::string Sid(const std::string& text) {
  std::string subs;
  size_t count = 0, at = text.find('-', 4) + 1;
  const char authority = static_cast<char>(std::stoul(text.substr(4)));
  for (; at != 0; at = text.find('-', at) + 1, ++count) subs += Le(std::stoul(text.substr(at)), 4);
  return std::string{1, static_cast<char>(count), 0, 0, 0, 0, 0, authority} + subs;
}

std::string Ace(uint8_t type, uint8_t flags, uint32_t mask, const std::string& sid, const std::string& object = "") {
  const std::string body = Le(mask, 4) + object + Sid(sid);
  return std::string{static_cast<char>(type), static_cast<char>(flags)} + Le(4 + body.size(), 2) + body;
}

// A self-relative descriptor: the owner (none when empty), then a DACL of
// `count` ACEs (none when nullopt).
std::string Descriptor(const std::string& owner, std::optional<std::string> aces, size_t count = 1) {
  const std::string sid = owner.empty() ? "" : Sid(owner);
  const std::string acl = aces ? std::string{2, 0} + Le(8 + aces->size(), 2) + Le(count, 2) + Le(0, 2) + *aces : "";
  return std::string{1, 0} + Le(0x8000 | (aces ? 0x4 : 0), 2) + Le(owner.empty() ? 0 : 20, 4) + Le(0, 8) +
         Le(aces ? 20 + sid.size() : 0, 4) + sid + acl;
}

const std::string kCaller = "S-1-5-21-7-8-9-1001", kOther = "S-1-5-21-7-8-9-1002";
constexpr uint8_t kAllow = 0, kDeny = 1, kAllowObject = 5, kAllowCallback = 9, kInheritOnly = 0x08;
constexpr uint32_t kFull = 0x1F01FF;

TEST(WindowsSecurity, OwnersAndWritersOtherThanTheCallerAndAdministratorsAreTold) {
  using enum ListedAccess;
  const std::string guids = Le(3, 4) + std::string(32, '\x01');  // both object types present
  const struct {
    const char* what;
    std::string owner;
    std::optional<std::string> aces;
    ListedAccess expected;
  } rows[] = {
      {"the caller's, Everyone reads", kCaller, Ace(kAllow, 0, 0x1200A9, "S-1-1-0"), kOwnAndAdmin},
      {"Administrators'", "S-1-5-32-544", Ace(kAllow, 0, kFull, "S-1-5-18"), kOwnAndAdmin},
      {"SYSTEM's, empty DACL", "S-1-5-18", "", kOwnAndAdmin},
      {"another's", kOther, Ace(kAllow, 0, kFull, kCaller), kOtherOwner},
      {"no owner", "", Ace(kAllow, 0, kFull, kCaller), kOtherOwner},
      {"no DACL", kCaller, std::nullopt, kOtherWriter},
      {"a conditional grant", kCaller, Ace(kAllowCallback, 0, 0x2, "S-1-1-0"), kOtherWriter},
      {"an object grant", kCaller, Ace(kAllowObject, 0, 0x2, "S-1-1-0", guids), kOtherWriter},
      {"an object grant to SYSTEM", kCaller, Ace(kAllowObject, 0, 0x2, "S-1-5-18", guids), kOwnAndAdmin},
      {"inherited by children only", kCaller, Ace(kAllow, kInheritOnly, kFull, "S-1-1-0"), kOwnAndAdmin},
      {"a deny", kCaller, Ace(kDeny, 0, kFull, "S-1-1-0"), kOwnAndAdmin},
      {"OWNER RIGHTS", kCaller, Ace(kAllow, 0, kFull, "S-1-3-4"), kOwnAndAdmin},
      {"attributes alone", kCaller, Ace(kAllow, 0, 0x100, "S-1-1-0"), kOwnAndAdmin},
  };
  for (const auto& row : rows) {
    const size_t count = row.aces && row.aces->empty() ? 0 : 1;
    EXPECT_EQ(JudgeSecurityDescriptor(Descriptor(row.owner, row.aces, count), Sid(kCaller)), row.expected) << row.what;
  }
  // Write or add a file, append or add a folder, delete a child, delete,
  // change the DACL or the owner, generic all or write: for Everyone, Users,
  // Authenticated Users or another user, after the trusted ACEs.
  const std::string trusted = Ace(kAllow, 0, kFull, "S-1-5-18") + Ace(kAllow, 0, kFull, kCaller);
  for (const uint32_t right : {0x2u, 0x4u, 0x40u, 0x10000u, 0x40000u, 0x80000u, 0x10000000u, 0x40000000u}) {
    for (const std::string& who : {std::string("S-1-1-0"), std::string("S-1-5-32-545"), std::string("S-1-5-11"), kOther}) {
      EXPECT_EQ(JudgeSecurityDescriptor(Descriptor(kCaller, trusted + Ace(kAllow, 0, right, who), 3), Sid(kCaller)),
                kOtherWriter)
          << who << " " << right;
    }
  }
}

TEST(WindowsSecurity, ADescriptorCutShortIsNeverTrusted) {
  const std::string whole = Descriptor(kCaller, Ace(kAllow, 0, kFull, kCaller) + Ace(kAllow, 0, kFull, "S-1-5-18"), 2);
  ASSERT_EQ(JudgeSecurityDescriptor(whole, Sid(kCaller)), ListedAccess::kOwnAndAdmin);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_NE(JudgeSecurityDescriptor(whole.substr(0, n), Sid(kCaller)), ListedAccess::kOwnAndAdmin) << n;
  }
  std::string absolute = whole;
  absolute[3] = 0;  // not self-relative: its offsets would be pointers
  EXPECT_EQ(JudgeSecurityDescriptor(absolute, Sid(kCaller)), ListedAccess::kOtherWriter);
}

}  // namespace
}  // namespace bk
