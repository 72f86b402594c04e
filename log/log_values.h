// Conversions between the log's attribute texts and values, shared by the log
// and its archive entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bk::logvalue {

// A decimal number with optional sign, fraction and exponent, surrounded by
// blanks or not; nullopt for anything else (hex, infinity, empty text).
std::optional<double> Number(std::string_view text);

// "ZipId": 0 for empty text; a number rounded half to even; 13 when the text
// is not a number, 6 when it does not fit 32 bits.
int32_t IdFromText(std::string_view text);

// "Completed": true for the word True in any letter case or a non-zero
// number, false for anything else.
bool FlagFromText(std::string_view text);

// A file's path in a "SafeFile" element. A path that XML 1.0 can carry as it
// is (every valid UTF-8 name without control characters other than tab and
// line breaks) is its "Path" attribute alone, unchanged. Any other (bytes
// that are not UTF-8, as Linux names may hold; control characters) keeps a
// readable "Path", each such byte or character shown as U+FFFD, and adds
// "PathBytes": the exact bytes, each byte below 0x20, from 0x7F and "%"
// written "%XX", so that the attribute is printable ASCII. A reader takes
// "PathBytes" only while its readable form is the "Path" beside it, so a
// log whose "Path" was edited by hand means what its "Path" says.
inline constexpr const char* kPathBytesAttribute = "PathBytes";
// The "Path" value of a path.
std::string ReadablePath(std::string_view path);
// The "PathBytes" value a path needs; empty when "Path" holds it exactly.
std::string ExactPathBytes(std::string_view path);
// The path a "SafeFile" names, from its "Path" and "PathBytes" values.
std::string PathFromAttributes(std::string_view path, std::string_view bytes);

}  // namespace bk::logvalue
