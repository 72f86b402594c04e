#include "component/platform.h"

namespace bk {

PlatformInit::PlatformInit() = default;
PlatformInit::~PlatformInit() = default;

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace bk
