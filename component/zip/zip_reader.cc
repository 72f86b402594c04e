#include "component/zip/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "component/error.h"

namespace bk::zip {
std::string ReadBytes(File& f, uint64_t offset, size_t n) {
  std::string out(n, '\0');
  size_t done = 0;
  while (done < n) {
    const size_t got = f.ReadAt(offset + done, out.data() + done, n - done);
    if (got == 0) break;
    done += got;
  }
  out.resize(done);
  return out;
}

namespace {

Error NotAnArchive(const File& f) {
  return Error(errnum::kArchiveError, kLibrarySource, "The file is not a ZIP archive or is damaged", f.path());
}

struct EndInfo {
  uint64_t count = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t directory_end = 0;  // where the central directory must end
};

// Decodes an end record at `pos` (and the ZIP64 records before it).
bool DecodeEnd(File& f, std::string_view tail, size_t at, uint64_t pos, EndInfo* info) {
  ByteReader r(tail.substr(at));
  r.Skip(10);
  info->count = r.U16();
  info->size = r.U32();
  info->offset = r.U32();
  info->directory_end = pos;
  if (!r.ok() || pos < kLocator64Size) return r.ok();
  const std::string locator = ReadBytes(f, pos - kLocator64Size, kLocator64Size);
  ByteReader l(locator);
  if (l.U32() != kLocator64Sig) return true;
  l.Skip(4);
  const uint64_t end64 = l.U64();
  if (!l.ok() || end64 > pos - kLocator64Size || pos - kLocator64Size - end64 < kEnd64Size) return false;
  const std::string record = ReadBytes(f, end64, kEnd64Size);
  ByteReader e(record);
  if (e.U32() != kEnd64Sig) return false;
  e.Skip(20);  // record size, versions, disks
  e.U64();     // entries on this disk
  info->count = e.U64();
  info->size = e.U64();
  info->offset = e.U64();
  info->directory_end = end64;
  return e.ok();
}

// Parses a central directory that must fill [offset, directory_end) exactly.
bool ReadCentral(File& f, const EndInfo& end, Keep keep, Directory* dir) {
  if (end.offset > end.directory_end || end.directory_end - end.offset != end.size) return false;
  dir->central = ReadBytes(f, end.offset, static_cast<size_t>(end.size));
  if (dir->central.size() != end.size) return false;
  ByteReader r(dir->central);
  while (r.remaining() > 0) {
    Entry e;
    if (!DecodeCentralRecord(r, &e) || e.header_offset >= end.offset) return false;
    ++dir->count;
    if (keep == Keep::kEntries) dir->entries.push_back(std::move(e));
  }
  // Writers that overflow the 16-bit count without ZIP64 records keep its low bits.
  if ((dir->count & kMax16) != (end.count & kMax16) && dir->count != end.count) return false;
  dir->append_offset = end.offset;
  return true;
}

bool ReadComplete(File& f, Keep keep, Directory* dir) {
  const uint64_t size = f.Size();
  const size_t tail_len = static_cast<size_t>(std::min<uint64_t>(size, kEndSize + kMax16));
  const uint64_t tail_start = size - tail_len;
  const std::string tail = ReadBytes(f, tail_start, tail_len);
  if (tail.size() < kEndSize) return false;
  for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    ByteReader sig(std::string_view(tail).substr(at));
    if (sig.U32() != kEndSig) continue;
    sig.Skip(16);
    if (at + kEndSize + sig.U16() > tail.size()) continue;  // its comment would not fit
    EndInfo end;
    Directory candidate;
    if (DecodeEnd(f, tail, at, tail_start + at, &end) && ReadCentral(f, end, keep, &candidate)) {
      *dir = std::move(candidate);
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadCompleteDirectory(File& f, Directory* dir) { return ReadComplete(f, Keep::kEntries, dir); }

namespace {

// Takes the local entry at `offset` if it is complete and intact.
bool RecoverEntry(File& f, uint64_t size, uint64_t offset, Entry* e, uint64_t* next) {
  *e = Entry{};  // nothing of the previous entry's optional fields carries over
  LocalHeader h;
  if (!DecodeLocalHeader(ReadBytes(f, offset, kLocalHeaderSize), &h)) return false;
  if (h.flags & (kFlagDescriptor | kFlagEncrypted)) return false;
  const std::string var = ReadBytes(f, offset + kLocalHeaderSize, size_t{h.name_length} + h.extra_length);
  if (var.size() != size_t{h.name_length} + h.extra_length) return false;
  const std::string_view extra = std::string_view(var).substr(h.name_length);
  if (!ApplyLocalExtra(extra, &h, e)) return false;
  const uint64_t data = offset + kLocalHeaderSize + var.size();
  if (h.compressed_size > size || data > size - h.compressed_size) return false;
  e->name = DecodeName(std::string_view(var).substr(0, h.name_length), h.flags, extra);
  e->made_by = h.made_by.value_or((kHostDos << 8) | kVersionZip64);
  e->external_attributes = h.external_attributes;
  e->version_needed = h.version_needed;
  e->flags = h.flags;
  e->method = h.method;
  e->dos_time = h.dos_time;
  e->dos_date = h.dos_date;
  e->crc = h.crc;
  e->compressed_size = h.compressed_size;
  e->size = h.size;
  e->header_offset = offset;
  if (!ExtractEntry(f, size, *e, [](const char*, size_t) {})) return false;
  *next = data + h.compressed_size;
  return true;
}

Directory Scan(File& f, uint64_t size, Keep keep) {
  Directory dir;
  dir.recovered = true;
  uint64_t offset = 0;
  Entry e;
  uint64_t next = 0;
  while (RecoverEntry(f, size, offset, &e, &next)) {
    dir.central += EncodeCentralRecord(e);
    ++dir.count;
    if (keep == Keep::kEntries) dir.entries.push_back(std::move(e));
    e = Entry{};
    offset = next;
  }
  dir.append_offset = offset;
  return dir;
}

bool StartsAsLocalHeader(File& f, uint64_t size) {
  const std::string head = ReadBytes(f, 0, 4);
  const std::string sig("PK\x03\x04", 4);
  return head.size() == std::min<uint64_t>(size, 4) && sig.compare(0, head.size(), head) == 0;
}

}  // namespace

Directory ReadDirectory(File& f, Keep keep) {
  const uint64_t size = f.Size();
  Directory dir;
  if (size == 0 || ReadComplete(f, keep, &dir)) return dir;
  if (!StartsAsLocalHeader(f, size)) throw NotAnArchive(f);
  return Scan(f, size, keep);
}

Directory ReadDirectory(File& f) { return ReadDirectory(f, Keep::kEntries); }

namespace {

class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&z_);
  }
  z_stream& z() { return z_; }
  bool ok() const { return ok_; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

bool CopyStored(File& f, uint64_t data, const Entry& e, const DataSink& sink, uint32_t* crc) {
  Buffer buf;
  for (uint64_t done = 0; done < e.size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), e.size - done));
    const size_t got = f.ReadAt(data + done, buf.data(), want);
    if (got == 0) return false;
    *crc = Crc32(*crc, buf.data(), got);
    sink(buf.data(), got);
    done += got;
  }
  return true;
}

bool Inflate(File& f, uint64_t data, const Entry& e, const DataSink& sink, uint32_t* crc) {
  Inflater inf;
  if (!inf.ok()) return false;
  Buffer in, out;
  uint64_t read = 0, produced = 0;
  z_stream& z = inf.z();
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0 && read < e.compressed_size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(in.size(), e.compressed_size - read));
      const size_t got = f.ReadAt(data + read, in.data(), want);
      if (got == 0) return false;
      read += got;
      z.next_in = reinterpret_cast<Bytef*>(in.data());
      z.avail_in = static_cast<uInt>(got);
    }
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    rc = inflate(&z, Z_NO_FLUSH);
    const size_t n = out.size() - z.avail_out;
    if (rc != Z_OK && rc != Z_STREAM_END) return false;
    if (n == 0 && rc == Z_OK && z.avail_in == 0 && read >= e.compressed_size) return false;  // truncated
    produced += n;
    if (produced > e.size) return false;
    *crc = Crc32(*crc, out.data(), n);
    if (n > 0) sink(out.data(), n);
  }
  return produced == e.size;
}

}  // namespace

bool ExtractEntry(File& f, uint64_t size, const Entry& e, const DataSink& sink) {
  if (e.flags & kFlagEncrypted) return false;
  if (e.method != kMethodStored && e.method != kMethodDeflated) return false;
  if (e.method == kMethodStored && e.size != e.compressed_size) return false;
  LocalHeader h;
  if (e.header_offset > size || !DecodeLocalHeader(ReadBytes(f, e.header_offset, kLocalHeaderSize), &h)) return false;
  const uint64_t data = e.header_offset + kLocalHeaderSize + h.name_length + h.extra_length;
  if (data > size || e.compressed_size > size - data) return false;
  uint32_t crc = 0;
  const bool ok = e.method == kMethodStored ? CopyStored(f, data, e, sink, &crc) : Inflate(f, data, e, sink, &crc);
  return ok && crc == e.crc;
}

}  // namespace bk::zip
