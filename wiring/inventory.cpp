#include "wiring/inventory.h"

#include <signal.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_acceptor.h"
#include "cluster/peer_connector.h"
#include "core/digest_pool.h"
#include "core/lumend.h"
#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "core/stat_collector.h"
#include "core/task_queue.h"
#include "framework/log.h"
#include "jobs/client_acceptor_set.h"
#include "schemas/error.pb.h"
#include "wiring/master_job_services.h"

namespace {

void add_signal(boost::asio::signal_set& set, int signal_number) {
  boost::system::error_code error;
  set.add(signal_number, error);
  if (error) throw boost::system::system_error(error, "add");
}

}  // namespace

bk_inventory_t::bk_inventory_t(int monitor_fd)
    : uid(getuid()), hangup_signals(io_context), terminate_signals(io_context) {
  try {
    build(monitor_fd);
    add_signal(hangup_signals, SIGHUP);
    add_signal(terminate_signals, SIGTERM);
    add_signal(terminate_signals, SIGINT);
  } catch (...) {
    release();
    throw;
  }
  wait_hangup();
  wait_terminate();
}

bk_inventory_t::~bk_inventory_t() {
  release();
}

// A component joins the service with one construction line here (its constructor
// takes *this, as the part of the central object its folder knows), one line in
// release(), and its calls in the two apply handlers of config_apply.cpp. Each
// step is undone in reverse when a later one throws.
void bk_inventory_t::build(int monitor_fd) {
  marrod_tie = bk_marrod_tie_t::create(*this, monitor_fd);
  marrod_tie->set_cluster_view(this);
  lumend = std::make_shared<bk_lumend_t>(*this);
  scanner = std::make_shared<bk_scanner_t>(*this);
  client_acceptors = std::make_shared<bk_client_acceptor_set_t>(*this, master_job_factory(*this));
  peer_acceptor = std::make_shared<bk_peer_acceptor_t>(*this);
  peer_connector = std::make_shared<bk_peer_connector_t>(*this);
  cluster = std::make_shared<bk_cluster_t>(*this);
  stat_collector = std::make_shared<bk_stat_collector_t>(*this);
  task_queue = std::make_shared<bk_task_queue_t>(io_context);
  digest_pool = std::make_shared<bk_digest_pool_t>(*this);
}

// In reverse order of construction: the signals go back to their default action
// first, as when their sets are destroyed; then the digest pool and the task queue
// (joining their threads), the components, the configuration link. The event loop
// goes last, destroying every handler still queued and what it keeps alive.
void bk_inventory_t::release() noexcept {
  boost::system::error_code ignored;
  terminate_signals.clear(ignored);
  terminate_signals.cancel(ignored);
  hangup_signals.clear(ignored);
  hangup_signals.cancel(ignored);
  digest_pool.reset();
  task_queue.reset();
  stat_collector.reset();
  cluster.reset();
  peer_connector.reset();
  peer_acceptor.reset();
  client_acceptors.reset();
  scanner.reset();
  lumend.reset();
  marrod_tie.reset();
}

void bk_inventory_t::start() {
  marrod_tie->config_changed.connect_extended(
      [this](const boost::signals2::connection& self, const vl::BrelConfig& config) {
        apply_first_config(self, config);
      });
  marrod_tie->request_config();
}

void bk_inventory_t::wait_for_config_changes() {
  marrod_tie->config_changed.connect([this](const vl::BrelConfig& config) { apply_config(config); },
                                     boost::signals2::at_back);
}

std::uint32_t bk_inventory_t::remote_forks() const {
  return cluster ? cluster->remote_forks() : 0;
}

bool bk_inventory_t::has_configured_servers() const {
  return cluster && !cluster->configured_servers().empty();
}

boost::signals2::connection bk_inventory_t::connect_state_changed(
    const std::function<void()>& slot) {
  if (!cluster) return boost::signals2::connection();
  return cluster->state_changed.connect(slot);
}

bool bk_inventory_t::privileges_dropped() const {
  return uid != getuid();
}

void bk_inventory_t::wait_hangup() {
  hangup_signals.async_wait([this](const boost::system::error_code& error, int signal_number) {
    on_hangup_signal(error, signal_number);
  });
}

void bk_inventory_t::wait_terminate() {
  terminate_signals.async_wait([this](const boost::system::error_code& error, int signal_number) {
    on_terminate_signal(error, signal_number);
  });
}

void bk_inventory_t::on_hangup_signal(const boost::system::error_code& error, int) {
  // The set was cancelled or destroyed.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) throw boost::system::system_error(error, "SIGHUP");
  CF_LOG(kLogNotice, "SIGHUP received, config will be ordered from MarroD");
  marrod_tie->request_config();
  wait_hangup();
}

void bk_inventory_t::on_terminate_signal(const boost::system::error_code& error, int) {
  // The set was cancelled or destroyed.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) throw boost::system::system_error(error, "SIGTERM");
  CF_LOG(kLogNotice, "Termination signal received, exiting...");
  throw vl::EC_APP_TERMINATED;
}
