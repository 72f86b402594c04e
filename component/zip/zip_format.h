// ZIP records as the archive component writes and reads them: local headers,
// central-directory records, end records (ZIP64 where needed), the extra
// fields it understands, and DOS and OLE Automation time conversions.
// Internal to the archive component and its tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bk::zip {

inline constexpr uint32_t kLocalSig = 0x04034b50;
inline constexpr uint32_t kCentralSig = 0x02014b50;
inline constexpr uint32_t kEndSig = 0x06054b50;
inline constexpr uint32_t kEnd64Sig = 0x06064b50;
inline constexpr uint32_t kLocator64Sig = 0x07064b50;
inline constexpr uint32_t kDescriptorSig = 0x08074b50;

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndSize = 22;
inline constexpr size_t kEnd64Size = 56;
inline constexpr size_t kLocator64Size = 20;

inline constexpr uint32_t kMax32 = 0xFFFFFFFFu;
inline constexpr uint16_t kMax16 = 0xFFFFu;

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;

// How a file's bytes are judged when it goes into an archive.
enum class Compression : uint8_t {
  // Deflated when that makes it smaller; a large file whose start does not
  // shrink is stored without deflating the rest.
  kJudged,
  // Deflated whatever its start, stored only when the whole does not shrink:
  // an archive of archives holding stored entries, whose start says nothing
  // of the rest.
  kThroughout,
  // Stored as it is: an archive of archives whose entries are compressed
  // already, where deflating again buys a few percent for much time.
  kNone,
};

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

inline constexpr uint8_t kHostDos = 0;
inline constexpr uint8_t kHostUnix = 3;

inline constexpr uint16_t kVersionDefault = 20;  // deflate, folders
inline constexpr uint16_t kVersionZip64 = 45;

// Unix file types in the upper half of the external attributes.
inline constexpr uint32_t kUnixTypeMask = 0170000;
inline constexpr uint32_t kUnixRegular = 0100000;
inline constexpr uint32_t kUnixFolder = 0040000;
inline constexpr uint32_t kUnixSymlink = 0120000;
// MS-DOS attribute bits in the lower byte.
inline constexpr uint32_t kDosReadOnly = 0x01;
inline constexpr uint32_t kDosFolder = 0x10;

// One entry as the central directory describes it. Sizes and offsets are the
// full 64-bit values (ZIP64 fields already applied).
struct Entry {
  std::string name;  // UTF-8, "/" separators
  uint16_t made_by = 0;
  uint16_t version_needed = kVersionDefault;
  uint16_t flags = 0;
  uint16_t method = kMethodStored;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint64_t header_offset = 0;
  uint32_t external_attributes = 0;
  std::optional<int64_t> unix_mtime;  // from the extended-timestamp field
  // Owning user and group, from the Info-ZIP "ux" field (0x7875).
  std::optional<uint32_t> unix_owner;
  std::optional<uint32_t> unix_group;

  uint8_t host() const { return static_cast<uint8_t>(made_by >> 8); }
  uint32_t unix_mode() const { return host() == kHostUnix ? external_attributes >> 16 : 0; }
  bool IsFolder() const;
  bool IsSymlink() const;
  // Modification time in seconds since 1970: the extended timestamp, or the
  // DOS time read as local time.
  int64_t ModifiedSeconds() const;
};

// The fixed part of a local header and its variable lengths.
struct LocalHeader {
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  // From our attributes field, when the entry has one.
  std::optional<uint16_t> made_by;
  uint32_t external_attributes = 0;
};

// Little-endian appending to a byte string.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void Bytes(std::string_view b) { out_.append(b); }

 private:
  std::string& out_;
};

// Bounds-checked little-endian reading; a read past the end yields zeros and
// clears ok().
class ByteReader {
 public:
  explicit ByteReader(std::string_view data) : data_(data) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  std::string_view Bytes(size_t n);
  void Skip(size_t n) { Bytes(n); }
  bool ok() const { return ok_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

 private:
  bool Take(size_t n);
  std::string_view data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Calls fn(id, data) for each block of an extra field, stopping at a block
// that runs past the field's end.
template <typename Fn>
void ForEachExtra(std::string_view extra, Fn fn) {
  ByteReader r(extra);
  while (r.remaining() >= 4) {
    const uint16_t id = r.U16();
    const uint16_t len = r.U16();
    if (len > r.remaining()) return;
    fn(id, r.Bytes(len));
  }
}

// The CRC-32 of ZIP entries, continued from `crc` (0 to start). Defined by
// the compression back end (deflate.h).
uint32_t Crc32(uint32_t crc, const void* data, size_t n);

// Local header of an entry. With zip64 the header carries a ZIP64 field for
// both sizes (needed when the file may reach 4 GiB). Its length depends only
// on the name, the timestamp and zip64, so it can be rewritten in place once
// CRC, method and sizes are known.
std::string EncodeLocalHeader(const Entry& entry, bool zip64);

// The local header pads its extra field with a field of zeros of our own
// (readers skip it) so that the entry's data, right after the header written
// at `offset`, starts at a multiple of `alignment`.
std::string AlignLocalHeader(std::string header, uint64_t offset, uint64_t alignment);

std::string EncodeCentralRecord(const Entry& entry);
// The end of the archive: ZIP64 end record and locator when a value needs
// them, then the end record.
std::string EncodeEnd(uint64_t entry_count, uint64_t directory_offset, uint64_t directory_size);

bool DecodeLocalHeader(std::string_view bytes, LocalHeader* header);
// Reads one central record (signature included). Returns false when it is
// malformed; the reader is then positioned anywhere.
bool DecodeCentralRecord(ByteReader& reader, Entry* entry);
// Applies a local header's extra field (ZIP64 sizes, timestamp, owner,
// attributes) to the header and the entry. False when a ZIP64 field is too
// short for the sizes it must carry.
bool ApplyLocalExtra(std::string_view extra, LocalHeader* header, Entry* entry);

// DOS date and time (local time, 2-second steps, 1980..2107 clamped).
void ToDosTime(int64_t unix_seconds, uint16_t* dos_time, uint16_t* dos_date);
int64_t FromDosTime(uint16_t dos_time, uint16_t dos_date);
// OLE Automation date in local time: days since 1899-12-30.
double OleDateFromSeconds(int64_t unix_seconds);

// An entry name as UTF-8: names flagged UTF-8 or valid UTF-8 as they are,
// the Unicode path field when it matches, code page 437 otherwise.
std::string DecodeName(std::string_view raw, uint16_t flags, std::string_view extra);

}  // namespace bk::zip
