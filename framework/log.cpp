#include "framework/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <boost/filesystem/exception.hpp>

#include "framework/console_log.h"
#include "framework/file_log.h"
#include "framework/syslog_log.h"
#include "schemas/log.pb.h"

std::atomic<int> log_threshold{0};

namespace {

enum { kBuffering = 0, kInstalled = 1, kExiting = 2 };

struct log_entry_t {
  int level;
  std::string text;
};

// Never destroyed: static objects of other units may log while being destroyed,
// and the exit handlers below run in between them.
struct log_globals_t {
  std::mutex mutex;
  std::atomic<int> state{kBuffering};
  // Guarded by mutex.
  std::shared_ptr<cf_log_t> process_log;
  std::vector<log_entry_t> buffer;
};

void flush_log_buffer();
void release_process_log();
void release_log_buffer();

log_globals_t& globals() {
  static log_globals_t* const instance = [] {
    auto* g = new log_globals_t;
    // atexit runs handlers in reverse order of registration: the buffer is
    // flushed first, then the back-end closes its target, then the buffer goes.
    std::atexit(release_log_buffer);
    std::atexit(release_process_log);
    std::atexit(flush_log_buffer);
    return g;
  }();
  return *instance;
}

// Registers the exit handlers before main even when nothing logs early.
const bool log_initialised = (globals(), true);

void release_process_log() {
  auto& g = globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.process_log.reset();
}

void release_log_buffer() {
  auto& g = globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  std::vector<log_entry_t>().swap(g.buffer);
}

void write_console_line(int level, const std::string& text) {
  std::string line = log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> lock(globals().mutex);
  log_write_all(2, line.data(), line.size());
}

void flush_log_buffer() {
  auto& g = globals();
  std::vector<log_entry_t> entries;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.state = kExiting;
    entries.swap(g.buffer);
  }
  if (entries.empty()) return;
  log_message(kLogDebug, "Flushing log...");
  for (const auto& entry : entries) log_message(entry.level, entry.text);
}

// A decimal int with an optional sign and nothing else.
bool parse_int(const char* text, int& value) {
  const char* p = text;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p == '\0') return false;
  long long result = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    result = result * 10 + (*p - '0');
    if (result > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) result = -result;
  if (result < INT_MIN || result > INT_MAX) return false;
  value = static_cast<int>(result);
  return true;
}

// The copy of every line to the pipe the configuration daemon may hand over.
cf_log_callback_t make_pipe_callback() {
  const char* text = std::getenv("COM_VELMO_ADD_LOG_PIPE");
  if (!text) return nullptr;
  int fd = 0;
  if (!parse_int(text, fd)) {
    CF_LOG(kLogError, "Log Factory: Wrong environment variable COM_VELMO_ADD_LOG_PIPE");
    return nullptr;
  }
  CF_LOG(kLogDebug, "Log Factory: Additional log - " + std::to_string(fd));
  return make_default_callback(fd);
}

// The log file is opened while the daemon still has its start-up privileges, so a
// symbolic link planted at its path is refused rather than followed.
int open_log_file(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_CREAT, 0600);
  if (fd >= 0) return fd;
  const int create_error = errno;
  fd = ::open(path.c_str(), kFlags);
  if (fd >= 0) return fd;
  throw boost::filesystem::filesystem_error(
      "Cannot create log", path,
      boost::system::error_code(create_error, boost::system::system_category()));
}

}  // namespace

cf_log_t::cf_log_t(cf_log_callback_t message_callback, cf_log_callback_t error_callback) {
  set_message_callback(std::move(message_callback));
  set_error_callback(std::move(error_callback));
}

cf_log_t::~cf_log_t() = default;

void cf_log_t::set_message_callback(cf_log_callback_t callback) {
  message_callback_ = callback ? std::move(callback) : [](const std::string&) {};
}

void cf_log_t::set_error_callback(cf_log_callback_t callback) {
  error_callback_ = callback ? std::move(callback) : [](const std::string&) {};
}

const char* log_level_name(int level) {
  switch (level) {
    case kLogDebug:
      return "Debug";
    case kLogInfo:
      return "Info";
    case kLogNotice:
      return "Notice";
    case kLogWarning:
      return "Warning";
    case kLogError:
      return "Error";
    default:
      return "Unknown";
  }
}

int log_level_from_name(const std::string& name) {
  for (int level = kLogDebug; level < kLogError; ++level)
    if (name == log_level_name(level)) return level;
  return kLogError;
}

int log_level_from_config(int config_level) {
  return config_level >= 1 && config_level <= 5 ? config_level - 1 : kLogError;
}

std::mutex& log_mutex() {
  return globals().mutex;
}

void log_message(int level, const std::string& text) {
  auto& g = globals();
  int state = g.state;
  if (state == kBuffering) {
    // Worker threads may log before the configuration installs a back-end.
    std::lock_guard<std::mutex> lock(g.mutex);
    state = g.state;
    if (state == kBuffering) {
      g.buffer.push_back({level, text});
      return;
    }
  }
  if (state == kInstalled) {
    std::shared_ptr<cf_log_t> log;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      log = g.process_log;
    }
    if (log) {
      log->write(level, text);
      const std::string line = std::string(log_level_name(level)) + ": " + text;
      std::lock_guard<std::mutex> lock(g.mutex);
      log->message_callback()(line);
      return;
    }
  }
  if (level >= log_threshold) write_console_line(level, text);
}

void log_tagged(const std::string& tag, int number, const std::string& text) {
  auto& g = globals();
  std::shared_ptr<cf_log_t> log;
  if (g.state == kInstalled) {
    std::lock_guard<std::mutex> lock(g.mutex);
    log = g.process_log;
  }
  if (!log) {
    log_message(kLogError, tag + "-" + std::to_string(number) + ": " + text);
    return;
  }
  log->write_tagged(tag, number, text);
  const std::string line = "[" + tag + "-" + std::to_string(number) + "] " + text;
  std::lock_guard<std::mutex> lock(g.mutex);
  log->error_callback()(line);
}

void install_log(std::shared_ptr<cf_log_t> log) {
  auto& g = globals();
  std::vector<log_entry_t> entries;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!log) {
      // Nothing chosen (AUTO): what is installed stays; with nothing installed
      // the buffer would otherwise grow for the life of the process.
      if (g.process_log) return;
      log = make_console_log();
    }
    // The previous back-end closes its target before the new one opens it again.
    g.process_log.reset();
    g.process_log = std::move(log);
    g.process_log->open();
    // Once exiting, lines go straight to standard error whatever is installed.
    if (g.state != kExiting) g.state = kInstalled;
    entries.swap(g.buffer);
  }
  for (const auto& entry : entries)
    if (entry.level >= log_threshold) log_message(entry.level, entry.text);
}

bool has_log() {
  auto& g = globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  return static_cast<bool>(g.process_log);
}

void log_out_of_memory() noexcept {
  auto& g = globals();
  {
    // Locking allocates nothing; the notice is written under the lock so that the
    // back-end cannot be released meanwhile.
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.state == kInstalled && g.process_log) {
      g.process_log->out_of_memory();
      return;
    }
  }
  static const char kText[] = "Error: Not enough memory\n";
  log_write_all(2, kText, sizeof(kText) - 1);
}

std::shared_ptr<cf_log_t> make_console_log() {
  return std::make_shared<cf_console_log_t>(nullptr, nullptr);
}

std::shared_ptr<cf_log_t> create_log(const vl::Log& settings, cf_log_callback_t message_callback,
                                     cf_log_callback_t error_callback) {
  const bool message_defaulted = !message_callback;
  if (message_defaulted) message_callback = make_pipe_callback();
  const bool error_defaulted = !error_callback;
  if (error_defaulted) error_callback = message_callback;

  switch (settings.type()) {
    case vl::Log::FILE:
      return std::make_shared<cf_file_log_t>(open_log_file(settings.path()), true,
                                             std::move(message_callback),
                                             std::move(error_callback));
    case vl::Log::STDERR:
      // Standard error is what the configuration daemon reads already; a pipe copy
      // would print every line twice.
      if (message_defaulted) {
        message_callback = nullptr;
        if (error_defaulted) error_callback = nullptr;
      }
      if (settings.show_timestamp())
        return std::make_shared<cf_file_log_t>(2, false, std::move(message_callback),
                                               std::move(error_callback));
      return std::make_shared<cf_console_log_t>(std::move(message_callback),
                                                std::move(error_callback));
    case vl::Log::SYSLOG:
      return std::make_shared<cf_syslog_log_t>(settings.has_ident() ? settings.ident() : "",
                                               syslog_facility_from_config(settings.facility()),
                                               std::move(message_callback),
                                               std::move(error_callback));
    default:
      return nullptr;
  }
}

void log_write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

cf_log_callback_t make_default_callback(int fd) {
  return [fd](const std::string& line) {
    const std::string copy = line + "\n";
    log_write_all(fd, copy.data(), copy.size());
  };
}
