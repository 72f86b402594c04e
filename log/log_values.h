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

}  // namespace bk::logvalue
