// OLE Automation dates and the number texts of the log's attributes.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include "component/error.h"
#include "component/platform.h"
#include "component/text.h"
#include "log/log_values.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

// The range of OLE Automation dates: 1 January 100 to 31 December 9999.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958466.0;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

double OleDateFromLocalNow() { return OleDateFromLocal(LocalNow()); }

double OleDateFromLocal(const LocalDateTime& now) {
  using namespace std::chrono;
  const sys_days day = year{now.year} / month{static_cast<unsigned>(now.month)} / static_cast<unsigned>(now.day);
  const auto days = (day - sys_days(year{1899} / December / 30)).count();
  const int seconds = now.hour * 3600 + now.minute * 60 + now.second;
  return static_cast<double>(days) + seconds / 86400.0;
}

std::string OleDateToText(double date) {
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, date, std::chars_format::general, 15);
  std::string out(buffer, result.ptr);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return c == 'e' ? 'E' : c; });
  const size_t point = out.find('.');
  if (point != std::string::npos) out.replace(point, 1, LocaleDecimalSeparator());
  return out;
}

double OleDateFromText(std::string_view text) {
  std::string number(TrimBlanks(text));
  const size_t comma = number.find(',');
  if (comma != std::string::npos && number.find('.') == std::string::npos) number[comma] = '.';
  const std::optional<double> value = logvalue::Number(number);
  if (!value || *value < kMinOleDate || *value >= kMaxOleDate) throw Error::Standard(errnum::kTypeMismatch);
  return *value;
}

namespace logvalue {

std::optional<double> Number(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

int32_t IdFromText(std::string_view text) {
  if (text.empty()) return 0;
  const std::optional<double> value = Number(text);
  if (!value) throw Error::Standard(errnum::kTypeMismatch);
  const double rounded = std::nearbyint(*value);
  if (rounded < -2147483648.0 || rounded > 2147483647.0) throw Error::Standard(errnum::kOverflow);
  return static_cast<int32_t>(rounded);
}

bool FlagFromText(std::string_view text) {
  text = TrimBlanks(text);
  if (text::EqualsIgnoreCase(text, "True")) return true;
  const std::optional<double> value = Number(text);
  return value && *value != 0;
}

}  // namespace logvalue
}  // namespace bk
