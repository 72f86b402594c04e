#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "component/platform.h"
#include "component/text.h"

namespace bk {

PlatformInit::PlatformInit() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
PlatformInit::~PlatformInit() { CoUninitialize(); }

std::vector<std::string> Utf8Arguments(int, char**) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(text::ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
  }
  LocalFree(wide);
  return out;
}

}  // namespace bk
