#include "cli/text_diff.h"

#include <algorithm>
#include <vector>

namespace bk::cli {
namespace {

// Past this many differing lines the trace of the search costs too much
// memory (it grows with the square): the texts are shown as replaced.
constexpr int kMaxEdits = 2000;
constexpr size_t kContext = 3;

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const size_t stop = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, stop - start));
    start = stop;
  }
  return lines;
}

enum class Op : char { kSame = ' ', kDel = '-', kAdd = '+' };
struct Edit {
  Op op;
  size_t a, b;  // line indexes in before and after
};

// The shortest edit script between a[0..n) and b[0..m) (Myers), or nothing
// when it is longer than kMaxEdits.
bool ShortestEdit(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b, size_t lo_a,
                  size_t n, size_t lo_b, size_t m, std::vector<Edit>& out) {
  const int N = static_cast<int>(n), M = static_cast<int>(m), max = std::min(N + M, kMaxEdits);
  std::vector<int> v(2 * max + 2, 0);
  std::vector<std::vector<int>> trace;
  int found = -1;
  for (int d = 0; d <= max && found < 0; ++d) {
    trace.push_back(v);
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && v[k - 1 + max] < v[k + 1 + max])) ? v[k + 1 + max] : v[k - 1 + max] + 1;
      int y = x - k;
      while (x < N && y < M && a[lo_a + x] == b[lo_b + y]) ++x, ++y;
      v[k + max] = x;
      if (x >= N && y >= M) {
        found = d;
        break;
      }
    }
  }
  if (found < 0) return false;
  std::vector<Edit> reversed;
  int x = N, y = M;
  for (int d = found; d > 0; --d) {
    const std::vector<int>& pv = trace[d];
    const int k = x - y;
    const bool down = k == -d || (k != d && pv[k - 1 + max] < pv[k + 1 + max]);
    const int pk = down ? k + 1 : k - 1;
    const int px = pv[pk + max], py = px - pk;
    while (x > px && y > py) reversed.push_back({Op::kSame, lo_a + --x, lo_b + --y});
    if (down) {
      reversed.push_back({Op::kAdd, lo_a + x, lo_b + --y});
    } else {
      reversed.push_back({Op::kDel, lo_a + --x, lo_b + y});
    }
  }
  while (x > 0 && y > 0) reversed.push_back({Op::kSame, lo_a + --x, lo_b + --y});
  out.insert(out.end(), reversed.rbegin(), reversed.rend());
  return true;
}

void AppendLine(std::string& out, char op, std::string_view line) {
  out += op;
  out += line;
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

std::string Range(size_t start, size_t count) {
  // An empty range is named by the line before it.
  return std::to_string(count == 0 ? start : start + 1) + (count == 1 ? "" : "," + std::to_string(count));
}

}  // namespace

bool LooksLikeText(std::string_view bytes) {
  return bytes.substr(0, 8192).find('\0') == std::string_view::npos;
}

TextDiff DiffLines(std::string_view before, std::string_view after) {
  const std::vector<std::string_view> a = Lines(before), b = Lines(after);
  size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
  std::vector<Edit> edits;
  for (size_t i = 0; i < head; ++i) edits.push_back({Op::kSame, i, i});
  const size_t n = a.size() - head - tail, m = b.size() - head - tail;
  if (!ShortestEdit(a, b, head, n, head, m, edits)) {
    for (size_t i = 0; i < n; ++i) edits.push_back({Op::kDel, head + i, head});
    for (size_t j = 0; j < m; ++j) edits.push_back({Op::kAdd, head + n, head + j});
  }
  for (size_t i = 0; i < tail; ++i) edits.push_back({Op::kSame, a.size() - tail + i, b.size() - tail + i});

  TextDiff diff;
  for (size_t i = 0; i < edits.size();) {
    if (edits[i].op == Op::kSame) {
      ++i;
      continue;
    }
    // A hunk: from kContext lines before this change to kContext after the
    // last change that lies within 2 * kContext of the one before it.
    size_t start = i >= kContext ? i - kContext : 0, end = i;
    for (size_t j = i; j < edits.size(); ++j) {
      if (edits[j].op != Op::kSame) end = j;
      else if (j - end > 2 * kContext) break;
    }
    const size_t stop = std::min(edits.size(), end + 1 + kContext);
    size_t count_a = 0, count_b = 0;
    std::string body;
    for (size_t j = start; j < stop; ++j) {
      const Edit& e = edits[j];
      if (e.op != Op::kAdd) ++count_a;
      if (e.op != Op::kDel) ++count_b;
      if (e.op == Op::kAdd) ++diff.added;
      if (e.op == Op::kDel) ++diff.removed;
      AppendLine(body, static_cast<char>(e.op), e.op == Op::kAdd ? b[e.b] : a[e.a]);
    }
    diff.hunks += "@@ -" + Range(edits[start].a, count_a) + " +" + Range(edits[start].b, count_b) + " @@\n" + body;
    i = stop;
  }
  return diff;
}

}  // namespace bk::cli
