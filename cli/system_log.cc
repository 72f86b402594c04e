#include "cli/system_log.h"

#include <cstdio>

namespace bk::cli {

namespace {

// Names come from folders others may write: a control character in one is
// written \xNN, so that no name can forge a line of the log.
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
  }
  return out;
}

}  // namespace

void LogPeriodStart(std::string_view command, std::string_view log, std::string_view detail) {
  std::string message = std::string(command) + " started: " + std::string(log);
  if (!detail.empty()) message += " (" + std::string(detail) + ")";
  WriteSystemLog(Printable(message), false);
}

void LogPeriodEnd(std::string_view command, std::string_view log, std::string_view outcome, bool failed) {
  WriteSystemLog(Printable(std::string(command) + " ended, " + std::string(outcome) + ": " + std::string(log)), failed);
}

}  // namespace bk::cli
