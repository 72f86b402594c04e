#include "component/text.h"

#include <cstdint>

namespace bk::text {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one code point at s[i], advancing i. Surrogate code points are
// accepted when allow_surrogates is set (generalised UTF-8). Returns -1 on a
// malformed sequence, consuming one byte.
int32_t Decode(std::string_view s, size_t& i, bool allow_surrogates) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) { ++i; return b0; }
  int len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else { ++i; return -1; }
  if (i + len > s.size()) { ++i; return -1; }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) { ++i; return -1; }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) { ++i; return -1; }
  if (cp >= 0xD800 && cp <= 0xDFFF && !allow_surrogates) { ++i; return -1; }
  i += len;
  return static_cast<int32_t>(cp);
}

char32_t FoldCodePoint(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x12F) return c | 1;
  if (c >= 0x132 && c <= 0x137) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF)) return c | 1;
  if (c >= 0x1E00 && c <= 0x1EFF && c != 0x1E9E) return c | 1;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
  return c;
}

}  // namespace

std::string ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string ToUtf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    const int32_t cp = Decode(in, i, /*allow_surrogates=*/true);
    if (cp < 0) {
      out += u'\uFFFD';
    } else if (cp >= 0x10000) {
      const char32_t v = static_cast<char32_t>(cp) - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

void AppendUtf16Le(std::string_view utf8, std::string& out) {
  // ASCII, nearly all of a log, is widened directly. No UTF-8 text has fewer
  // bytes than its UTF-16 form has units, which bounds the growth.
  const size_t start = out.size();
  out.resize(start + 2 * utf8.size());
  char* to = out.data() + start;
  const char* in = utf8.data();
  const char* const end = in + utf8.size();
  const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  while (in != end) {
    if (ascii(*in)) {
      to[0] = *in++;
      to[1] = '\0';
      to += 2;
      continue;
    }
    // A multi-byte sequence holds no ASCII byte, so the run ends between
    // characters.
    const char* const run = in;
    while (in != end && !ascii(*in)) ++in;
    for (const char16_t unit : ToUtf16(std::string_view(run, static_cast<size_t>(in - run)))) {
      to[0] = static_cast<char>(unit & 0xFF);
      to[1] = static_cast<char>(unit >> 8);
      to += 2;
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (Decode(s, i, /*allow_surrogates=*/false) < 0) return false;
  }
  return true;
}

std::string WithReplacementCharacters(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    if (Decode(s, i, /*allow_surrogates=*/false) < 0) {
      AppendUtf8(out, 0xFFFD);
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out;
}

void AppendPercentEscaped(std::string& out, std::string_view bytes, bool non_ascii) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '%' || (non_ascii && u >= 0x80)) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
}

std::string OnOneLine(std::string_view text) {
  bool c0 = false, c1 = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    c0 = c0 || u < 0x20 || u == 0x7F;
    // U+0080 to U+009F, which some terminals obey as escapes.
    c1 = c1 || (u == 0xC2 && next >= 0x80 && next <= 0x9F);
  }
  // A lone byte such as 0x9B steers 8-bit terminals: text that is not UTF-8
  // or holds C1 keeps to ASCII.
  const bool non_ascii = c1 || !IsValidUtf8(text);
  if (!c0 && !non_ascii) return std::string(text);
  std::string out;
  AppendPercentEscaped(out, text, non_ascii);
  return out;
}

std::optional<std::string> PercentUnescaped(std::string_view text) {
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int hi = i + 2 < text.size() ? hex(text[i + 1]) : -1;
    const int lo = i + 2 < text.size() ? hex(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string FoldCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const int32_t cp = Decode(s, i, /*allow_surrogates=*/true);
    if (cp < 0) {
      out.append(s.substr(start, i - start));
    } else {
      AppendUtf8(out, FoldCodePoint(static_cast<char32_t>(cp)));
    }
  }
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return FoldCase(a) == FoldCase(b);
}

}  // namespace bk::text
