// The part of a rollback that the period's record drives: the plan of a
// protected tree's entries, the folders above files made safe, and what each
// file had besides its content. Internal to the log.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "component/zip/archive.h"
#include "log/period_record.h"
#include "log/rollback_log.h"
#include "log/tree.h"

namespace bk {

// Plans what the record asks beyond the files: every complete tree against
// what is there now, and the recorded folders above files that are gone.
// Fails with the record's error when it cannot be trusted or read.
void PlanRecorded(FileSystem& fs, const std::string& record, const DistrustCheck& distrust, RecordPlan& out);

// The last step, after the files: every recorded folder gets back its owner,
// group, mode, time and attributes, deepest first.
void RestoreRecordedFolders(FileSystem& fs, const RecordPlan& plan, const DistrustCheck& distrust,
                            TreeReport& report);

// What the record says of the files of one drive: an index of 16 bytes per
// file (a hash of its path and where its line begins), each line read again
// when its file is asked for. A file recorded twice is taken as it was first.
class RecordedFiles {
 public:
  RecordedFiles(FileSystem& fs, const std::string& record, const DistrustCheck& distrust, std::string drive);
  std::optional<RestoreHint> For(const std::string& target);

 private:
  std::unique_ptr<PeriodRecordReader> reader_;
  std::vector<std::string> namespaces_;
  std::vector<std::pair<uint64_t, uint64_t>> index_;  // (hash of the path, offset), by hash
};

}  // namespace bk
