// The member records of a type library file in the binary format that
// LoadTypeLib reads, for the two programs that look below ITypeInfo: the
// build step that writes Brightkeep.tlb and the test that checks it.
//
// A file holds a header, one base record per type description and, per type,
// one record per function and then one per variable. Each record keeps the
// member's vtable offset in units of the target's pointer size and the size
// that a reader needs for the descriptions it rebuilds from the record
// (FUNCDESC, ELEMDESCs, PARAMDESCEX defaults, TYPEDESC chains; VARDESC and the
// constant's VARIANT), which the writer works out with the structure sizes of
// the process that writes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace bk::typelib {

struct Header {
  uint32_t syskind = 0;  // SYS_WIN16 0, SYS_WIN32 1, SYS_MAC 2, SYS_WIN64 3
  int32_t type_count = 0;
};

// One member record, located in the file.
struct MemberRecord {
  int type_index = 0;     // position of the owning type description
  int member_index = 0;   // position among the type's functions, then variables
  bool is_function = false;
  size_t at = 0;          // offset of the record in the file
  int16_t vtable_offset = 0;  // functions, with the low bit as the writer stores it
  int16_t var_kind = 0;       // variables: VAR_PERINSTANCE 0 ... VAR_CONST 2
  uint16_t described_size = 0;
  int16_t params = 0;         // functions: parameters, the return value included
  int16_t defaulted_params = 0;
};

// Reads little-endian values; out-of-range reads leave `ok` false.
class Bytes {
 public:
  explicit Bytes(const std::string& data) : data_(data) {}
  template <typename T>
  T At(size_t offset) {
    T value{};
    if (offset > data_.size() || data_.size() - offset < sizeof(T)) {
      ok = false;
      return value;
    }
    std::memcpy(&value, data_.data() + offset, sizeof(T));
    return value;
  }
  bool ok = true;

 private:
  const std::string& data_;
};

constexpr uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr size_t kHeaderSize = 0x54;
constexpr uint32_t kHelpDllFlag = 0x100;
constexpr uint32_t kParamHasDefault = 0x20;

inline std::optional<Header> ReadHeader(const std::string& file) {
  Bytes in(file);
  Header header;
  if (in.At<uint32_t>(0) != kMagic) return std::nullopt;
  header.syskind = in.At<uint32_t>(0x14) & 0xF;
  header.type_count = in.At<int32_t>(0x20);
  if (!in.ok || header.type_count < 0) return std::nullopt;
  return header;
}

// Where the base record of type `index` lies; 0 when outside the file.
inline size_t TypeRecordAt(const std::string& file, int index) {
  Bytes in(file);
  const size_t offsets_at = kHeaderSize + ((in.At<uint32_t>(0x14) & kHelpDllFlag) ? 4 : 0);
  const size_t segments_at = offsets_at + 4 * static_cast<size_t>(in.At<int32_t>(0x20));
  const size_t at = in.At<uint32_t>(segments_at) + in.At<uint32_t>(offsets_at + 4 * static_cast<size_t>(index));
  return in.ok ? at : 0;
}

// The alignment a type's base record states (bits 11 to 15 of its kind word).
inline int AlignmentOf(const std::string& file, int index) {
  Bytes in(file);
  const uint32_t kind = in.At<uint32_t>(TypeRecordAt(file, index));
  return in.ok ? static_cast<int>((kind >> 11) & 0x1F) : -1;
}

// Every member record of the file in order; nullopt when the file does not
// hold the format or a record lies outside it.
inline std::optional<std::vector<MemberRecord>> ReadMemberRecords(const std::string& file) {
  const std::optional<Header> header = ReadHeader(file);
  if (!header) return std::nullopt;
  Bytes in(file);
  std::vector<MemberRecord> records;
  for (int t = 0; t < header->type_count; ++t) {
    const size_t base = TypeRecordAt(file, t);
    if (base == 0) return std::nullopt;
    const size_t members_at = in.At<uint32_t>(base + 4);
    const uint32_t counts = in.At<uint32_t>(base + 0x18);
    const int functions = static_cast<int>(counts & 0xFFFF), variables = static_cast<int>(counts >> 16);
    size_t at = members_at + 4;
    for (int m = 0; m < functions + variables && in.ok; ++m) {
      MemberRecord r;
      r.type_index = t;
      r.member_index = m;
      r.is_function = m < functions;
      r.at = at;
      const uint16_t size = in.At<uint16_t>(at);
      (r.is_function ? r.vtable_offset : r.var_kind) = in.At<int16_t>(at + 12);
      r.described_size = in.At<uint16_t>(at + 14);
      if (r.is_function) {
        r.params = in.At<int16_t>(at + 20);
        // The parameters' records close the function record: type, name, flags.
        const size_t params_at = at + size - 12 * static_cast<size_t>(r.params);
        for (int p = 0; p < r.params; ++p) {
          if (in.At<uint32_t>(params_at + 12 * static_cast<size_t>(p) + 8) & kParamHasDefault) ++r.defaulted_params;
        }
      }
      if (size < 12 || (r.is_function && size < 24 + 12 * r.params)) in.ok = false;
      records.push_back(r);
      at += size;
    }
    if (!in.ok) return std::nullopt;
  }
  return records;
}

// Sizes of the descriptions a reader rebuilds, for one pointer size.
struct DescriptionSizes {
  int funcdesc, elemdesc, paramdescex, vardesc, variant;
};
constexpr DescriptionSizes kWin32Sizes{52, 16, 24, 36, 16};
constexpr DescriptionSizes kWin64Sizes{88, 32, 32, 64, 24};

// The described size of a record written with `from` sizes, restated in `to`
// sizes. Type description chains cost the same on both; only a constant
// carries a VARIANT.
inline uint16_t RestateSize(const MemberRecord& r, const DescriptionSizes& from, const DescriptionSizes& to) {
  int size = r.described_size;
  if (r.is_function) {
    size += (to.funcdesc - from.funcdesc) + r.params * (to.elemdesc - from.elemdesc) +
            r.defaulted_params * (to.paramdescex - from.paramdescex);
  } else {
    constexpr int16_t kConst = 2;
    size += (to.vardesc - from.vardesc) + (r.var_kind == kConst ? to.variant - from.variant : 0);
  }
  return static_cast<uint16_t>(size);
}

}  // namespace bk::typelib
