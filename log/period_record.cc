#include "log/period_record.h"

#include <algorithm>
#include <charconv>

#include "component/error.h"
#include "component/platform.h"
#include "component/text.h"

namespace bk {
namespace {

constexpr std::string_view kHeader = "brightkeep-record";
constexpr int kVersion = 2;
constexpr size_t kBufferSize = 1 << 16;
constexpr std::string_view kAcl = "system.posix_acl_";
constexpr std::string_view kCapability = "security.capability";

void Escape(std::string& out, std::string_view text) { text::AppendPercentEscaped(out, text); }

Error Damaged(std::string_view why) {
  return Error(errnum::kArchiveError, kLibrarySource, "The period's record is damaged: " + std::string(why))
      .Kind(ErrorKind::kCorrupt);
}

std::string Unescape(std::string_view text) {
  std::optional<std::string> out = text::PercentUnescaped(text);
  if (!out) throw Damaged("a bad escape");
  return *std::move(out);
}

// No line written has more fields: a file's extended attributes, two fields
// each, are named in at most 64 KiB (the kernel's bound on their list). A
// crafted line of tabs would otherwise cost 16 bytes of memory for each.
constexpr size_t kMaxFields = size_t{1} << 17;

std::vector<std::string_view> Fields(std::string_view line) {
  if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) >= kMaxFields) {
    throw Damaged("a line of too many fields");
  }
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] != '\t') continue;
    out.push_back(line.substr(start, i - start));
    start = i + 1;
  }
  return out;
}

template <typename T>
T Number(std::string_view field) {
  T value{};
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) throw Damaged("a bad number");
  return value;
}

void Field(std::string& line, std::string_view text) {
  line += '\t';
  Escape(line, text);
}

void Field(std::string& line, int64_t n) { line += '\t' + std::to_string(n); }
void Field(std::string& line, uint64_t n) { line += '\t' + std::to_string(n); }

void Attributes(std::string& line, const std::vector<ExtendedAttribute>& attributes) {
  Field(line, static_cast<uint64_t>(attributes.size()));
  for (const ExtendedAttribute& a : attributes) {
    Field(line, a.name);
    Field(line, a.value);
  }
}

void IdentityFields(std::string& line, const Identity& id) {
  Field(line, id.device);
  Field(line, id.file_id);
  Field(line, id.file_id_high);
  Field(line, id.birth_ns);
}

Identity ReadIdentity(const std::vector<std::string_view>& f, size_t at) {
  return Identity{Number<uint64_t>(f[at]), Number<uint64_t>(f[at + 1]), Number<uint64_t>(f[at + 2]),
                  Number<int64_t>(f[at + 3])};
}

std::vector<ExtendedAttribute> ReadAttributes(const std::vector<std::string_view>& f, size_t at) {
  if (at >= f.size()) throw Damaged("no attributes");
  const size_t n = Number<size_t>(f[at]);
  if (f.size() != at + 1 + 2 * n) throw Damaged("a bad count of attributes");
  std::vector<ExtendedAttribute> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = {Unescape(f[at + 1 + 2 * i]), Unescape(f[at + 2 + 2 * i])};
  return out;
}

int AttributeRank(const std::string& name) {
  if (name.starts_with(kAcl)) return 0;
  return name == kCapability ? 2 : 1;
}

}  // namespace

std::vector<std::string> RecordedNamespaces() {
  if (CurrentUserId() != 0) return {"user."};
  return {"user.", "trusted.", "security.", std::string(kAcl) + "access", std::string(kAcl) + "default"};
}

std::vector<ExtendedAttribute> AttributesToRecord(std::vector<ExtendedAttribute> all,
                                                  const std::vector<std::string>& namespaces) {
  std::erase_if(all, [&](const ExtendedAttribute& a) { return !InNamespaces(a.name, namespaces); });
  std::stable_sort(all.begin(), all.end(), [](const ExtendedAttribute& a, const ExtendedAttribute& b) {
    return AttributeRank(a.name) < AttributeRank(b.name);
  });
  return all;
}

bool SameFile(const Identity& recorded, const FileStat& now, bool same_boot) {
  if (recorded.file_id != now.file_id || recorded.file_id_high != now.file_id_high) return false;
  if (same_boot && recorded.device != now.device) return false;
  return recorded.birth_ns == 0 || now.birth_ns == 0 || recorded.birth_ns == now.birth_ns;
}

PeriodRecordWriter::PeriodRecordWriter(std::shared_ptr<FileSystem> fs, std::string path)
    : fs_(std::move(fs)), path_(std::move(path)), namespaces_(RecordedNamespaces()) {
  file_ = fs_->Open(path_, OpenMode::kCreatePrivate);
  std::string joined;
  for (const std::string& ns : namespaces_) joined += (joined.empty() ? "" : ",") + ns;
  std::string line(kHeader);
  Field(line, static_cast<int64_t>(kVersion));
  Field(line, joined);
  Field(line, BootId());
  Field(line, UtcOffsetSeconds(LocalNow()));
  Line(std::move(line));
  Sync();
  fs_->SyncFolder(fs_->GetParentFolderName(path_));
}

PeriodRecordWriter::PeriodRecordWriter(std::shared_ptr<FileSystem> fs, std::string path, std::unique_ptr<File> file,
                                       uint64_t end)
    : fs_(std::move(fs)), path_(std::move(path)), file_(std::move(file)), offset_(end) {}

std::unique_ptr<PeriodRecordWriter> PeriodRecordWriter::Append(std::shared_ptr<FileSystem> fs, std::string path) {
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kReadWriteRegular);
  // A last line cut short by a crash is ended first, so that what follows
  // starts a line of its own; the reader skips the damaged one.
  const uint64_t size = file->Size();
  char last = '\n';
  if (size > 0) file->ReadAt(size - 1, &last, 1);
  std::unique_ptr<PeriodRecordWriter> writer(new PeriodRecordWriter(std::move(fs), std::move(path), std::move(file), size));
  if (last != '\n') writer->pending_ = "\n";
  return writer;
}

void PeriodRecordWriter::Line(std::string line) {
  pending_ += line;
  pending_ += '\n';
  if (pending_.size() >= kBufferSize) WritePending();
}

File* PeriodRecordWriter::WritePending() {
  if (!pending_.empty()) {
    file_->WriteAt(offset_, pending_.data(), pending_.size());
    offset_ += pending_.size();
    pending_.clear();
  }
  return file_.get();
}

void PeriodRecordWriter::Sync() { WritePending()->Sync(); }

void PeriodRecordWriter::Close() {
  Sync();
  file_->Close();
}

void PeriodRecordWriter::AddFile(const RecordedFile& file) {
  std::string line = "F";
  Field(line, file.path);
  IdentityFields(line, file.identity);
  Field(line, file.modified_ns);
  Field(line, file.changed_ns);
  Field(line, file.size);
  Attributes(line, file.attributes);
  Line(std::move(line));
}

void PeriodRecordWriter::AddFolder(const RecordedFolder& folder) {
  if (!folders_.insert(folder.path).second) return;
  std::string line = "P";
  Field(line, folder.path);
  Field(line, static_cast<uint64_t>(folder.owner));
  Field(line, static_cast<uint64_t>(folder.group));
  Field(line, static_cast<uint64_t>(folder.mode));
  Line(std::move(line));
}

void PeriodRecordWriter::AddArchive(std::string_view file_name, const Identity& identity) {
  std::string line = "A";
  Field(line, file_name);
  IdentityFields(line, identity);
  Line(std::move(line));
}

void PeriodRecordWriter::BeginTree(std::string_view root, const Identity& identity) {
  std::string line = "T";
  Field(line, root);
  IdentityFields(line, identity);
  Line(std::move(line));
  tree_entries_ = 0;
}

void PeriodRecordWriter::AddTreeEntry(const TreeEntry& e) {
  std::string line = "E";
  Field(line, std::string_view(reinterpret_cast<const char*>(&e.type), 1));
  Field(line, e.relative);
  Field(line, static_cast<uint64_t>(e.owner));
  Field(line, static_cast<uint64_t>(e.group));
  Field(line, static_cast<uint64_t>(e.mode));
  Field(line, e.modified_ns);
  Field(line, e.link_target);
  Attributes(line, e.attributes);
  Line(std::move(line));
  ++tree_entries_;
}

void PeriodRecordWriter::EndTree() {
  std::string line = "t";
  Field(line, tree_entries_);
  Line(std::move(line));
}

void PeriodRecordWriter::AddDone(DoneStep step, std::string_view path) {
  std::string line = "D";
  Field(line, std::string_view(reinterpret_cast<const char*>(&step), 1));
  Field(line, path);
  Line(std::move(line));
}

void PeriodRecordWriter::AddWhole() { Line("W"); }

void PeriodRecordWriter::AddLabel(std::string_view label) {
  std::string line = "L";
  Field(line, label);
  Line(std::move(line));
}

void PeriodRecordWriter::AddAbsent(std::string_view path) {
  std::string line = "N";
  Field(line, path);
  Line(std::move(line));
}

void PeriodRecordWriter::AddCompleted(int64_t utc_seconds) {
  std::string line = "C";
  Field(line, utc_seconds);
  Line(std::move(line));
}

std::unique_ptr<PeriodRecordReader> PeriodRecordReader::Open(FileSystem& fs, const std::string& path,
                                                             const DistrustCheck& distrust) {
  std::unique_ptr<File> file;
  try {
    file = fs.Open(path, OpenMode::kReadRegular);
  } catch (const Error& e) {
    if (e.IsNotFound()) return nullptr;
    throw;
  }
  const FileStat st = file->Stat();
  if (distrust) {
    if (std::optional<Error> why = distrust(st, path)) throw *why;
  }
  return FromFile(std::move(file), path);
}

std::unique_ptr<PeriodRecordReader> PeriodRecordReader::FromFile(std::unique_ptr<File> file, const std::string& path) {
  const uint64_t size = file->Size();
  if (size > kMaxRecordSize) {
    throw Damaged("it is larger (" + std::to_string(size) + " bytes) than a record may be (" +
                  std::to_string(kMaxRecordSize) + ")");
  }
  std::unique_ptr<PeriodRecordReader> reader(new PeriodRecordReader(std::move(file), path));
  std::string line;
  // A record cut short before its first line was whole says nothing.
  if (!reader->ReadLine(line)) return nullptr;
  const std::vector<std::string_view> f = Fields(line);
  if (f.size() < 3 || f[0] != kHeader) throw Damaged("no header");
  reader->version_ = Number<int>(f[1]);
  if (reader->version_ == 2 && f.size() == 5) {
    reader->same_boot_ = !f[3].empty() && Unescape(f[3]) == BootId();
    reader->utc_offset_ = Number<int64_t>(f[4]);
  } else if (reader->version_ != 1 || f.size() != 3) {
    throw Damaged("an unknown version (" + std::string(f[1]) + ")");
  } else {
    reader->same_boot_ = true;  // 4.0.0 kept no boot id: its numbers are taken as they stand
  }
  const std::string joined = Unescape(f[2]);
  for (size_t start = 0; start < joined.size();) {
    const size_t comma = std::min(joined.find(',', start), joined.size());
    reader->namespaces_.push_back(joined.substr(start, comma - start));
    start = comma + 1;
  }
  return reader;
}

void PeriodRecordReader::Seek(uint64_t offset, uint64_t line) {
  line_ = line - 1;
  // Lines asked for in about the order they were written are mostly in the
  // buffer already.
  const uint64_t start = offset_ - buffer_.size();
  if (offset >= start && offset < offset_) {
    pos_ = static_cast<size_t>(offset - start);
    return;
  }
  buffer_.clear();
  pos_ = 0;
  offset_ = offset;
  end_ = false;
}

bool PeriodRecordReader::ReadLine(std::string& line) {
  size_t from = pos_;  // what lies before holds no line break
  for (;;) {
    const size_t nl = buffer_.find('\n', from);
    if (nl != std::string::npos) {
      last_ = offset_ - buffer_.size() + pos_;
      ++line_;
      line.assign(buffer_, pos_, nl - pos_);
      pos_ = nl + 1;
      return true;
    }
    // A last line without its break was cut short: it is not part of the record.
    if (end_) return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    const size_t had = buffer_.size();
    from = had;
    buffer_.resize(had + kBufferSize);
    const size_t n = file_->ReadAt(offset_, buffer_.data() + had, kBufferSize);
    buffer_.resize(had + n);
    offset_ += n;
    if (n == 0) end_ = true;
  }
}

void PeriodRecordReader::ParseFile(const std::vector<std::string_view>& f, RecordItem& item) const {
  item.kind = RecordItem::kFile;
  RecordedFile& file = item.file;
  file.path = Unescape(f[1]);
  if (version_ == 1) {
    if (f.size() < 7) throw Damaged("a short line");
    file.identity = Identity{Number<uint64_t>(f[2]), Number<uint64_t>(f[3]), 0, Number<int64_t>(f[4])};
    file.modified_ns = Number<int64_t>(f[5]);
    file.changed_ns = 0;
    file.size = 0;
    file.attributes = ReadAttributes(f, 6);
    return;
  }
  if (f.size() < 10) throw Damaged("a short line");
  file.identity = ReadIdentity(f, 2);
  file.modified_ns = Number<int64_t>(f[6]);
  file.changed_ns = Number<int64_t>(f[7]);
  file.size = Number<uint64_t>(f[8]);
  file.attributes = ReadAttributes(f, 9);
}

bool PeriodRecordReader::Next(RecordItem& item) {
  std::string line;
  if (!ReadLine(line)) return false;
  const std::vector<std::string_view> f = Fields(line);
  const std::string_view kind = f[0];
  const bool v2 = version_ >= 2;
  if (kind == "F" && f.size() >= 2) {
    ParseFile(f, item);
  } else if (kind == "P" && f.size() == 5) {
    item.kind = RecordItem::kFolder;
    item.folder = RecordedFolder{Unescape(f[1]), Number<uint32_t>(f[2]), Number<uint32_t>(f[3]), Number<uint32_t>(f[4])};
  } else if (kind == "A" && v2 && f.size() == 6) {
    item.kind = RecordItem::kArchive;
    item.name = Unescape(f[1]);
    item.identity = ReadIdentity(f, 2);
  } else if (kind == "T" && f.size() == (v2 ? 6u : 3u)) {
    item.kind = RecordItem::kTreeBegin;
    item.name = Unescape(f[1]);
    item.identity = v2 ? ReadIdentity(f, 2) : Identity{Number<uint64_t>(f[2]), 0, 0, 0};
  } else if (kind == "E" && f.size() >= 9 && f[1].size() == 1 && std::string_view("fdlmo").find(f[1][0]) != std::string_view::npos) {
    item.kind = RecordItem::kTreeEntry;
    item.entry = TreeEntry{static_cast<TreeEntryType>(f[1][0]), Unescape(f[2]), Number<uint32_t>(f[3]),
                           Number<uint32_t>(f[4]),         Number<uint32_t>(f[5]), Number<int64_t>(f[6]),
                           Unescape(f[7]),                  ReadAttributes(f, 8)};
  } else if (kind == "t" && f.size() == 2) {
    item.kind = RecordItem::kTreeEnd;
  } else if (kind == "D" && v2 && f.size() == 3 && f[1].size() == 1 && std::string_view("rxm").find(f[1][0]) != std::string_view::npos) {
    item.kind = RecordItem::kDone;
    item.step = static_cast<DoneStep>(f[1][0]);
    item.name = Unescape(f[2]);
  } else if (kind == "W" && v2 && f.size() == 1) {
    item.kind = RecordItem::kWhole;
  } else if ((kind == "L" || kind == "N") && v2 && f.size() == 2) {
    item.kind = kind == "L" ? RecordItem::kLabel : RecordItem::kAbsent;
    item.name = Unescape(f[1]);
  } else if (kind == "C" && v2 && f.size() == 2) {
    item.kind = RecordItem::kCompleted;
    item.seconds = Number<int64_t>(f[1]);
  } else {
    throw Damaged("an unknown line");
  }
  return true;
}

}  // namespace bk
