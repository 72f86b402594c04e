// Helpers shared by the XML back ends: which values an XML 1.0 document can
// carry, and where in a text a parse error lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "component/error.h"

namespace bk::xmltext {

// Decodes strict UTF-8 (no surrogates, no overlong forms) at s[i], advancing
// i; -1 on a malformed sequence.
inline int32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<uint8_t>(s[i++]);
  if (b0 < 0x80) return b0;
  int extra = 0;
  uint32_t cp = 0;
  uint32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) { extra = 1; cp = b0 & 0x1Fu; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { extra = 2; cp = b0 & 0x0Fu; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { extra = 3; cp = b0 & 0x07u; min = 0x10000; }
  else return -1;
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size() || (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (static_cast<uint8_t>(s[i++]) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return static_cast<int32_t>(cp);
}

// True when `utf8` is well-formed UTF-8 made only of characters that XML 1.0
// can represent (escaped where needed): tab, line feed, carriage return,
// U+0020..U+D7FF, U+E000..U+FFFD and U+10000..U+10FFFF.
inline bool IsRepresentable(std::string_view utf8) {
  for (size_t i = 0; i < utf8.size();) {
    const int32_t c = NextCodePoint(utf8, i);
    if (c < 0) return false;
    if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
  }
  return true;
}

// Fails with errnum::kUnrepresentableValue unless IsRepresentable(value).
inline void RequireRepresentable(std::string_view name, std::string_view value) {
  if (IsRepresentable(value)) return;
  throw Error(errnum::kUnrepresentableValue, kLibrarySource,
              "The value of \"" + std::string(name) +
                  "\" holds bytes that are not UTF-8 or characters that XML cannot store");
}

inline std::string PositionText(size_t line, size_t column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// "line L, column C" (both from 1, columns in characters) of a byte offset
// into UTF-8 text.
inline std::string Position(std::string_view utf8, size_t offset) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i < offset && i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return PositionText(line, column);
}

// The error of a document that cannot be parsed.
inline Error ParseError(std::string_view message, std::string_view position, std::string_view path) {
  return Error(errnum::kXmlParseError, kLibrarySource,
               "The XML document cannot be read: " + std::string(message) + " at " + std::string(position),
               std::string(path));
}

// The error of appending a node of another document, or a node below itself.
inline Error ForeignNode() {
  return Error(errnum::kInvalidProcedureCall, kLibrarySource,
               "The node belongs to another document or cannot go there");
}

// `xml` with every tab, line feed and carriage return inside an attribute
// value written as a character reference, since a parser reads those
// characters, when literal, as spaces. Comments, CDATA sections, processing
// instructions and text are copied unchanged.
inline std::string EscapeAttributeBreaks(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  size_t i = 0;
  const auto copy_through = [&](std::string_view end) {
    const size_t found = xml.find(end, i);
    const size_t stop = found == std::string_view::npos ? xml.size() : found + end.size();
    out.append(xml.substr(i, stop - i));
    i = stop;
  };
  while (i < xml.size()) {
    const std::string_view rest = xml.substr(i);
    if (rest.front() != '<') {
      out += xml[i++];
    } else if (rest.starts_with("<!--")) {
      copy_through("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      copy_through("]]>");
    } else if (rest.starts_with("<?")) {
      copy_through("?>");
    } else {
      char quote = 0;
      for (bool open = true; open && i < xml.size(); ++i) {
        const char c = xml[i];
        if (quote != 0 && (c == '\t' || c == '\n' || c == '\r')) {
          out += c == '\t' ? "&#9;" : c == '\n' ? "&#10;" : "&#13;";
          continue;
        }
        if (quote == 0 && (c == '"' || c == '\'')) quote = c;
        else if (c == quote) quote = 0;
        else if (quote == 0 && c == '>') open = false;
        out += c;
      }
    }
  }
  return out;
}

// `xml` without the encoding named in its XML declaration, if any: the text
// is Unicode, and the log stores it as UTF-16 whatever the document was
// loaded from, so a declared "UTF-8" would contradict the file.
inline std::string DropDeclaredEncoding(std::string_view xml) {
  if (!xml.starts_with("<?xml")) return std::string(xml);
  const size_t end = xml.find("?>");
  const size_t at = xml.find(" encoding", 0);
  if (end == std::string_view::npos || at == std::string_view::npos || at > end) return std::string(xml);
  size_t quote = xml.find_first_of("\"'", at);
  if (quote == std::string_view::npos || quote > end) return std::string(xml);
  const size_t close = xml.find(xml[quote], quote + 1);
  if (close == std::string_view::npos || close > end) return std::string(xml);
  return std::string(xml.substr(0, at)) + std::string(xml.substr(close + 1));
}

}  // namespace bk::xmltext
