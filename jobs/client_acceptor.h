// bk_client_acceptor_t: one listening socket for client programs, on a UNIX socket
// path (kind 0) or a TCP address and port (kind 1). Each accepted connection
// becomes a client tie, which then lives on its own. A changed endpoint takes a new
// acceptor; an acceptor never re-binds.
//
// Owned by bk_client_acceptor_set_t (the only strong reference); a pending accept
// holds a weak one, so destroying the acceptor closes the listener and its
// completion does nothing. Event loop only. `start` runs while the daemon still has
// the privileges it was started with. An accept that fails for want of descriptors
// or memory is tried again after a pause, one that fails for its own connection at
// once; a listener that fails otherwise throws boost::system::system_error
// ("Server socket: accept") out of the event loop, which ends the daemon.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include <boost/system/error_code.hpp>

#include "jobs/client_tie.h"

class bk_core_inventory_t;

namespace vl {
class BrelConfig;
}

class bk_client_acceptor_t {
 public:
  enum kind_t { kUnix = 0, kTcp = 1 };

  // How long an accept that failed for want of descriptors or memory (or with EINVAL)
  // waits before accepting again.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{200};

  // Kind 0 makes a UNIX acceptor, kind 1 a TCP one; any other kind ends the process.
  // Each client tie makes its jobs with `job_factory`.
  // REQUIRES: `inventory` outlives the acceptor.
  static std::shared_ptr<bk_client_acceptor_t> create(bk_core_inventory_t& inventory, int kind,
                                                      bk_client_job_factory_t job_factory);

  virtual ~bk_client_acceptor_t() = default;
  bk_client_acceptor_t(const bk_client_acceptor_t&) = delete;
  bk_client_acceptor_t& operator=(const bk_client_acceptor_t&) = delete;

  // Binds and listens on the configured endpoint, then accepts. Throws the bare
  // value EC_BAD_CONFIG for an endpoint the configuration cannot name (after an
  // Error line), boost::system::system_error for a socket step that fails (with the
  // step as context), and boost::bad_lexical_cast for a TCP port above 65535.
  virtual void start(const vl::BrelConfig& config) = 0;
  // True when the configuration names another endpoint than the one taken. Throws
  // as start does for an endpoint that cannot be named.
  virtual bool needs_restart(const vl::BrelConfig& config) = 0;

  // Tests shorten the wait after a failed accept; takes effect for the next failure.
  void set_accept_retry_delay(std::chrono::steady_clock::duration delay) {
    accept_retry_delay_ = delay;
  }
  // Tests: the next accept fails with `error` instead of taking a connection; the
  // connection it would have taken waits for the accept after it.
  void fail_next_accept(const boost::system::error_code& error) { injected_accept_error_ = error; }

 protected:
  bk_client_acceptor_t() = default;

  std::chrono::steady_clock::duration accept_retry_delay_ = kAcceptRetryDelay;
  std::optional<boost::system::error_code> injected_accept_error_;
};
