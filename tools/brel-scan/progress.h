// brel_scan_progress_t: a one-line progress display for long uploads on a terminal.
// Silent unless enabled (standard error is a terminal and the user did not switch
// it off) and the input is large. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class brel_scan_progress_t {
 public:
  // Inputs smaller than this are too quick to be worth a display.
  static constexpr uint64_t kMinimumSize = 8 * 1024 * 1024;

  explicit brel_scan_progress_t(bool enabled) : enabled_(enabled) {}

  // A new input; `total` is -1 when its size is unknown (standard input).
  void begin(const std::string& name, int64_t total);
  void update(uint64_t done);
  // Clears the line, if one was drawn.
  void end();

 private:
  void draw(uint64_t done);

  const bool enabled_;
  std::string name_;
  int64_t total_ = -1;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_draw_;
};
