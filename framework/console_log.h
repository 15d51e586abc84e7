// The log back-end on standard error: "Level: text" lines, as start-up, exit and
// the STDERR log type without timestamps use it.
//
// Owned by the process log once installed (or by whoever made it). Any thread:
// each line is written whole under log_mutex.
#pragma once

#include "framework/log.h"

class cf_console_log_t : public cf_log_t {
 public:
  cf_console_log_t(cf_log_callback_t message_callback, cf_log_callback_t error_callback);

  void open() override;
  void write(int level, const std::string& text) override;
  void write_tagged(const std::string& tag, int number, const std::string& text) override;
  void out_of_memory() noexcept override;
};
