// Fuzzes the configuration link's message handling: the input is what the
// configuration daemon sends on the inherited socket of a real central object. The
// link has asked for the configuration and both socket paths, as the daemon does
// at start; accepted configurations are recorded instead of applied (applying one
// creates directories and switches users), and the first one is followed by the
// application-information report, as after a first configuration.
//
// The daemon may end on what this daemon sends, but only as its protocol says:
// status 8, 11 or 12 for a bad message and 1 once the link fails (end of file
// included). Any other ending, crash or sanitizer report is a fault.
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include <boost/asio/local/stream_protocol.hpp>

#include "core/marrod_tie.h"
#include "framework/error.h"
#include "fuzz/support/fuzz_peer.h"
#include "schemas/brel_config.pb.h"
#include "wiring/inventory.h"

namespace {

// The endings the configuration link is allowed to give the daemon.
bool allowed_ending(const std::exception_ptr& error) {
  // main logs the text and exits with the mapped status: both must be sound.
  const std::string text = exception_ptr_text(error);
  const vl::ErrorCode status = exception_ptr_to_error_enum(error);
  try {
    std::rethrow_exception(error);
  } catch (vl::ErrorCode code) {
    return code == vl::EC_MONITOR_IPC_ERROR;
  } catch (const boost::system::system_error& e) {
    return e.code().category() == vl::proto_error_category() &&
           (status == vl::EC_BAD_MESSAGE_FORMAT || status == vl::EC_UNEXPECTED_MESSAGE ||
            status == vl::EC_PROTOCOL_VIOLATION) &&
           !text.empty();
  } catch (...) {
    return false;
  }
}

// What a component does with a socket path it is given.
void use_path(const std::exception_ptr& error, const boost::filesystem::path& path) {
  if (error) {
    exception_ptr_text(error);
    exception_ptr_to_error_code(error);
  } else {
    path.native().size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  {
    bk_inventory_t inventory(pair[0]);
    fuzz_peer_t peer(inventory.io_context);
    peer.socket.assign(boost::asio::local::stream_protocol(), pair[1]);

    bk_marrod_tie_t& tie = *inventory.marrod_tie;
    tie.config_changed.connect([&tie, first = true](const vl::BrelConfig& config) mutable {
      config.ByteSizeLong();
      if (first) tie.first_config_processed();
      first = false;
    });
    tie.request_config();
    tie.request_se(use_path);
    tie.request_lumend(use_path);
    tie.request_lumend(use_path);

    peer.start(data, size);
    // Every run ends by an exception: end of file at the latest.
    if (fuzz_run(inventory.io_context, allowed_ending)) {
      std::fprintf(stderr, "The configuration link ended without an error\n");
      std::abort();
    }
  }
  return 0;
}
