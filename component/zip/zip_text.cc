// Times and names of ZIP entries.
#include <ctime>
#include <optional>

#include "component/text.h"
#include "component/zip/zip_format.h"

namespace bk::zip {
namespace {

constexpr uint16_t kExtraUnicodePath = 0x7075;

// Code page 437, bytes 0x80 to 0xFF.
constexpr char16_t kCp437High[] =
    u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»"
    u"░▒▓│┤╡╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
static_assert(sizeof(kCp437High) / sizeof(char16_t) == 129);

bool LocalTime(int64_t seconds, std::tm* out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

void ToDosTime(int64_t unix_seconds, uint16_t* dos_time, uint16_t* dos_date) {
  std::tm tm{};
  if (!LocalTime(unix_seconds, &tm) || tm.tm_year < 80) {
    *dos_time = 0;
    *dos_date = (1 << 5) | 1;  // 1980-01-01
    return;
  }
  if (tm.tm_year > 207) {
    *dos_time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
    *dos_date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
    return;
  }
  *dos_time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  *dos_date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

int64_t FromDosTime(uint16_t dos_time, uint16_t dos_date) {
  std::tm tm{};
  tm.tm_year = (dos_date >> 9) + 80;
  tm.tm_mon = ((dos_date >> 5) & 15) - 1;
  tm.tm_mday = dos_date & 31;
  tm.tm_hour = dos_time >> 11;
  tm.tm_min = (dos_time >> 5) & 63;
  tm.tm_sec = (dos_time & 31) * 2;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(t);
}

double OleDateFromSeconds(int64_t unix_seconds) {
  std::tm tm{};
  if (!LocalTime(unix_seconds, &tm)) return 0;
  const int64_t days = DaysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                     static_cast<unsigned>(tm.tm_mday)) -
                       DaysFromCivil(1899, 12, 30);
  const int seconds = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  return static_cast<double>(days) + seconds / 86400.0;
}

std::string DecodeName(std::string_view raw, uint16_t flags, std::string_view extra) {
  if (flags & kFlagUtf8) return std::string(raw);
  std::optional<std::string> unicode_path;
  ForEachExtra(extra, [&](uint16_t id, std::string_view data) {
    ByteReader block(data);
    if (unicode_path || id != kExtraUnicodePath || block.U8() != 1) return;
    const uint32_t crc = block.U32();
    const std::string_view utf8 = block.Bytes(block.remaining());
    if (block.ok() && crc == Crc32(0, raw.data(), raw.size()) && text::IsValidUtf8(utf8)) unicode_path.emplace(utf8);
  });
  if (unicode_path) return *std::move(unicode_path);
  if (text::IsValidUtf8(raw)) return std::string(raw);
  std::u16string wide;
  for (const char c : raw) {
    const auto b = static_cast<unsigned char>(c);
    wide.push_back(b < 0x80 ? static_cast<char16_t>(b) : kCp437High[b - 0x80]);
  }
  return text::ToUtf8(wide);
}

}  // namespace bk::zip
