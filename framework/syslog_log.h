// The log back-end on the system log: priority 7 minus the level, under the
// configured ident and facility, with the process id.
//
// Owned by the process log once installed; `open` (at install) connects to the
// system log and the destructor disconnects, unless a newer syslog back-end has
// connected since (the connection is process-wide). Writes take no lock.
#pragma once

#include "framework/log.h"

class cf_syslog_log_t : public cf_log_t {
 public:
  // An empty `ident` lets the system log use the program name.
  cf_syslog_log_t(std::string ident, int facility, cf_log_callback_t message_callback,
                  cf_log_callback_t error_callback);
  ~cf_syslog_log_t() override;

  void open() override;
  void write(int level, const std::string& text) override;
  void write_tagged(const std::string& tag, int number, const std::string& text) override;
  void out_of_memory() noexcept override;

  const std::string& ident() const { return ident_; }
  int facility() const { return facility_; }

  // LOG_DEBUG for Debug up to LOG_ERR for Error and anything above.
  static int priority(int level);

 private:
  // Constant after construction; openlog keeps a pointer to ident_'s characters.
  const std::string ident_;
  const int facility_;
};

// The syslog facility of a vl::Log::LogFacility value; LOG_DAEMON for DAEMON and
// any value without its own facility.
int syslog_facility_from_config(int facility);
