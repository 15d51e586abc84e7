// The daemon's entry. Without COM_VELMO_MONITOR it only answers its command
// line; with it, it runs the service until the event loop returns or an error or a
// bare vl::ErrorCode leaves it, and ends through exit_with_status.
#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>

#include <boost/lexical_cast.hpp>

#include "framework/command_line.h"
#include "framework/error.h"
#include "framework/log.h"
#include "framework/startup.h"
#include "schemas/error.pb.h"
#include "wiring/inventory.h"

namespace {

constexpr char kProgramName[] = "velmo-brelkin";

// The service: the central object on this stack, its event loop on this thread.
// Returns 0 when the loop runs out of work; every other ending is thrown.
int run_service(const char* monitor) {
  CF_LOG(kLogNotice, std::string("Brelkin ") + BRELKIN_VERSION);
  const int monitor_fd = boost::lexical_cast<int>(std::string(monitor));
  // Before the central object opens its first socket.
  raise_descriptor_limit();
  {
    bk_inventory_t inventory(monitor_fd);
    inventory.start();
    // A peer or client that closes its socket must fail that write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    inventory.io_context.run();
  }
  return 0;
}

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
