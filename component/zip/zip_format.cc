#include "component/zip/zip_format.h"


#include <algorithm>
#include <climits>

namespace bk::zip {
namespace {

constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint16_t kExtraTimestamp = 0x5455;
// Our own local-header field ("bk"): the host and external attributes that
// otherwise only the central directory carries, so that entries found by the
// recovery scan keep their permissions and attributes. Other readers skip it.
constexpr uint16_t kExtraAttributes = 0x6B62;
constexpr uint16_t kExtraUnixOwner = 0x7875;  // Info-ZIP "ux": version 1, UID and GID
// Our own field of zeros ("pk") that puts an entry's data on a block boundary.
constexpr uint16_t kExtraPadding = 0x6B70;
constexpr size_t kExtraLengthAt = 28;

bool Zip64Sizes(const Entry& e) { return e.size >= kMax32 || e.compressed_size >= kMax32; }
bool NeedsZip64(const Entry& e) { return Zip64Sizes(e) || e.header_offset >= kMax32; }
uint32_t Clamp32(uint64_t v) { return v >= kMax32 ? kMax32 : static_cast<uint32_t>(v); }

bool TimestampFits(const Entry& e) { return e.unix_mtime && *e.unix_mtime >= 0 && *e.unix_mtime <= kMax32; }

void WriteTimestamp(ByteWriter& w, const Entry& e) {
  if (!TimestampFits(e)) return;
  w.U16(kExtraTimestamp);
  w.U16(5);
  w.U8(1);  // modification time present
  w.U32(static_cast<uint32_t>(*e.unix_mtime));
}

void WriteOwner(ByteWriter& w, const Entry& e) {
  if (!e.unix_owner || !e.unix_group) return;
  w.U16(kExtraUnixOwner);
  w.U16(11);
  w.U8(1);
  w.U8(4);
  w.U32(*e.unix_owner);
  w.U8(4);
  w.U32(*e.unix_group);
}

// Reads an id of 1 to 8 bytes; larger values than 32 bits are not kept.
std::optional<uint32_t> ReadOwnerId(ByteReader& r) {
  const uint8_t size = r.U8();
  if (size == 0 || size > 8) return std::nullopt;
  uint64_t id = 0;
  for (uint8_t i = 0; i < size; ++i) id |= static_cast<uint64_t>(r.U8()) << (8 * i);
  if (!r.ok() || id > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(id);
}

void ReadOwner(std::string_view data, Entry* e) {
  ByteReader r(data);
  if (r.U8() != 1) return;
  const auto owner = ReadOwnerId(r);
  const auto group = ReadOwnerId(r);
  if (!owner || !group) return;
  e->unix_owner = owner;
  e->unix_group = group;
}

std::optional<int64_t> ReadTimestamp(std::string_view data) {
  ByteReader r(data);
  const uint8_t flags = r.U8();
  const uint32_t mtime = r.U32();
  if (!r.ok() || !(flags & 1)) return std::nullopt;
  return static_cast<int64_t>(mtime);
}

}  // namespace

bool Entry::IsFolder() const {
  if (!name.empty() && name.back() == '/') return true;
  if (host() == kHostUnix && (unix_mode() & kUnixTypeMask) == kUnixFolder) return true;
  return host() == kHostDos && (external_attributes & kDosFolder) != 0;
}

bool Entry::IsSymlink() const { return host() == kHostUnix && (unix_mode() & kUnixTypeMask) == kUnixSymlink; }

int64_t Entry::ModifiedSeconds() const { return unix_mtime ? *unix_mtime : FromDosTime(dos_time, dos_date); }

void ByteWriter::U16(uint16_t v) {
  U8(static_cast<uint8_t>(v));
  U8(static_cast<uint8_t>(v >> 8));
}
void ByteWriter::U32(uint32_t v) {
  U16(static_cast<uint16_t>(v));
  U16(static_cast<uint16_t>(v >> 16));
}
void ByteWriter::U64(uint64_t v) {
  U32(static_cast<uint32_t>(v));
  U32(static_cast<uint32_t>(v >> 32));
}

bool ByteReader::Take(size_t n) {
  if (!ok_ || n > remaining()) {
    ok_ = false;
    return false;
  }
  return true;
}

uint8_t ByteReader::U8() {
  if (!Take(1)) return 0;
  return static_cast<uint8_t>(data_[pos_++]);
}
uint16_t ByteReader::U16() {
  const uint16_t lo = U8();
  return static_cast<uint16_t>(lo | (U8() << 8));
}
uint32_t ByteReader::U32() {
  const uint32_t lo = U16();
  return lo | (static_cast<uint32_t>(U16()) << 16);
}
uint64_t ByteReader::U64() {
  const uint64_t lo = U32();
  return lo | (static_cast<uint64_t>(U32()) << 32);
}
std::string_view ByteReader::Bytes(size_t n) {
  if (!Take(n)) return {};
  const std::string_view out = data_.substr(pos_, n);
  pos_ += n;
  return out;
}

std::string EncodeLocalHeader(const Entry& e, bool zip64) {
  std::string extra;
  ByteWriter x(extra);
  if (zip64) {
    x.U16(kExtraZip64);
    x.U16(16);
    x.U64(e.size);
    x.U64(e.compressed_size);
  }
  WriteTimestamp(x, e);
  x.U16(kExtraAttributes);
  x.U16(6);
  x.U16(e.made_by);
  x.U32(e.external_attributes);
  WriteOwner(x, e);
  std::string out;
  ByteWriter w(out);
  w.U32(kLocalSig);
  w.U16(zip64 ? kVersionZip64 : kVersionDefault);
  w.U16(e.flags);
  w.U16(e.method);
  w.U16(e.dos_time);
  w.U16(e.dos_date);
  w.U32(e.crc);
  w.U32(zip64 ? kMax32 : Clamp32(e.compressed_size));
  w.U32(zip64 ? kMax32 : Clamp32(e.size));
  w.U16(static_cast<uint16_t>(e.name.size()));
  w.U16(static_cast<uint16_t>(extra.size()));
  w.Bytes(e.name);
  w.Bytes(extra);
  return out;
}

std::string AlignLocalHeader(std::string header, uint64_t offset, uint64_t alignment) {
  const uint64_t end = offset + header.size() + 4;
  const auto pad = static_cast<uint16_t>((alignment - end % alignment) % alignment);
  ByteWriter w(header);
  w.U16(kExtraPadding);
  w.U16(pad);
  header.append(pad, '\0');
  ByteReader r(std::string_view(header).substr(kExtraLengthAt, 2));
  const auto extra = static_cast<uint16_t>(r.U16() + 4 + pad);
  header[kExtraLengthAt] = static_cast<char>(extra & 0xFF);
  header[kExtraLengthAt + 1] = static_cast<char>(extra >> 8);
  return header;
}

std::string EncodeCentralRecord(const Entry& e) {
  std::string extra;
  ByteWriter x(extra);
  if (NeedsZip64(e)) {
    std::string fields;
    ByteWriter f(fields);
    if (e.size >= kMax32) f.U64(e.size);
    if (e.compressed_size >= kMax32) f.U64(e.compressed_size);
    if (e.header_offset >= kMax32) f.U64(e.header_offset);
    x.U16(kExtraZip64);
    x.U16(static_cast<uint16_t>(fields.size()));
    x.Bytes(fields);
  }
  WriteTimestamp(x, e);
  WriteOwner(x, e);
  std::string out;
  ByteWriter w(out);
  w.U32(kCentralSig);
  w.U16(e.made_by);
  w.U16(NeedsZip64(e) ? kVersionZip64 : e.version_needed);
  w.U16(e.flags);
  w.U16(e.method);
  w.U16(e.dos_time);
  w.U16(e.dos_date);
  w.U32(e.crc);
  w.U32(Clamp32(e.compressed_size));
  w.U32(Clamp32(e.size));
  w.U16(static_cast<uint16_t>(e.name.size()));
  w.U16(static_cast<uint16_t>(extra.size()));
  w.U16(0);  // comment
  w.U16(0);  // disk
  w.U16(0);  // internal attributes
  w.U32(e.external_attributes);
  w.U32(Clamp32(e.header_offset));
  w.Bytes(e.name);
  w.Bytes(extra);
  return out;
}

std::string EncodeEnd(uint64_t count, uint64_t offset, uint64_t size) {
  std::string out;
  ByteWriter w(out);
  if (count >= kMax16 || offset >= kMax32 || size >= kMax32) {
    w.U32(kEnd64Sig);
    w.U64(kEnd64Size - 12);
    w.U16(kVersionZip64);
    w.U16(kVersionZip64);
    w.U32(0);
    w.U32(0);
    w.U64(count);
    w.U64(count);
    w.U64(size);
    w.U64(offset);
    w.U32(kLocator64Sig);
    w.U32(0);
    w.U64(offset + size);
    w.U32(1);
  }
  const uint16_t count16 = count >= kMax16 ? kMax16 : static_cast<uint16_t>(count);
  w.U32(kEndSig);
  w.U16(0);
  w.U16(0);
  w.U16(count16);
  w.U16(count16);
  w.U32(Clamp32(size));
  w.U32(Clamp32(offset));
  w.U16(0);
  return out;
}

bool DecodeLocalHeader(std::string_view bytes, LocalHeader* h) {
  ByteReader r(bytes);
  if (r.U32() != kLocalSig) return false;
  h->version_needed = r.U16();
  h->flags = r.U16();
  h->method = r.U16();
  h->dos_time = r.U16();
  h->dos_date = r.U16();
  h->crc = r.U32();
  h->compressed_size = r.U32();
  h->size = r.U32();
  h->name_length = r.U16();
  h->extra_length = r.U16();
  return r.ok();
}

bool ApplyLocalExtra(std::string_view extra, LocalHeader* h, Entry* e) {
  bool zip64_ok = true;
  ForEachExtra(extra, [&](uint16_t id, std::string_view data) {
    if (id == kExtraZip64) {
      ByteReader r(data);
      if (h->size == kMax32) h->size = r.U64();
      if (h->compressed_size == kMax32) h->compressed_size = r.U64();
      zip64_ok = r.ok();
    } else if (id == kExtraTimestamp) {
      e->unix_mtime = ReadTimestamp(data);
    } else if (id == kExtraUnixOwner) {
      ReadOwner(data, e);
    } else if (id == kExtraAttributes) {
      ByteReader r(data);
      const uint16_t made_by = r.U16();
      const uint32_t attributes = r.U32();
      if (r.ok()) {
        h->made_by = made_by;
        h->external_attributes = attributes;
      }
    }
  });
  return zip64_ok;
}

bool DecodeCentralRecord(ByteReader& r, Entry* e) {
  if (r.U32() != kCentralSig) return false;
  e->made_by = r.U16();
  e->version_needed = r.U16();
  e->flags = r.U16();
  e->method = r.U16();
  e->dos_time = r.U16();
  e->dos_date = r.U16();
  e->crc = r.U32();
  e->compressed_size = r.U32();
  e->size = r.U32();
  const uint16_t name_len = r.U16();
  const uint16_t extra_len = r.U16();
  const uint16_t comment_len = r.U16();
  r.Skip(4);  // disk, internal attributes
  e->external_attributes = r.U32();
  e->header_offset = r.U32();
  const std::string_view raw_name = r.Bytes(name_len);
  const std::string_view extra = r.Bytes(extra_len);
  r.Skip(comment_len);
  if (!r.ok()) return false;
  bool zip64_ok = true;
  ForEachExtra(extra, [&](uint16_t id, std::string_view data) {
    if (id == kExtraZip64) {
      ByteReader z(data);
      if (e->size == kMax32) e->size = z.U64();
      if (e->compressed_size == kMax32) e->compressed_size = z.U64();
      if (e->header_offset == kMax32) e->header_offset = z.U64();
      zip64_ok = z.ok();
    } else if (id == kExtraTimestamp) {
      e->unix_mtime = ReadTimestamp(data);
    } else if (id == kExtraUnixOwner) {
      ReadOwner(data, e);
    }
  });
  e->name = DecodeName(raw_name, e->flags, extra);
  return zip64_ok;
}

}  // namespace bk::zip
