// Helpers shared by the platform implementations of FileSystem; not part of
// the component's interface.
#pragma once

#include <string>

namespace bk::fs_internal {

// "rad" followed by five hexadecimal digits and ".tmp", drawn from a
// process-wide random sequence.
std::string RandomTempName();

}  // namespace bk::fs_internal
