// How far a long piece of work has come, as the library tells it to a
// display: making files safe, putting them back.
#pragma once

#include <cstdint>

namespace bk {

// A total of 0 is not known (yet).
struct Progress {
  uint64_t files_done = 0;
  uint64_t files = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes = 0;
};

}  // namespace bk
