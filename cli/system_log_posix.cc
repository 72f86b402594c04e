#include <syslog.h>

#include "cli/system_log.h"

namespace bk::cli {

void WriteSystemLog(const std::string& message, bool failed) {
  openlog("brightkeep", LOG_PID, LOG_USER);
  syslog(failed ? LOG_ERR : LOG_NOTICE, "%s", message.c_str());
  closelog();
}

}  // namespace bk::cli
