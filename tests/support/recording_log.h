// recording_log_t: a log back-end that keeps every line as "<Level>: <text>", for
// tests that check what was logged. The test installs it (install_log, or through a
// log_capture_t) and keeps a shared pointer to read it. Lines arrive under
// log_mutex from whichever thread logs; the queries take that mutex too, so they
// must not be called from on_line.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/log.h"

class recording_log_t : public cf_log_t {
 public:
  recording_log_t() : cf_log_t(nullptr, nullptr) {}
  void open() override {}
  void write(int level, const std::string& text) override {
    lines.push_back(std::string(log_level_name(level)) + ": " + text);
    if (on_line) on_line(lines.back());
  }
  void write_tagged(const std::string&, int, const std::string&) override {}
  void out_of_memory() noexcept override {}

  // Index of the first line holding `part`, or -1.
  int index(const std::string& part) const {
    std::lock_guard<std::mutex> lock(log_mutex());
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
  bool has(const std::string& part) const { return index(part) >= 0; }
  // Whether exactly `line` was logged.
  bool has_line(const std::string& line) const {
    std::lock_guard<std::mutex> lock(log_mutex());
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::vector<std::string> lines;
  // Called with each line as it is logged, under log_mutex.
  std::function<void(const std::string&)> on_line;
};

// Records everything logged at Debug while it lives, then puts the console log and
// the threshold back. A fixture's first member, so it outlives what logs.
struct log_capture_t {
  log_capture_t() : saved_threshold(log_threshold) {
    log_threshold = kLogDebug;
    install_log(lines);
  }
  ~log_capture_t() {
    install_log(make_console_log());
    log_threshold = saved_threshold;
  }
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  std::shared_ptr<recording_log_t> lines = std::make_shared<recording_log_t>();
  const int saved_threshold;
};
