// brel_scan_progress_t: a one-line progress display for long transfers on a
// terminal: the upload of a large input, the wait for its scan, and the read-back
// of large data. Silent unless enabled (standard error is a terminal and the user
// did not switch it off) and the transfer is large. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class brel_scan_progress_t {
 public:
  // Transfers smaller than this are too quick to be worth a display.
  static constexpr uint64_t kMinimumSize = 8 * 1024 * 1024;

  explicit brel_scan_progress_t(bool enabled) : enabled_(enabled) {}

  // A new transfer of `name` ("sending", "receiving"); `total` is -1 when its size
  // is unknown (standard input).
  void begin(const std::string& name, const std::string& verb, int64_t total);
  void update(uint64_t done);
  // Replaces the line with "<name>: <text>..." when the transfer before was shown.
  void note(const std::string& text);
  // Clears the line, if one was drawn.
  void end();

 private:
  void draw(uint64_t done);
  void erase();

  const bool enabled_;
  std::string name_;
  std::string verb_;
  int64_t total_ = -1;
  // The current transfer is large enough to be shown.
  bool shown_ = false;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_draw_;
};
