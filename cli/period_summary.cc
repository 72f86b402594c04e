#include "cli/period_summary.h"

#include <cstdio>

#include "component/platform.h"
#include "log/period_record.h"

namespace bk::cli {

PeriodSummary Summarize(std::unique_ptr<PeriodRecordReader> reader) {
  PeriodSummary summary;
  if (!reader) return summary;
  summary.utc_offset = reader->utc_offset();
  RecordItem item;
  for (;;) {
    try {
      if (!reader->Next(item)) break;
    } catch (const Error&) {
      continue;  // a damaged line: the next one is read
    }
    if (item.kind == RecordItem::kLabel) summary.label = item.name;
    if (item.kind == RecordItem::kCompleted) summary.ended = item.seconds;
    if (item.kind == RecordItem::kTreeBegin) summary.trees.push_back(item.name);
  }
  return summary;
}

PeriodSummary SummarizeRecordFile(FileSystem& fs, const std::string& path, const DistrustCheck& distrust) {
  if (path.empty()) return {};
  try {
    return Summarize(PeriodRecordReader::Open(fs, path, distrust));
  } catch (const Error&) {
    return {};
  }
}

std::string FormatUtcSeconds(int64_t seconds, std::optional<int64_t> utc_offset, bool json) {
  const int64_t offset = utc_offset ? *utc_offset : UtcOffsetSeconds(LocalNow());
  // The civil date of a day count (days since 1970-01-01), in the proleptic
  // Gregorian calendar.
  const int64_t local = seconds + offset;
  int64_t days = local / 86400, rest = local % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld%c%02lld:%02lld:%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), json ? 'T' : ' ',
                static_cast<long long>(rest / 3600), static_cast<long long>(rest % 3600 / 60),
                static_cast<long long>(rest % 60));
  std::string out = text;
  if (json) {
    const int64_t a = offset < 0 ? -offset : offset;
    std::snprintf(text, sizeof text, "%c%02lld:%02lld", offset < 0 ? '-' : '+', static_cast<long long>(a / 3600),
                  static_cast<long long>(a % 3600 / 60));
    out += text;
  }
  return out;
}

void PrintSummary(std::ostream& out, const PeriodSummary& summary) {
  if (summary.ended) out << "  ended: " << FormatUtcSeconds(*summary.ended, summary.utc_offset, false) << '\n';
}

void WriteSummaryFields(JsonWriter& json, const PeriodSummary& summary) {
  json.Key("ended");
  if (summary.ended) {
    json.String(FormatUtcSeconds(*summary.ended, summary.utc_offset, true));
  } else {
    json.Null();
  }
}

}  // namespace bk::cli
