#include <cstdint>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/text.h"

namespace bk {
namespace {

File& Require(const std::unique_ptr<File>& file) {
  if (!file) throw Error::Standard(errnum::kBadFileNameOrNumber);
  return *file;
}

}  // namespace

TextWriter::TextWriter(std::unique_ptr<File> file, bool unicode) : file_(std::move(file)), unicode_(unicode) {
  if (unicode_) pending_ = "\xFF\xFE";
}

TextWriter::~TextWriter() {
  // Text written but never closed still reaches the file, as far as it can.
  try {
    if (file_) Drain();
  } catch (...) {
  }
}

void TextWriter::Write(std::string_view utf8) {
  Require(file_);
  if (!unicode_) {
    pending_.append(utf8);
    return;
  }
  for (const char16_t unit : text::ToUtf16(utf8)) {
    pending_ += static_cast<char>(unit & 0xFF);
    pending_ += static_cast<char>(unit >> 8);
  }
}

void TextWriter::WriteLine(std::string_view utf8) {
  Write(utf8);
  Write("\r\n");
}

void TextWriter::Flush() {
  Drain();
  file_->Sync();
}

void TextWriter::Close() {
  Drain();
  file_->Close();
  file_.reset();
}

void TextWriter::Drain() {
  File& file = Require(file_);
  if (pending_.empty()) return;
  file.WriteAt(offset_, pending_.data(), pending_.size());
  offset_ += pending_.size();
  pending_.clear();
}

TextReader::TextReader(std::unique_ptr<File> file) : file_(std::move(file)) {}

std::string TextReader::ReadLine() {
  Load();
  if (pos_ >= content_.size()) throw Error::Standard(errnum::kInputPastEndOfFile, file_->path());
  size_t end = content_.find(u'\n', pos_);
  const size_t next = end == std::u16string::npos ? content_.size() : end + 1;
  if (end == std::u16string::npos) end = content_.size();
  if (end > pos_ && content_[end - 1] == u'\r') --end;
  std::string line = text::ToUtf8(std::u16string_view(content_).substr(pos_, end - pos_));
  pos_ = next;
  return line;
}

bool TextReader::AtEndOfStream() {
  Load();
  return pos_ >= content_.size();
}

void TextReader::Close() {
  Require(file_).Close();
  file_.reset();
}

void TextReader::Load() {
  File& file = Require(file_);
  if (loaded_) return;
  const std::string bytes = file.ReadAll();
  size_t i = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE' ? 2 : 0;
  content_.reserve(bytes.size() / 2);
  for (; i + 1 < bytes.size(); i += 2) {
    content_ += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
  }
  loaded_ = true;
}

}  // namespace bk
