// The process-wide log.
//
// Every component logs through log_message after comparing its level with
// log_threshold (CF_LOG does both). Until a back-end is installed, entries are
// buffered and replayed at install_log; at process exit whatever is still buffered
// goes to standard error. Callable from any thread: back-end writes and callbacks
// run under one process-wide mutex so lines never interleave.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace vl {
class Log;
}

constexpr int kLogDebug = 0;
constexpr int kLogInfo = 1;
constexpr int kLogNotice = 2;
constexpr int kLogWarning = 3;
constexpr int kLogError = 4;

// The lowest level that is written; everything passes until start-up sets it.
extern std::atomic<int> log_threshold;

// Builds the text only when the level passes the threshold.
#define CF_LOG(level, text)                                 \
  do {                                                      \
    if ((level) >= log_threshold) log_message((level), (text)); \
  } while (0)

using cf_log_callback_t = std::function<void(const std::string&)>;

// A log back-end. Owned by the log (process_log) once installed; the destructor
// closes whatever target the back-end owns.
class cf_log_t {
 public:
  cf_log_t(cf_log_callback_t message_callback, cf_log_callback_t error_callback);
  virtual ~cf_log_t();

  virtual void open() = 0;
  virtual void write(int level, const std::string& text) = 0;
  virtual void write_tagged(const std::string& tag, int number, const std::string& text) = 0;
  // Must not allocate.
  virtual void out_of_memory() noexcept = 0;

  void set_message_callback(cf_log_callback_t callback);
  void set_error_callback(cf_log_callback_t callback);
  const cf_log_callback_t& message_callback() const { return message_callback_; }
  const cf_log_callback_t& error_callback() const { return error_callback_; }

 private:
  cf_log_callback_t message_callback_;
  cf_log_callback_t error_callback_;
};

// Writes level name, ": ", text and a newline to standard error.
class cf_console_log_t : public cf_log_t {
 public:
  cf_console_log_t(cf_log_callback_t message_callback, cf_log_callback_t error_callback);
  void open() override;
  void write(int level, const std::string& text) override;
  void write_tagged(const std::string& tag, int number, const std::string& text) override;
  void out_of_memory() noexcept override;
};

const char* log_level_name(int level);
int log_level_from_name(const std::string& name);
// vl::LogLevel 1..5 to levels 0..4; anything else is Error.
int log_level_from_config(int config_level);

void log_message(int level, const std::string& text);
void log_tagged(const std::string& tag, int number, const std::string& text);
void install_log(std::shared_ptr<cf_log_t> log);
bool has_log();
void log_out_of_memory() noexcept;
std::shared_ptr<cf_log_t> make_console_log();

// An empty pointer for the AUTO type (the caller keeps what is installed).
// Throws boost::filesystem::filesystem_error for an unusable file.
std::shared_ptr<cf_log_t> create_log(const vl::Log& settings, cf_log_callback_t message_callback,
                                     cf_log_callback_t error_callback);

// Writes all bytes, repeating writes interrupted by a signal; gives up silently on
// any other error.
void log_write_all(int fd, const char* data, size_t size) noexcept;
cf_log_callback_t make_default_callback(int fd);
