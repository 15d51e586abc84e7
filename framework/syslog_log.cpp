#include "framework/syslog_log.h"

#include <syslog.h>

#include <atomic>

#include "schemas/log.pb.h"

namespace {

// The back-end that opened the process's one syslog connection last. An older
// back-end released late (another thread still held it for a write) must not
// close the connection its successor opened.
std::atomic<const cf_syslog_log_t*> syslog_owner{nullptr};

}  // namespace

cf_syslog_log_t::cf_syslog_log_t(std::string ident, int facility,
                                 cf_log_callback_t message_callback,
                                 cf_log_callback_t error_callback)
    : cf_log_t(std::move(message_callback), std::move(error_callback)),
      ident_(std::move(ident)),
      facility_(facility) {}

cf_syslog_log_t::~cf_syslog_log_t() {
  const cf_syslog_log_t* self = this;
  if (syslog_owner.compare_exchange_strong(self, nullptr)) ::closelog();
}

void cf_syslog_log_t::open() {
  ::openlog(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, facility_);
  syslog_owner = this;
}

void cf_syslog_log_t::write(int level, const std::string& text) {
  ::syslog(priority(level), "%s", text.c_str());
}

void cf_syslog_log_t::write_tagged(const std::string& tag, int number, const std::string& text) {
  const std::string line = tag + "-" + std::to_string(number) + ": " + text;
  ::syslog(LOG_ERR, "%s", line.c_str());
}

void cf_syslog_log_t::out_of_memory() noexcept {
  ::syslog(LOG_ERR, "%s", "Error: Not enough memory");
}

int cf_syslog_log_t::priority(int level) {
  if (level < kLogDebug) return LOG_DEBUG;
  if (level > kLogError) return LOG_ERR;
  return LOG_DEBUG - level;
}

int syslog_facility_from_config(int facility) {
  switch (facility) {
    case vl::Log::USER:
      return LOG_USER;
    case vl::Log::MAIL:
      return LOG_MAIL;
    case vl::Log::LOCAL0:
      return LOG_LOCAL0;
    case vl::Log::LOCAL1:
      return LOG_LOCAL1;
    case vl::Log::LOCAL2:
      return LOG_LOCAL2;
    case vl::Log::LOCAL3:
      return LOG_LOCAL3;
    case vl::Log::LOCAL4:
      return LOG_LOCAL4;
    case vl::Log::LOCAL5:
      return LOG_LOCAL5;
    case vl::Log::LOCAL6:
      return LOG_LOCAL6;
    case vl::Log::LOCAL7:
      return LOG_LOCAL7;
    default:
      return LOG_DAEMON;
  }
}
