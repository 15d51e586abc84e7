#include "tools/brel-scan/progress.h"

#include <cstdio>

namespace {

// Redrawing more often than this only makes the terminal flicker.
constexpr std::chrono::milliseconds kRedrawInterval(100);

double mebibytes(uint64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

void brel_scan_progress_t::begin(const std::string& name, const std::string& verb, int64_t total) {
  name_ = name;
  verb_ = verb;
  total_ = total;
  shown_ = false;
}

void brel_scan_progress_t::update(uint64_t done) {
  if (!enabled_) return;
  shown_ =
      shown_ || (total_ < 0 ? done >= kMinimumSize : static_cast<uint64_t>(total_) >= kMinimumSize);
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw(done);
}

void brel_scan_progress_t::note(const std::string& text) {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K%s: %s...", name_.c_str(), text.c_str());
  std::fflush(stderr);
}

void brel_scan_progress_t::end() {
  shown_ = false;
  erase();
}

void brel_scan_progress_t::erase() {
  if (!drawn_) return;
  // Carriage return and erase-line leave the terminal as it was before.
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void brel_scan_progress_t::draw(uint64_t done) {
  if (total_ > 0) {
    const int percent = static_cast<int>(done * 100 / static_cast<uint64_t>(total_));
    std::fprintf(stderr, "\r\033[K%s: %s %3d%% (%.1f of %.1f MiB)", name_.c_str(), verb_.c_str(),
                 percent, mebibytes(done), mebibytes(static_cast<uint64_t>(total_)));
  } else {
    std::fprintf(stderr, "\r\033[K%s: %s %.1f MiB", name_.c_str(), verb_.c_str(), mebibytes(done));
  }
  std::fflush(stderr);
  drawn_ = true;
}
