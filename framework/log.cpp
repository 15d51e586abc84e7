#include "framework/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

std::atomic<int> log_threshold{0};

namespace {

enum { kBuffering = 0, kInstalled = 1, kExiting = 2 };

struct log_entry_t {
  int level;
  std::string text;
};

// Created before any static object of another unit can log: the first call of
// log_state() builds it and registers the exit handlers.
struct log_globals_t {
  std::mutex mutex;
  std::atomic<int> state{kBuffering};
  std::shared_ptr<cf_log_t> process_log;
  std::vector<log_entry_t> buffer;
};

log_globals_t* globals = nullptr;

void flush_log_buffer();
void release_process_log() {
  std::shared_ptr<cf_log_t> released;
  {
    std::lock_guard<std::mutex> lock(globals->mutex);
    released.swap(globals->process_log);
  }
}
void release_log_buffer() { std::vector<log_entry_t>().swap(globals->buffer); }

log_globals_t& log_state() {
  static log_globals_t* instance = [] {
    globals = new log_globals_t;
    // atexit runs handlers in reverse order of registration.
    std::atexit(release_log_buffer);
    std::atexit(release_process_log);
    std::atexit(flush_log_buffer);
    return globals;
  }();
  return *instance;
}

// Makes sure the globals exist before main, so the exit handlers are in place.
const bool log_initialised = (log_state(), true);

void write_console_line(int level, const std::string& text) {
  std::string line = log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  log_write_all(2, line.data(), line.size());
}

void flush_log_buffer() {
  auto& g = log_state();
  g.state = kExiting;
  if (g.buffer.empty()) return;
  std::vector<log_entry_t> entries;
  entries.swap(g.buffer);
  log_message(kLogDebug, "Flushing log...");
  for (const auto& entry : entries) log_message(entry.level, entry.text);
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

cf_console_log_t::cf_console_log_t(cf_log_callback_t message_callback,
                                   cf_log_callback_t error_callback)
    : cf_log_t(std::move(message_callback), std::move(error_callback)) {}

void cf_console_log_t::open() {}

void cf_console_log_t::write(int level, const std::string& text) {
  std::string line = log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> lock(log_state().mutex);
  log_write_all(2, line.data(), line.size());
}

void cf_console_log_t::write_tagged(const std::string& tag, int number, const std::string& text) {
  std::string line = tag + "-" + std::to_string(number) + ": " + text + "\n";
  std::lock_guard<std::mutex> lock(log_state().mutex);
  log_write_all(2, line.data(), line.size());
}

void cf_console_log_t::out_of_memory() noexcept {
  static const char kText[] = "Error: Not enough memory\n";
  log_write_all(2, kText, sizeof(kText) - 1);
}

const char* log_level_name(int level) {
  switch (level) {
    case kLogDebug: return "Debug";
    case kLogInfo: return "Info";
    case kLogNotice: return "Notice";
    case kLogWarning: return "Warning";
    case kLogError: return "Error";
    default: return "Unknown";
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

void log_message(int level, const std::string& text) {
  auto& g = log_state();
  switch (g.state.load()) {
    case kBuffering:
      g.buffer.push_back({level, text});
      return;
    case kInstalled: {
      std::shared_ptr<cf_log_t> log;
      {
        std::lock_guard<std::mutex> lock(g.mutex);
        log = g.process_log;
      }
      if (!log) return;
      log->write(level, text);
      std::lock_guard<std::mutex> lock(g.mutex);
      log->message_callback()(std::string(log_level_name(level)) + ": " + text);
      return;
    }
    default:
      if (level >= log_threshold) write_console_line(level, text);
  }
}

void log_tagged(const std::string& tag, int number, const std::string& text) {
  auto& g = log_state();
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
  std::lock_guard<std::mutex> lock(g.mutex);
  log->error_callback()("[" + tag + "-" + std::to_string(number) + "] " + text);
}

void install_log(std::shared_ptr<cf_log_t> log) {
  auto& g = log_state();
  std::shared_ptr<cf_log_t> previous;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    previous = std::move(g.process_log);
    // The previous back-end closes its target before the new one opens it again.
    previous.reset();
    g.process_log = std::move(log);
    g.process_log->open();
    if (g.state != kExiting) g.state = kInstalled;
  }
  std::vector<log_entry_t> entries;
  entries.swap(g.buffer);
  for (const auto& entry : entries)
    if (entry.level >= log_threshold) log_message(entry.level, entry.text);
}

bool has_log() {
  auto& g = log_state();
  std::lock_guard<std::mutex> lock(g.mutex);
  return static_cast<bool>(g.process_log);
}

void log_out_of_memory() noexcept {
  auto& g = log_state();
  if (g.state == kInstalled) {
    // No lock and no copy of the pointer: both could allocate or block.
    if (auto* log = g.process_log.get()) {
      log->out_of_memory();
      return;
    }
  }
  static const char kText[] = "Error: Not enough memory\n";
  log_write_all(2, kText, sizeof(kText) - 1);
}

std::shared_ptr<cf_log_t> make_console_log() {
  return std::make_shared<cf_console_log_t>(nullptr, nullptr);
}

void log_write_all(int fd, const char* data, size_t size) noexcept {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

cf_log_callback_t make_default_callback(int fd) {
  return [fd](const std::string& line) {
    std::string copy = line + "\n";
    log_write_all(fd, copy.data(), copy.size());
  };
}
