// Loads arbitrary bytes as a rollback log and reads every value a report or a
// rollback would read. Loading may fail with bk::Error; nothing else may
// happen (a crash, a hang, another exception, a sanitizer report).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "component/error.h"
#include "log/rollback_log.h"

namespace {

void ReadEverything(bk::clsFileRollbackLog& log) {
  (void)log.Completed();
  (void)log.StartDate();
  (void)log.TempPath();
  (void)log.BackupDestFileName();
  for (int32_t i = 1; i <= log.ZipCount(); ++i) {
    const auto zip = log.Zip(i);
    (void)zip->ZipId();
    (void)zip->ZipName();
    (void)log.ZipByDrive(zip->ZipDrive());
    for (int32_t f = 1; f <= zip->FileCount(); ++f) (void)zip->FilePath(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = bk::fuzz::ScratchFolder("log") + "/Safe fuzz.xml";
  bk::fuzz::WriteWholeFile(path, data, size);
  const auto log = bk::clsFileRollbackLog::Create();
  try {
    log->LoadFromFile(path);
  } catch (const bk::Error&) {
    return 0;
  }
  try {
    ReadEverything(*log);
  } catch (const bk::Error&) {
    // A value the log holds may be unreadable (a date that is no number);
    // that is reported as an error, never as anything worse.
  }
  return 0;
}
