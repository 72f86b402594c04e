#include "log/listed_files.h"

#include <algorithm>
#include <utility>

#include "component/error.h"
#include "component/text.h"

namespace bk {
namespace {

// Text is written in pieces of about this size.
constexpr size_t kPiece = 1 << 20;

constexpr std::string_view kZipOpening = "\n\t\t<ZipFile";
constexpr std::string_view kSelfClosing = " />";

std::string Utf8OfUtf16Le(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return text::ToUtf8(units);
}

}  // namespace

bool ListedFiles::Fits(std::string_view skeleton) {
  // Lines end in a line feed alone: a carriage return is never raw in a
  // value, so one in the text is a back end that ends lines otherwise.
  return skeleton.find("\n\t<ZipFiles") != std::string_view::npos && skeleton.find('\r') == std::string_view::npos;
}

ListedFiles::Zip& ListedFiles::At(size_t zip) {
  if (zip >= zips_.size()) zips_.resize(zip + 1);
  return zips_[zip];
}

uint64_t ListedFiles::Bytes() const {
  uint64_t n = 0;
  for (const Zip& z : zips_) n += z.ends.empty() ? 0 : z.ends.back();
  return n;
}

size_t ListedFiles::Count(size_t zip) const { return zip < zips_.size() ? zips_[zip].ends.size() : 0; }

void ListedFiles::Append(size_t zip, std::string_view lines) {
  Zip& z = At(zip);
  uint64_t end = z.ends.empty() ? 0 : z.ends.back();
  for (size_t from = 0; from < lines.size();) {
    const size_t eol = lines.find('\n', from);
    const size_t next = eol == std::string_view::npos ? lines.size() : eol + 1;
    const size_t before = z.pending.size();
    text::AppendUtf16Le(lines.substr(from, next - from), z.pending);
    end += z.pending.size() - before;
    z.ends.push_back(end);
    from = next;
  }
}

void ListedFiles::ReadSaved(uint64_t offset, uint64_t n, std::string& out) {
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(n));
  for (uint64_t done = 0; done < n;) {
    const size_t got = file_->ReadAt(offset + done, out.data() + at + done, static_cast<size_t>(n - done));
    if (got == 0) throw Error::Standard(errnum::kInputPastEndOfFile, file_->path());
    done += got;
  }
}

std::string ListedFiles::Lines(size_t zip, size_t first, size_t n) {
  if (n == 0) return {};
  Zip& z = At(zip);
  if (first + n > z.ends.size()) throw Error::Standard(errnum::kSubscriptOutOfRange);
  const uint64_t start = first == 0 ? 0 : z.ends[first - 1];
  const uint64_t end = z.ends[first + n - 1];
  const uint64_t saved = z.SavedBytes();
  std::string bytes;
  if (start < saved) ReadSaved(z.offset + start, std::min(end, saved) - start, bytes);
  if (end > saved) {
    const uint64_t from = std::max(start, saved) - saved;
    bytes.append(z.pending, static_cast<size_t>(from), static_cast<size_t>(end - saved - from));
  }
  return Utf8OfUtf16Le(bytes);
}

void ListedFiles::Write(File& out, std::string_view skeleton) {
  uint64_t at = 0;
  std::string buffer("\xFF\xFE", 2);
  const auto flush = [&] {
    out.WriteAt(at, buffer.data(), buffer.size());
    at += buffer.size();
    buffer.clear();
  };
  const auto put = [&](std::string_view utf8) {
    text::AppendUtf16Le(utf8, buffer);
    if (buffer.size() >= kPiece) flush();
  };
  size_t printed = 0;  // of the skeleton
  size_t search = 0;
  for (Zip& z : zips_) {
    const size_t opening = skeleton.find(kZipOpening, search);
    const size_t eol = opening == std::string_view::npos ? opening : skeleton.find('\n', opening + 1);
    if (eol == std::string_view::npos || eol < opening + kSelfClosing.size() ||
        skeleton.substr(eol - kSelfClosing.size(), kSelfClosing.size()) != kSelfClosing) {
      throw Error::Standard(errnum::kInvalidProcedureCall);
    }
    search = eol;
    if (z.ends.empty()) continue;
    put(skeleton.substr(printed, eol - kSelfClosing.size() - printed));
    put(">\n");
    flush();
    z.written_at = at;
    for (uint64_t copied = 0, saved = z.SavedBytes(); copied < saved;) {
      const uint64_t n = std::min<uint64_t>(kPiece, saved - copied);
      ReadSaved(z.offset + copied, n, buffer);
      flush();
      copied += n;
    }
    out.WriteAt(at, z.pending.data(), z.pending.size());
    at += z.pending.size();
    put("\t\t</ZipFile>");
    printed = eol;
  }
  put(skeleton.substr(printed));
  flush();
}

void ListedFiles::Saved(std::unique_ptr<File> file) {
  for (Zip& z : zips_) {
    z.offset = z.written_at;
    z.saved = z.ends.size();
    std::string().swap(z.pending);
  }
  file_ = std::move(file);
}

}  // namespace bk
