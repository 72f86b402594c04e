// Text helpers. Strings inside the component are UTF-8; on Windows paths may
// hold unpaired surrogates, which travel as their generalised UTF-8 encoding
// (three bytes ED A0..BF xx), so that every UTF-16 name survives a round trip.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bk::text {

// UTF-16 to UTF-8. Unpaired surrogates are encoded as three-byte sequences.
std::string ToUtf8(std::u16string_view utf16);
// UTF-8 to UTF-16, the inverse of ToUtf8. Bytes that are not UTF-8 become
// U+FFFD; callers that must not lose data check IsValidUtf8 first.
std::u16string ToUtf16(std::string_view utf8);

// Appends the UTF-16 LE bytes of UTF-8 text to `out`, as ToUtf16 converts it.
void AppendUtf16Le(std::string_view utf8, std::string& out);

// True when the text is well-formed UTF-8 (no surrogate code points).
bool IsValidUtf8(std::string_view utf8);
// The bytes with each one that is not part of well-formed UTF-8 (surrogate
// code points included) replaced by U+FFFD: a readable form of any name.
std::string WithReplacementCharacters(std::string_view bytes);

// Bytes escaped for text that must stay on one line and in ASCII where
// asked: each byte below 0x20, 0x7F and "%" (with `non_ascii`, each byte
// from 0x80 too) as "%XX" in upper-case hexadecimal, every other as it is.
void AppendPercentEscaped(std::string& out, std::string_view bytes, bool non_ascii = false);
// Text for a terminal, from a source that may be another user's (a label, a
// name in a backup): as it is when it is UTF-8 holding no control character
// (below 0x20, 0x7F, or U+0080 to U+009F), else percent-escaped whole, in
// ASCII, so that it can neither break the line nor steer the terminal.
std::string OnOneLine(std::string_view text);
// The inverse of AppendPercentEscaped; nullopt when a "%" is not followed by two upper-case
// hexadecimal digits.
std::optional<std::string> PercentUnescaped(std::string_view text);

// Case folding for keys compared without regard to letter case: ASCII,
// Latin-1, Latin Extended-A, Greek, Cyrillic, Latin Extended Additional and
// full-width Latin letters fold to lower case; everything else is unchanged.
std::string FoldCase(std::string_view utf8);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace bk::text
