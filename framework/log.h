// The process-wide log.
//
// Every component logs through log_message after comparing its level with
// log_threshold (CF_LOG does both). Until a back-end is installed, entries are
// buffered and replayed at install_log; at process exit whatever is still buffered
// goes to standard error. Callable from any thread: back-end writes and callbacks
// run under one process-wide mutex (log_mutex) so lines never interleave.
// REQUIRES: a callback given to a back-end never logs (it runs under log_mutex).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
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
#define CF_LOG(level, text)                                     \
  do {                                                          \
    if ((level) >= log_threshold) log_message((level), (text)); \
  } while (0)

using cf_log_callback_t = std::function<void(const std::string&)>;

// A log back-end. Owned by the log (process_log) once installed, and shared for
// the length of a write with any thread that is writing; the destructor closes
// whatever target the back-end owns. Both callbacks are always callable.
class cf_log_t {
 public:
  cf_log_t(cf_log_callback_t message_callback, cf_log_callback_t error_callback);
  virtual ~cf_log_t();
  cf_log_t(const cf_log_t&) = delete;
  cf_log_t& operator=(const cf_log_t&) = delete;

  // Called once, by install_log, under log_mutex.
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

// "Debug", "Info", "Notice", "Warning", "Error"; "Unknown" for any other value.
const char* log_level_name(int level);
// The inverse of log_level_name; any other text is Error.
int log_level_from_name(const std::string& name);
// vl::LogLevel 1..5 to levels 0..4; anything else is Error.
int log_level_from_config(int config_level);

// The one mutex of the log; back-ends write each line whole under it.
std::mutex& log_mutex();

void log_message(int level, const std::string& text);
void log_tagged(const std::string& tag, int number, const std::string& text);

// Makes `log` the process log and replays the buffered entries that pass the
// threshold. An empty pointer (the AUTO type) keeps the installed back-end, or
// installs the console log when none is installed yet, so that the buffer is
// never left to grow.
void install_log(std::shared_ptr<cf_log_t> log);
bool has_log();
// The allocation-free notice for a failed allocation.
void log_out_of_memory() noexcept;
std::shared_ptr<cf_log_t> make_console_log();

// A new back-end for `settings`, or an empty pointer for the AUTO type (and any
// unknown type). An empty message callback becomes the COM_VELMO_ADD_LOG_PIPE
// copy when that variable names a descriptor; an empty error callback becomes a
// copy of the message callback. Throws boost::filesystem::filesystem_error for an
// unusable file.
std::shared_ptr<cf_log_t> create_log(const vl::Log& settings, cf_log_callback_t message_callback,
                                     cf_log_callback_t error_callback);

// Writes all bytes, repeating writes interrupted by a signal; gives up silently on
// any other error.
void log_write_all(int fd, const char* data, std::size_t size) noexcept;
// A message callback writing the line and a newline to `fd`.
cf_log_callback_t make_default_callback(int fd);
