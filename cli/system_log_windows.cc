#include <windows.h>

#include "cli/system_log.h"
#include "component/text.h"

namespace bk::cli {

// Without a message file registered for the source, the Event Viewer shows
// the text as the event's only insertion string.
void WriteSystemLog(const std::string& message, bool failed) {
  HANDLE source = RegisterEventSourceW(nullptr, L"brightkeep");
  if (source == nullptr) return;
  const std::u16string text = text::ToUtf16(message);
  const wchar_t* strings[] = {reinterpret_cast<const wchar_t*>(text.c_str())};
  ReportEventW(source, failed ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings,
               nullptr);
  DeregisterEventSource(source);
}

}  // namespace bk::cli
