// The central object: builds and owns every component of the service, in the
// order of the members below, and releases them in reverse.
//
// Owned by main, on its stack; lives for the whole service mode. Main thread
// only. Components keep a reference to it for their whole life and reach each
// other, the event loop and the few process-wide values through its members.
// A component joins with its construction line in inventory.cpp and its start or
// reconfigure calls, in their place, in config_apply.cpp.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/signals2/connection.hpp>

namespace vl {
class BrelConfig;
}

class bk_marrod_tie_t;
class bk_lumend_t;
class bk_scanner_t;
class bk_client_acceptor_set_t;
class bk_peer_acceptor_t;
class bk_peer_connector_t;
class bk_cluster_t;
class bk_stat_collector_t;
class bk_task_queue_t;
class bk_digest_pool_t;

// Thrown when a new configuration can only take effect in a new process.
class bk_need_restart_t : public std::exception {
 public:
  ~bk_need_restart_t() override = default;
};

class bk_inventory_t {
  // Builds a central object for unit tests (tests/support) with its own spool directory.
  friend class bk_inventory_fixture_t;

 public:
  // REQUIRES: `monitor_fd` is the connected configuration-daemon socket; it is
  // taken over by the configuration link.
  explicit bk_inventory_t(int monitor_fd);
  ~bk_inventory_t();
  bk_inventory_t(const bk_inventory_t&) = delete;
  bk_inventory_t& operator=(const bk_inventory_t&) = delete;

  // Subscribes the first-configuration handler and asks the configuration daemon
  // for the configuration; nothing is sent before the event loop runs.
  void start();
  // Subscribes the live-apply handler; once, after a successful first configuration.
  void wait_for_config_changes();

  const std::string& spool_dir() const { return spool_dir_; }

  // Constant after construction. A component that is not built yet stays empty.
  // The owning pointers are shared pointers so that this header and the
  // destructor need no complete type of a component; the central object still is
  // the only owner of lumend, client_acceptors, stat_collector, task_queue and
  // digest_pool.
  const uid_t uid;
  boost::asio::io_context io_context;
  std::shared_ptr<bk_marrod_tie_t> marrod_tie;
  std::shared_ptr<bk_lumend_t> lumend;
  std::shared_ptr<bk_scanner_t> scanner;
  std::shared_ptr<bk_client_acceptor_set_t> client_acceptors;
  std::shared_ptr<bk_peer_acceptor_t> peer_acceptor;
  std::shared_ptr<bk_peer_connector_t> peer_connector;
  std::shared_ptr<bk_cluster_t> cluster;
  std::shared_ptr<bk_stat_collector_t> stat_collector;
  std::shared_ptr<bk_task_queue_t> task_queue;
  std::shared_ptr<bk_digest_pool_t> digest_pool;

 private:
  std::string spool_dir_;

 public:
  boost::asio::signal_set hangup_signals;
  boost::asio::signal_set terminate_signals;
  // Set by the configuration only.
  bool use_cloud = false;

 private:
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
