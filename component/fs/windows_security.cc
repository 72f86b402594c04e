#include "component/fs/windows_security.h"

#include <cstdint>
#include <optional>

namespace bk {
namespace {

// Well-known SIDs in their binary form: revision 1, the count of
// sub-authorities, the 48-bit authority (big-endian), then each
// sub-authority (little-endian).
constexpr std::string_view kSystem("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12);
constexpr std::string_view kAdministrators("\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00", 16);
constexpr std::string_view kOwnerRights("\x01\x01\x00\x00\x00\x00\x00\x03\x04\x00\x00\x00", 12);

// Control bits and ACE values of the descriptor format.
constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint8_t kAllowed = 0x00, kAllowedCompound = 0x04, kAllowedObject = 0x05, kAllowedCallback = 0x09,
                  kAllowedCallbackObject = 0x0B;
constexpr uint32_t kObjectTypePresent = 0x1, kInheritedObjectTypePresent = 0x2;
// Write data or add a file, append or add a folder, delete a child, delete,
// change the DACL, change the owner, generic all, generic write.
constexpr uint32_t kChangeRights = 0x00000002 | 0x00000004 | 0x00000040 | 0x00010000 | 0x00040000 | 0x00080000 |
                                   0x10000000 | 0x40000000;

// Bounds-checked little-endian reads of the descriptor; nullopt past its end.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  std::optional<uint32_t> U8(size_t at) const { return Read(at, 1); }
  std::optional<uint32_t> U16(size_t at) const { return Read(at, 2); }
  std::optional<uint32_t> U32(size_t at) const { return Read(at, 4); }
  // The SID starting at `at`, or nullopt when it does not fit.
  std::optional<std::string_view> Sid(size_t at) const {
    const std::optional<uint32_t> count = U8(at + 1);
    if (!count) return std::nullopt;
    const size_t length = 8 + 4 * size_t{*count};
    if (at + length > data_.size()) return std::nullopt;
    return data_.substr(at, length);
  }

 private:
  std::optional<uint32_t> Read(size_t at, size_t n) const {
    if (at > data_.size() || data_.size() - at < n) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(data_[at + i])) << (8 * i);
    return v;
  }
  std::string_view data_;
};

bool Trusted(std::string_view sid, std::string_view caller) {
  return sid == caller || sid == kSystem || sid == kAdministrators;
}

// Where the SID of an allowing ACE lies, or nullopt when the ACE allows
// nothing (deny, audit and alarm ACEs) or has a form of its own (compound).
std::optional<size_t> AllowedSidOffset(const Bytes& b, size_t ace, uint32_t type, bool* unknown) {
  switch (type) {
    case kAllowed:
    case kAllowedCallback: return ace + 8;
    case kAllowedObject:
    case kAllowedCallbackObject: {
      const std::optional<uint32_t> flags = b.U32(ace + 8);
      if (!flags) break;
      size_t at = ace + 12;
      if (*flags & kObjectTypePresent) at += 16;
      if (*flags & kInheritedObjectTypePresent) at += 16;
      return at;
    }
    case kAllowedCompound: break;
    default: return std::nullopt;
  }
  *unknown = true;
  return std::nullopt;
}

// Whether any ACE of the DACL at `acl` lets a party that is not trusted
// change the entry; nullopt when the list cannot be read.
// OWNER RIGHTS stands for the owner, who is trusted by the time the list is
// read.
std::optional<bool> OthersMayChange(const Bytes& b, size_t acl, std::string_view caller) {
  const std::optional<uint32_t> count = b.U16(acl + 4);
  if (!count) return std::nullopt;
  size_t ace = acl + 8;
  for (uint32_t i = 0; i < *count; ++i) {
    const std::optional<uint32_t> type = b.U8(ace), flags = b.U8(ace + 1), size = b.U16(ace + 2), mask = b.U32(ace + 4);
    if (!type || !flags || !size || !mask || *size < 8) return std::nullopt;
    const size_t next = ace + *size;
    if ((*flags & kInheritOnly) == 0 && (*mask & kChangeRights) != 0) {
      bool unknown = false;
      const std::optional<size_t> sid_at = AllowedSidOffset(b, ace, *type, &unknown);
      if (unknown) return true;
      if (sid_at) {
        const std::optional<std::string_view> sid = b.Sid(*sid_at);
        if (!sid || *sid_at + sid->size() > next) return std::nullopt;
        if (!Trusted(*sid, caller) && *sid != kOwnerRights) return true;
      }
    }
    ace = next;
  }
  return false;
}

}  // namespace

ListedAccess JudgeSecurityDescriptor(std::string_view descriptor, std::string_view caller) {
  const Bytes b(descriptor);
  const std::optional<uint32_t> revision = b.U8(0), control = b.U16(2), owner_at = b.U32(4), dacl_at = b.U32(16);
  if (!revision || *revision != 1 || !control || (*control & kSelfRelative) == 0 || !owner_at || !dacl_at) {
    return ListedAccess::kOtherWriter;
  }
  const std::optional<std::string_view> owner = *owner_at == 0 ? std::nullopt : b.Sid(*owner_at);
  if (!owner || !Trusted(*owner, caller)) return ListedAccess::kOtherOwner;
  // No DACL: nothing restricts anyone.
  if ((*control & kDaclPresent) == 0 || *dacl_at == 0) return ListedAccess::kOtherWriter;
  const std::optional<bool> others = OthersMayChange(b, *dacl_at, caller);
  return !others || *others ? ListedAccess::kOtherWriter : ListedAccess::kOwnAndAdmin;
}

}  // namespace bk
