// The central object: builds and owns every component of the service, in the
// order of construction in inventory.cpp, and releases them in reverse. It is the
// one place that knows every folder: the components below reach what they share
// through the part of it their folder knows (bk_core_inventory_t,
// bk_cluster_inventory_t), and where a lower component needs something of a higher
// one, the central object hands it in: the cluster's figures to the configuration
// link, the master jobs' services to the client acceptors.
//
// Owned by main, on its stack; lives for the whole service mode. Main thread
// only. Components keep a reference to it for their whole life. A component joins
// with its construction line in inventory.cpp and its start or reconfigure calls,
// in their place, in config_apply.cpp.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/signal_set.hpp>
#include <boost/signals2/connection.hpp>

#include "cluster/cluster_inventory.h"
#include "core/marrod_tie.h"

namespace vl {
class BrelConfig;
}

class bk_client_acceptor_set_t;
class bk_peer_acceptor_t;
class bk_peer_connector_t;

// Thrown when a new configuration can only take effect in a new process.
class bk_need_restart_t : public std::exception {
 public:
  ~bk_need_restart_t() override = default;
};

class bk_inventory_t : public bk_cluster_inventory_t, private bk_marrod_tie_t::cluster_view_t {
 public:
  // REQUIRES: `monitor_fd` is the connected configuration-daemon socket; it is
  // taken over by the configuration link.
  explicit bk_inventory_t(int monitor_fd);
  ~bk_inventory_t() override;
  bk_inventory_t(const bk_inventory_t&) = delete;
  bk_inventory_t& operator=(const bk_inventory_t&) = delete;

  // Subscribes the first-configuration handler and asks the configuration daemon
  // for the configuration; nothing is sent before the event loop runs.
  void start();
  // Subscribes the live-apply handler; once, after a successful first configuration.
  void wait_for_config_changes();

  // Constant after construction. The owning pointers are shared pointers so that
  // this header and the destructor need no complete type of a component; the
  // central object still is the only owner of client_acceptors.
  const uid_t uid;
  std::shared_ptr<bk_client_acceptor_set_t> client_acceptors;
  std::shared_ptr<bk_peer_acceptor_t> peer_acceptor;
  std::shared_ptr<bk_peer_connector_t> peer_connector;
  boost::asio::signal_set hangup_signals;
  boost::asio::signal_set terminate_signals;

 private:
  // Builds the components in order; release drops them in reverse.
  void build(int monitor_fd);
  void release() noexcept;

  // bk_marrod_tie_t::cluster_view_t: the cluster's figures, none while it is absent.
  std::uint32_t remote_forks() const override;
  bool has_configured_servers() const override;
  boost::signals2::connection connect_state_changed(const std::function<void()>& slot) override;

  // Both end the process on failure by throwing a bare vl::ErrorCode out of the
  // event loop (see config_apply.cpp).
  void apply_first_config(const boost::signals2::connection& self, const vl::BrelConfig& config);
  void apply_config(const vl::BrelConfig& config);
  // True once the first configuration switched the process to another user.
  bool privileges_dropped() const;

  void wait_hangup();
  void wait_terminate();
  void on_hangup_signal(const boost::system::error_code& error, int signal);
  void on_terminate_signal(const boost::system::error_code& error, int signal);
};
