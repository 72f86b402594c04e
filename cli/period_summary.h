// What a period's record tells of it beyond its log, for the command's
// listings: the label it was given, when it ended, the trees it protected.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "component/fs/file_system.h"
#include "log/period_lock.h"

namespace bk {
class PeriodRecordReader;
}

namespace bk::cli {

struct PeriodSummary {
  std::string label;
  std::optional<int64_t> ended;       // seconds since 1970 (UTC), when the period completed
  std::optional<int64_t> utc_offset;  // of the zone the period started in
  std::vector<std::string> trees;     // roots, as protected
};

// Reads the summary from an open record; nothing of it when `reader` is
// null. A line that cannot be read is passed over: a summary is never the
// reason a command fails.
PeriodSummary Summarize(std::unique_ptr<PeriodRecordReader> reader);
// The summary of the record at `path` (empty when there is none, or when
// it cannot be read or is not trusted by `distrust`).
PeriodSummary SummarizeRecordFile(FileSystem& fs, const std::string& path, const DistrustCheck& distrust);

// "YYYY-MM-DD HH:MM:SS" of `seconds` in the zone `utc_offset` (the local
// zone when unknown); with `json`, "YYYY-MM-DDTHH:MM:SS+HH:MM".
std::string FormatUtcSeconds(int64_t seconds, std::optional<int64_t> utc_offset, bool json);

// An "  ended: …" line when the summary knows the end (the label and the
// trees are the log report's to show).
void PrintSummary(std::ostream& out, const PeriodSummary& summary);

// The "ended" member of a JSON object.
void WriteSummaryFields(JsonWriter& json, const PeriodSummary& summary);

}  // namespace bk::cli
