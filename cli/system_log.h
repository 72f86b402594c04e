// Each period's start, end and outcome in the system log, from protect,
// rollback and revert: what an administrator reads afterwards to learn what
// was protected, rolled back or reverted and how it ended, whatever --quiet
// says. Linux: syslog(3), identifier "brightkeep", facility LOG_USER;
// Windows: the Application event log, source "brightkeep".
#pragma once

#include <string>
#include <string_view>

namespace bk::cli {

// "<command> started: <log>", then " (<detail>)" when there is one.
void LogPeriodStart(std::string_view command, std::string_view log, std::string_view detail = {});
// "<command> ended, <outcome>: <log>"; a failure at error priority, any
// other outcome at notice priority.
void LogPeriodEnd(std::string_view command, std::string_view log, std::string_view outcome, bool failed);

// The platform's part (system_log_posix.cc, system_log_windows.cc): one
// message, without control characters.
void WriteSystemLog(const std::string& message, bool failed);

}  // namespace bk::cli
