#include "cli/progress.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <streambuf>

#include "component/process.h"

namespace bk::cli {

namespace {

constexpr std::chrono::milliseconds kTick{250};
constexpr size_t kDefaultColumns = 80;
constexpr const char* kClear = "\r\x1b[K";

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Duration(uint64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 600) return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  return std::to_string(seconds / 3600) + " h " + std::to_string(seconds / 60 % 60) + " min";
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 999.5 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 9.995 ? "%.2f %s" : value < 99.95 ? "%.1f %s" : "%.0f %s", value,
                kUnits[unit]);
  return text;
}

std::string ProgressDisplay::Line(const std::string& what, const Progress& c, int64_t elapsed_ms,
                                  size_t columns) {
  std::string line = "brightkeep: " + what + ": " + std::to_string(c.files_done);
  if (c.files != 0) line += " of " + std::to_string(c.files);
  line += c.files == 1 ? " file" : " files";
  if (c.bytes != 0 || c.bytes_done != 0) {
    line += ", " + FormatBytes(c.bytes_done);
    if (c.bytes != 0) line += " of " + FormatBytes(c.bytes);
  }
  // A rate says something only after a while.
  if (elapsed_ms >= 1000) {
    const auto elapsed = static_cast<uint64_t>(elapsed_ms);
    std::optional<uint64_t> left;
    if (c.bytes_done != 0) {
      const uint64_t rate = c.bytes_done * 1000 / elapsed;
      line += ", " + FormatBytes(rate) + "/s";
      if (c.bytes > c.bytes_done && rate != 0) left = (c.bytes - c.bytes_done) / rate;
    } else if (c.files_done != 0 && c.files > c.files_done) {
      left = (c.files - c.files_done) * elapsed / c.files_done / 1000;
    }
    if (left) line += ", " + Duration(*left) + " left";
  }
  if (columns > 1 && line.size() > columns - 1) line.resize(columns - 1);
  return line;
}

// Stands between a stream and its buffer while a display is shown.
class ProgressDisplay::Filter : public std::streambuf {
 public:
  Filter(ProgressDisplay& display, std::ostream& stream)
      : display_(display), stream_(stream), original_(stream.rdbuf(this)) {}
  ~Filter() override { stream_.rdbuf(original_); }
  std::streambuf* original() const { return original_; }
  bool line_open() const { return line_open_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(display_.mutex_);
    display_.ClearLocked();
    const std::streamsize written = original_->sputn(s, n);
    if (n > 0) line_open_ = s[n - 1] != '\n';
    if (!line_open_) original_->pubsync();
    return written;
  }
  int sync() override { return original_->pubsync(); }

 private:
  ProgressDisplay& display_;
  std::ostream& stream_;
  std::streambuf* original_;
  bool line_open_ = false;
};

ProgressDisplay::ProgressDisplay(bool quiet, bool forced)
    : enabled_(forced || (!quiet && IsTerminal(StandardStream::kError))) {
  if (!enabled_) return;
  std::cout.flush();
  out_filter_ = std::make_unique<Filter>(*this, std::cout);
  err_filter_ = std::make_unique<Filter>(*this, std::cerr);
}

ProgressDisplay::~ProgressDisplay() {
  if (!enabled_) return;
  End();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (clock_.joinable()) clock_.join();
  err_filter_.reset();
  out_filter_.reset();
}

void ProgressDisplay::Begin(std::string what) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  what_ = std::move(what);
  counts_ = {};
  started_ms_ = NowMs();
  active_ = true;
  DrawLocked();
  if (!clock_.joinable()) clock_ = std::thread([this] { Tick(); });
}

void ProgressDisplay::Update(const Progress& counts) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  counts_ = counts;
}

void ProgressDisplay::End() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!active_) return;
  DrawLocked();
  ClearLocked();
  active_ = false;
}

void ProgressDisplay::Tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kTick);
    if (active_ && !stopping_) DrawLocked();
  }
}

void ProgressDisplay::DrawLocked() {
  // Never in the middle of a line other output has begun.
  if (out_filter_->line_open() || err_filter_->line_open()) return;
  out_filter_->original()->pubsync();
  const int columns = TerminalColumns(StandardStream::kError);
  const std::string line =
      kClear + Line(what_, counts_, NowMs() - started_ms_, columns > 0 ? static_cast<size_t>(columns) : kDefaultColumns);
  std::streambuf* err = err_filter_->original();
  err->sputn(line.data(), static_cast<std::streamsize>(line.size()));
  err->pubsync();
  drawn_ = true;
}

void ProgressDisplay::ClearLocked() {
  if (!drawn_) return;
  std::streambuf* err = err_filter_->original();
  err->sputn(kClear, 4);
  err->pubsync();
  drawn_ = false;
}

}  // namespace bk::cli
