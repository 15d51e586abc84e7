#include "framework/console_log.h"

cf_console_log_t::cf_console_log_t(cf_log_callback_t message_callback,
                                   cf_log_callback_t error_callback)
    : cf_log_t(std::move(message_callback), std::move(error_callback)) {}

void cf_console_log_t::open() {}

void cf_console_log_t::write(int level, const std::string& text) {
  std::string line = log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> lock(log_mutex());
  log_write_all(2, line.data(), line.size());
}

void cf_console_log_t::write_tagged(const std::string& tag, int number, const std::string& text) {
  std::string line = tag + "-" + std::to_string(number) + ": " + text + "\n";
  std::lock_guard<std::mutex> lock(log_mutex());
  log_write_all(2, line.data(), line.size());
}

void cf_console_log_t::out_of_memory() noexcept {
  static const char kText[] = "Error: Not enough memory\n";
  log_write_all(2, kText, sizeof(kText) - 1);
}
