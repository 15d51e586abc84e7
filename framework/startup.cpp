#include "framework/startup.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/enum_name.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/error.pb.h"

namespace {

// Start-up and exit paths that find no log yet report on standard error, Notice
// and above, after whatever the buffer holds at that level.
void ensure_log() {
  if (has_log()) return;
  log_threshold = kLogNotice;
  install_log(make_console_log());
}

std::string limit_text(rlim_t limit) {
  return limit == RLIM_INFINITY ? std::string("unlimited") : std::to_string(limit);
}

std::string errno_text(int error) {
  return boost::system::error_code(error, boost::system::system_category()).message();
}

}  // namespace

void install_terminate_handler() {
  std::set_terminate(terminate_handler);
}

void terminate_handler() {
  try {
    ensure_log();
    std::exception_ptr in_flight = std::current_exception();
    try {
      if (in_flight) std::rethrow_exception(in_flight);
      throw vl::EC_UNEXPECTED_ERROR;
    } catch (const std::exception& e) {
      CF_LOG(kLogError, exception_text(e));
      ::_exit(exception_to_error_enum(e));
    } catch (...) {
      CF_LOG(kLogError, "Unexpected exception");
      ::_exit(vl::EC_UNEXPECTED_ERROR);
    }
  } catch (const std::bad_alloc&) {
    log_out_of_memory();
    ::_exit(vl::EC_NO_MEMORY);
  } catch (...) {
    ::_exit(vl::EC_UNEXPECTED_ERROR);
  }
}

void install_protobuf_log_handler() {
  google::protobuf::SetLogHandler(protobuf_log_handler);
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char* /*filename*/, int /*line*/,
                          const std::string& message) {
  int log_level = kLogError;
  switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
      log_level = kLogInfo;
      break;
    case google::protobuf::LOGLEVEL_WARNING:
      // Client files routinely exceed the library's default size warning.
      if (message.rfind("Reading dangerously large protocol message.", 0) == 0) return;
      log_level = kLogWarning;
      break;
    default:
      break;
  }
  CF_LOG(log_level, message);
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    const int error = errno;
    CF_LOG(kLogWarning, "Descriptor limit: getrlimit: " + errno_text(error));
    return;
  }
  if (limit.rlim_cur != limit.rlim_max) {
    const rlim_t old_limit = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      const int error = errno;
      CF_LOG(kLogWarning, "Descriptor limit: setrlimit " + limit_text(limit.rlim_max) + ": " +
                              errno_text(error) + "; it stays " + limit_text(old_limit));
      return;
    }
  }
  CF_LOG(kLogDebug, "Descriptor limit: " + limit_text(limit.rlim_cur));
}

void exit_with_status(int status) {
  ensure_log();
  CF_LOG(kLogNotice, "Exit with status " + std::to_string(status) + " (" +
                         enum_number_display_name(vl::ErrorCode_descriptor(), status) + ")");
  std::exit(status);
}
