// The log back-end on a file or an inherited descriptor: every line carries the
// local time and the process id, "2024-Jan-05 10:00:00 [123] Level: text".
//
// Owned by the process log once installed; closes the descriptor on destruction
// only when it owns it. Any thread: each line is written whole under log_mutex.
#pragma once

#include <sys/types.h>

#include <ctime>

#include "framework/log.h"

class cf_file_log_t : public cf_log_t {
 public:
  // REQUIRES: `fd` stays open for the life of this object (it is closed here when
  // `owns_fd`).
  cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t message_callback,
                cf_log_callback_t error_callback);
  ~cf_file_log_t() override;

  void open() override;
  void write(int level, const std::string& text) override;
  void write_tagged(const std::string& tag, int number, const std::string& text) override;
  // Goes to standard error: the file may be what failed.
  void out_of_memory() noexcept override;

  int fd() const { return fd_; }
  bool owns_fd() const { return owns_fd_; }

 private:
  // Constant after construction.
  const int fd_;
  const bool owns_fd_;
  const pid_t pid_;
};

// "%Y-%b-%d %H:%M:%S" of `t` in local time, with English month names whatever the
// locale.
std::string log_time_text(std::time_t t);
