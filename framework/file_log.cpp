#include "framework/file_log.h"

#include <unistd.h>

#include <cstdio>

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t message_callback,
                             cf_log_callback_t error_callback)
    : cf_log_t(std::move(message_callback), std::move(error_callback)),
      fd_(fd),
      owns_fd_(owns_fd),
      pid_(::getpid()) {}

cf_file_log_t::~cf_file_log_t() {
  if (owns_fd_) ::close(fd_);
}

void cf_file_log_t::open() {}

void cf_file_log_t::write(int level, const std::string& text) {
  std::string line = log_time_text(std::time(nullptr));
  line += " [";
  line += std::to_string(pid_);
  line += "] ";
  line += log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> lock(log_mutex());
  log_write_all(fd_, line.data(), line.size());
}

void cf_file_log_t::write_tagged(const std::string& tag, int number, const std::string& text) {
  std::string line = log_time_text(std::time(nullptr));
  line += " [";
  line += tag;
  line += '-';
  line += std::to_string(number);
  line += "] ";
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> lock(log_mutex());
  log_write_all(fd_, line.data(), line.size());
}

void cf_file_log_t::out_of_memory() noexcept {
  static const char kText[] = "Error: Not enough memory\n";
  log_write_all(2, kText, sizeof(kText) - 1);
}

std::string log_time_text(std::time_t t) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!::localtime_r(&t, &local)) ::gmtime_r(&t, &local);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%s-%02d %02d:%02d:%02d", local.tm_year + 1900,
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
  return text;
}
