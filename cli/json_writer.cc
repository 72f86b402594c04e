#include "cli/json_writer.h"

#include <cmath>
#include <cstdio>

namespace bk::cli {

namespace {

void AppendEscape(std::string& out, uint32_t unit) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(unit));
  out += buffer;
}

// Length of the UTF-8 sequence at `s[i]` (surrogate code points accepted),
// or 0 when the bytes there are not one; `code` receives the code point.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  size_t length = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) length = 2, code = b0 & 0x1Fu;
  else if (b0 >= 0xE0 && b0 <= 0xEF) length = 3, code = b0 & 0x0Fu;
  else if (b0 >= 0xF0 && b0 <= 0xF4) length = 4, code = b0 & 0x07u;
  else return 0;
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kMinimum[length] || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string JsonWriter::Quote(std::string_view value) {
  std::string out = "\"";
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      AppendEscape(out, c);
    } else if (c >= 0x80) {
      uint32_t code = 0;
      const size_t length = DecodeUtf8(value, i, code);
      if (length == 0) {
        AppendEscape(out, 0xDC00u + c);
      } else if (code >= 0xD800 && code <= 0xDFFF) {
        AppendEscape(out, code);
      } else {
        out.append(value.substr(i, length));
      }
      i += length == 0 ? 1 : length;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
  return out;
}

void JsonWriter::NewLine() {
  out_ << '\n' << std::string(counts_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!counts_.empty()) {
    if (counts_.back()++ > 0) out_ << ',';
    NewLine();
  }
}

void JsonWriter::Key(std::string_view key) {
  BeforeValue();
  out_ << Quote(key) << ": ";
  after_key_ = true;
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_ << bracket;
  counts_.push_back(0);
}

void JsonWriter::Close(char bracket) {
  const bool empty = counts_.back() == 0;
  counts_.pop_back();
  if (!empty) NewLine();
  out_ << bracket;
  if (counts_.empty()) out_ << '\n';
}

void JsonWriter::String(std::string_view value) {
  BeforeValue();
  out_ << Quote(value);
}

void JsonWriter::Integer(int64_t value) {
  BeforeValue();
  out_ << value;
}

void JsonWriter::Number(double value) {
  if (!std::isfinite(value)) return Null();
  BeforeValue();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  out_ << buffer;
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ << (value ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  out_ << "null";
}

void JsonWriter::Field(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  BeginArray();
  for (const std::string& value : values) String(value);
  EndArray();
}

}  // namespace bk::cli
