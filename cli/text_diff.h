// Differences between two texts, line by line (Myers' algorithm), written as
// a unified diff: hunks of changed lines with three lines of context.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bk::cli {

struct TextDiff {
  std::string hunks;  // "@@ -a,b +c,d @@" lines and the lines they hold
  size_t added = 0, removed = 0;
};

// The differences that turn `before` into `after`. Lines end with "\n"; a
// last line without one is marked "\ No newline at end of file". Past a
// bound of differing lines the texts are shown as wholly replaced.
TextDiff DiffLines(std::string_view before, std::string_view after);

// True when the bytes look like text: no NUL among the first 8 KiB.
bool LooksLikeText(std::string_view bytes);

}  // namespace bk::cli
