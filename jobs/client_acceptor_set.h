// bk_client_acceptor_set_t: the daemon's client listeners, following the
// configuration: a UNIX listener while `local_socket` is set, a TCP listener while
// `ip_socket` is set and `internal_only` is not. Every configuration creates, keeps,
// restarts or drops each one according to what changed.
//
// Owned by bk_inventory_t; holds the only strong reference to each acceptor.
// Event loop only: `start` at the first configuration (still privileged), `apply`
// at every later one. Exceptions of the acceptors pass to the caller.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>

#include "jobs/client_acceptor.h"

class bk_client_acceptor_set_t {
 public:
  // Every client tie of the set's acceptors makes its jobs with `job_factory`.
  // REQUIRES: `inventory` outlives the set.
  bk_client_acceptor_set_t(bk_core_inventory_t& inventory, bk_client_job_factory_t job_factory);
  ~bk_client_acceptor_set_t();
  bk_client_acceptor_set_t(const bk_client_acceptor_set_t&) = delete;
  bk_client_acceptor_set_t& operator=(const bk_client_acceptor_set_t&) = delete;

  // The first configuration; does what apply does.
  void start(const vl::BrelConfig& config);
  // UNIX listener first, then TCP. An acceptor whose start failed stays in the set
  // (listening on nothing) until a later configuration replaces or drops it.
  void apply(const vl::BrelConfig& config);

  // Tests shorten the wait after a failed accept, for acceptors made afterwards.
  void set_accept_retry_delay(std::chrono::steady_clock::duration delay) {
    accept_retry_delay_ = delay;
  }
  // Tests: the first accept of each acceptor made afterwards fails with `error`.
  void fail_first_accept(const boost::system::error_code& error) { first_accept_error_ = error; }

 private:
  void configure_kind(const vl::BrelConfig& config, int kind);

  // Constant after construction.
  bk_core_inventory_t& inventory_;
  const bk_client_job_factory_t job_factory_;
  // Event loop only. By kind: 0 UNIX, 1 TCP.
  std::map<int, std::shared_ptr<bk_client_acceptor_t>> acceptors_;
  std::chrono::steady_clock::duration accept_retry_delay_ = bk_client_acceptor_t::kAcceptRetryDelay;
  std::optional<boost::system::error_code> first_accept_error_;
};
