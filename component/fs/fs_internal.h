// Helpers shared by the platform implementations of FileSystem; not part of
// the component's interface.
#pragma once

#include <string>
#include <string_view>

#include "component/error.h"

namespace bk::fs_internal {

// "rad" followed by five hexadecimal digits and ".tmp", drawn from a
// process-wide random sequence.
std::string RandomTempName();

// 75 "Not a folder": a link or another entry where a folder is opened or
// removed without following links.
Error NotAFolder(std::string_view path, int64_t native_code = 0);

}  // namespace bk::fs_internal
