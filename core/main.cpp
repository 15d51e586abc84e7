// The daemon's entry. Without COM_VELMO_MONITOR it only answers its command
// line; with it, it runs the service until the event loop returns or an error or a
// bare vl::ErrorCode leaves it, and ends through exit_with_status.
#include <cstdlib>
#include <exception>

#include "framework/command_line.h"
#include "framework/error.h"
#include "framework/log.h"
#include "framework/startup.h"
#include "schemas/error.pb.h"

namespace {

constexpr char kProgramName[] = "velmo-brelkin";

// ---- Service mode -----------------------------------------------------------
// Added with the central object: log "Brelkin <version>" at Notice, convert the
// descriptor text as boost::lexical_cast<int> does, construct bk_inventory_t on
// this stack, start it, ignore SIGPIPE, run its io_context; when the loop runs
// out of work, destroy the central object and return 0.
int run_service(const char* monitor) {
  CF_LOG(kLogNotice, std::string("Brelkin ") + BRELKIN_VERSION);
  static_cast<void>(monitor);
  throw cf_proto_exception_t(vl::EC_NOT_READY, "Service mode is not built yet");
}
// -----------------------------------------------------------------------------

}  // namespace

int main(int argc, char* argv[]) {
  install_terminate_handler();
  install_protobuf_log_handler();
  const char* monitor = std::getenv("COM_VELMO_MONITOR");
  try {
    if (!monitor) handle_command_line(kProgramName, BRELKIN_VERSION, argc, argv);
    exit_with_status(run_service(monitor));
  } catch (vl::ErrorCode status) {
    // Thrown on purpose to end the process with this status; already logged.
    exit_with_status(status);
  } catch (const std::exception& e) {
    CF_LOG(kLogError, exception_text(e));
    exit_with_status(exception_to_error_enum(e));
  }
}
