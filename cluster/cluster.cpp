#include "cluster/cluster.h"

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/peer_socket.h"
#include "core/core_inventory.h"
#include "core/scanner.h"
#include "framework/exception.h"
#include "framework/log.h"
#include "jobs/job.h"
#include "jobs/local_job.h"
#include "schemas/brel_config.pb.h"

namespace {

using clock_type = bk_cluster_t::clock_type;

// Ticks closer together than this leave the ratings alone; the time counts
// towards the next tick.
constexpr std::chrono::nanoseconds kMinTick{9'999'999};

uint32_t saturating_add(uint32_t a, uint32_t b) {
  return b > std::numeric_limits<uint32_t>::max() - a ? std::numeric_limits<uint32_t>::max()
                                                      : a + b;
}

bk_cluster_t::endpoint_t configured_endpoint(const vl::IPSocket& socket) {
  // A port beyond 16 bits would otherwise be cut to another, existing one.
  if (socket.port() > std::numeric_limits<uint16_t>::max()) {
    throw std::out_of_range("Port " + std::to_string(socket.port()) + " of " + socket.address() +
                            " is out of range");
  }
  return bk_cluster_t::endpoint_t(boost::asio::ip::make_address(socket.address()),
                                  static_cast<uint16_t>(socket.port()));
}

}  // namespace

// ---------------------------------------------------------------------------
// Node table.

void bk_node_table_t::update_peer(const std::shared_ptr<peer_out_t>& tie) {
  const endpoint_t endpoint = tie->remote_endpoint();
  auto& by_ep = ready.get<by_endpoint>();
  if (by_ep.count(endpoint) != 0) return;
  bk_node_t node;
  node.tie = tie;
  node.endpoint = endpoint;
  const auto saved_health = saved.find(endpoint);
  if (saved_health != saved.end()) {
    node.rating = saved_health->second;
    saved.erase(saved_health);
  }
  ready.push_back(std::move(node));
}

bool bk_node_table_t::remove_peer(const peer_out_t& tie) {
  auto& by_ep = ready.get<by_endpoint>();
  const auto found = by_ep.find(tie.remote_endpoint());
  if (found == by_ep.end() || found->tie.get() != &tie) return false;
  // Only the health outlives the link; the load is the tie's.
  bk_node_rating_t health;
  health.state = found->rating.state;
  health.failures = found->rating.failures;
  health.successes = found->rating.successes;
  health.state_seconds = found->rating.state_seconds;
  saved[found->endpoint] = health;
  by_ep.erase(found);
  return true;
}

const bk_node_t* bk_node_table_t::find_ready(const peer_out_t& tie) const {
  const auto& by_ep = ready.get<by_endpoint>();
  const auto found = by_ep.find(tie.remote_endpoint());
  if (found == by_ep.end() || found->tie.get() != &tie) return nullptr;
  return &*found;
}

bk_node_rating_t* bk_node_table_t::find_rating(const endpoint_t& endpoint) {
  const auto& by_ep = ready.get<by_endpoint>();
  const auto node = by_ep.find(endpoint);
  if (node != by_ep.end()) return &node->rating;
  const auto health = saved.find(endpoint);
  if (health != saved.end()) return &health->second;
  return nullptr;
}

const bk_node_rating_t* bk_node_table_t::find_rating(const endpoint_t& endpoint) const {
  return const_cast<bk_node_table_t*>(this)->find_rating(endpoint);
}

// ---------------------------------------------------------------------------
// Cluster: construction and configuration.

bk_cluster_t::bk_cluster_t(bk_core_inventory_t& inventory)
    : inventory_(inventory),
      status_timer_(inventory.io_context),
      now_([] { return clock_type::now(); }),
      last_tick_(now_()),
      nodes_(std::make_unique<bk_node_table_t>()) {}

// The ties go with the node table and the maps; a tie-out fails its remote jobs
// through the event loop, never back into the cluster.
bk_cluster_t::~bk_cluster_t() = default;

void bk_cluster_t::set_clock(std::function<clock_type::time_point()> now) {
  now_ = std::move(now);
  last_tick_ = now_();
}

void bk_cluster_t::restart(const vl::BrelConfig& config) {
  configured_servers_.clear();
  allowed_addresses_.clear();

  if (config.internal_only()) {
    while (!peer_in_ties_.empty()) {
      const std::shared_ptr<peer_in_t> tie = peer_in_ties_.begin()->second;
      on_peer_in_disconnected(tie);
    }
    cancel_status_timer();
    status_interval_ms_ = 0;
    // Outgoing ties are the connector's to drop; the ratings stay.
    return;
  }

  for (const vl::IPSocket& server : config.load_balance_to().ip()) {
    const endpoint_t endpoint = configured_endpoint(server);
    configured_servers_.insert(endpoint);
    CF_LOG(kLogNotice, "Configured server " + endpoint_text(endpoint));
  }
  for (const vl::IPAddress& allowed : config.load_balance_allow_from().ip()) {
    const boost::asio::ip::address address = boost::asio::ip::make_address(allowed.address());
    allowed_addresses_.insert(address);
    CF_LOG(kLogNotice, "Allow connections from " + address.to_string());
  }

  const auto ties = peer_in_ties_;
  for (const auto& entry : ties) {
    const boost::asio::ip::address address = entry.second->remote_endpoint().address();
    if (allowed_addresses_.count(address) != 0) continue;
    CF_LOG(kLogNotice, "Connection from " + address.to_string() + " is no longer allowed");
    on_peer_in_disconnected(entry.second);
  }

  nodes_->local.rating.factor = config.local_scan_preference();

  if (config.load_balance_status_interval() != status_interval_ms_) {
    status_interval_ms_ = config.load_balance_status_interval();
    // No interval, no periodic STATUS.
    if (status_interval_ms_ != 0) {
      arm_status_timer();
    } else {
      cancel_status_timer();
    }
  }

  if (!scanner_connection_.connected()) {
    scanner_connection_ = inventory_.scanner->state_changed.connect([this] { broadcast_status(); });
  }
}

// ---------------------------------------------------------------------------
// Status sent to the incoming peers.

void bk_cluster_t::arm_status_timer() {
  try {
    status_timer_.expires_after(std::chrono::milliseconds(status_interval_ms_));
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "expires_from_now");
  }
  status_timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    const std::shared_ptr<bk_cluster_t> self = weak.lock();
    // The cluster is gone; its timer went with it.
    if (!self) return;
    self->on_status_timer(error);
  });
}

void bk_cluster_t::on_status_timer(const boost::system::error_code& error) {
  // Re-armed, or the interval became 0.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, "Cluster status timer: " + error.message());
    return;
  }
  broadcast_status();
  arm_status_timer();
}

void bk_cluster_t::cancel_status_timer() {
  try {
    status_timer_.cancel();
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "cancel");
  }
}

void bk_cluster_t::broadcast_status() {
  inventory_.scanner->recount_load();
  update_local_status();
  // A send may end a tie, and with it its entry.
  std::vector<std::shared_ptr<peer_in_t>> ties;
  ties.reserve(peer_in_ties_.size());
  for (const auto& entry : peer_in_ties_) ties.push_back(entry.second);
  for (const std::shared_ptr<peer_in_t>& tie : ties) tie->send_status(nodes_->local.rating);
}

void bk_cluster_t::update_local_status() {
  const bk_scanner_t& scanner = *inventory_.scanner;
  bk_node_rating_t& local = nodes_->local.rating;
  local.bytes_in_queue = scanner.bytes_in_queue();
  local.max_forks = scanner.max_forks();
  local.job_count = scanner.job_count();
}

// ---------------------------------------------------------------------------
// Membership.

bool bk_cluster_t::is_allowed(const endpoint_t& endpoint) const {
  return allowed_addresses_.count(endpoint.address()) != 0;
}

bool bk_cluster_t::is_peer_in_connected(const endpoint_t& endpoint) const {
  return peer_in_endpoints_.count(endpoint) != 0;
}

bool bk_cluster_t::is_peer_out_connected(const endpoint_t& endpoint) const {
  return peer_out_endpoints_.count(endpoint) != 0;
}

void bk_cluster_t::mark_peer_tried(const endpoint_t& endpoint) {
  tried_endpoints_.insert(endpoint);
}

void bk_cluster_t::on_peer_in_connected(const std::shared_ptr<peer_in_t>& tie) {
  update_local_status();
  // The running figures: a recount waits for the next broadcast.
  tie->send_status(nodes_->local.rating);
  const endpoint_t endpoint = tie->remote_endpoint();
  peer_in_ties_[tie.get()] = tie;
  peer_in_endpoints_.insert(endpoint);
  CF_LOG(kLogNotice, "PeerIn connected: " + endpoint_text(endpoint));
  state_changed();
}

void bk_cluster_t::on_peer_in_disconnected(const std::shared_ptr<peer_in_t>& tie) {
  const auto found = peer_in_ties_.find(tie.get());
  // Already released (a restart dropped it before its link ended): the endpoint
  // may belong to a newer link by now.
  if (found == peer_in_ties_.end()) return;
  const endpoint_t endpoint = tie->remote_endpoint();
  peer_in_endpoints_.erase(endpoint);
  CF_LOG(kLogNotice, "PeerIn disconnected: " + endpoint_text(endpoint));
  peer_in_ties_.erase(found);
}

bool bk_cluster_t::holds_peer_out(const peer_out_t& tie) const {
  return waiting_peer_outs_.count(&tie) != 0 || nodes_->find_ready(tie) != nullptr;
}

void bk_cluster_t::on_peer_out_connected(const std::shared_ptr<peer_out_t>& tie) {
  const endpoint_t endpoint = tie->remote_endpoint();
  waiting_peer_outs_[tie.get()] = tie;
  peer_out_endpoints_.insert(endpoint);
  tried_endpoints_.insert(endpoint);
  CF_LOG(kLogNotice, "PeerOut connected: " + endpoint_text(endpoint));
}

void bk_cluster_t::on_peer_out_status(const std::shared_ptr<peer_out_t>& tie) {
  const bool ready = nodes_->find_ready(*tie) != nullptr;
  // A released tie may still report its estimates while its jobs wind down; it
  // must not come back into node choice.
  if (!ready && waiting_peer_outs_.count(tie.get()) == 0) return;
  if (tie->max_forks() == 0) {
    if (ready) {
      waiting_peer_outs_[tie.get()] = tie;
      nodes_->remove_peer(*tie);
    }
  } else {
    waiting_peer_outs_.erase(tie.get());
    nodes_->update_peer(tie);
  }
  recount_remote_forks();
  state_changed();
}

void bk_cluster_t::on_peer_out_disconnected(const std::shared_ptr<peer_out_t>& tie) {
  // Releasing the tie below may drop the caller's last reference.
  const std::shared_ptr<peer_out_t> keep = tie;
  if (!holds_peer_out(*keep)) return;
  waiting_peer_outs_.erase(keep.get());
  nodes_->remove_peer(*keep);
  recount_remote_forks();
  const endpoint_t endpoint = keep->remote_endpoint();
  peer_out_endpoints_.erase(endpoint);
  CF_LOG(kLogNotice, "PeerOut disconnected: " + endpoint_text(endpoint));
  state_changed();
}

void bk_cluster_t::drop_peer_out(const endpoint_t& endpoint) {
  std::shared_ptr<peer_out_t> tie;
  const auto& by_ep = nodes_->ready.get<bk_node_table_t::by_endpoint>();
  const auto node = by_ep.find(endpoint);
  if (node != by_ep.end()) tie = node->tie;
  // A peer no longer configured is not kept while it waits for its first STATUS
  // either: it would become ready later and take jobs.
  for (const auto& entry : waiting_peer_outs_) {
    if (!tie && entry.second->remote_endpoint() == endpoint) tie = entry.second;
  }
  if (tie) on_peer_out_disconnected(tie);
}

void bk_cluster_t::recount_remote_forks() {
  uint32_t forks = 0;
  for (const bk_node_t& node : nodes_->ready) forks = saturating_add(forks, node.tie->max_forks());
  remote_forks_ = forks;
}

// ---------------------------------------------------------------------------
// Ratings and node choice.

void bk_cluster_t::tick() {
  const clock_type::time_point now = now_();
  const clock_type::duration elapsed = now - last_tick_;
  if (elapsed <= kMinTick) return;
  last_tick_ = now;
  const double seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
      1e9;
  for (const bk_node_t& node : nodes_->ready) node.rating.tick(seconds);
  for (auto& entry : nodes_->saved) entry.second.tick(seconds);
  nodes_->local.rating.tick(seconds);
}

void bk_cluster_t::update_weights() {
  tick();
  update_local_status();

  const bk_node_t& local = nodes_->local;
  uint32_t jobs = local.rating.job_count;
  uint64_t bytes = local.rating.bytes_in_queue;
  double capacity = local.rating.max_forks * local.rating.factor;
  for (const bk_node_t& node : nodes_->ready) {
    node.rating.max_forks = node.tie->max_forks();
    node.rating.job_count = node.tie->job_count();
    node.rating.bytes_in_queue = node.tie->bytes_in_queue();
    capacity += node.rating.max_forks * node.rating.factor;
    bytes += node.rating.bytes_in_queue;
    jobs += node.rating.job_count;
  }
  const double total_bytes = static_cast<double>(bytes);
  const double total_jobs = static_cast<double>(jobs);

  local.weight = local.rating.weight(capacity, total_bytes, total_jobs);
  for (const bk_node_t& node : nodes_->ready) {
    node.weight = node.rating.weight(capacity, total_bytes, total_jobs);
  }

  if (log_threshold <= kLogDebug) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now_().time_since_epoch()).count() /
        1000;
    std::ostringstream line;
    line << "Weight local: " << micros << " " << local.weight << " " << local.rating.debug_text();
    log_message(kLogDebug, line.str());
    for (const bk_node_t& node : nodes_->ready) {
      std::ostringstream peer_line;
      peer_line << "Weight " << node.endpoint << ": " << micros << " " << node.weight << " "
                << node.rating.debug_text();
      log_message(kLogDebug, peer_line.str());
    }
  }
}

std::shared_ptr<bk_job_t> bk_cluster_t::choose_node(uint32_t job_id,
                                                    const std::set<endpoint_t>& excluded,
                                                    bool never_local) {
  update_weights();

  // Among equal weights the peer that became ready first wins.
  const bk_node_t* best = nullptr;
  bool busy_peer = false;
  for (const bk_node_t& node : nodes_->ready) {
    if (excluded.count(node.endpoint) != 0) continue;
    // A link retiring (its serials used up) takes no new job, even before the
    // cluster has heard of it.
    if (node.tie->max_forks() == 0) continue;
    // The peer would refuse the job: the link is full, not the peer at fault.
    if (node.tie->busy()) {
      busy_peer = true;
      continue;
    }
    if (best == nullptr || node.weight > best->weight) best = &node;
  }

  const bk_scanner_t& scanner = *inventory_.scanner;
  if (best == nullptr) {
    // Without a peer this host takes the job whatever its capacity and weight.
    if (scanner.is_enabled() && !never_local) return create_local_job(job_id);
    // A full link frees up as its jobs end: the job is placed again after a pause.
    if (busy_peer) {
      throw cf_proto_exception_t(vl::EC_NOT_READY, "No peer is ready to process the job");
    }
    std::size_t untried = 0;
    for (const endpoint_t& server : configured_servers_) {
      if (tried_endpoints_.count(server) == 0 && excluded.count(server) == 0) ++untried;
    }
    if (untried > 0) {
      throw cf_proto_exception_t(vl::EC_NOT_READY, "No peer is ready to process the job");
    }
    if (!scanner.is_enabled() && configured_servers_.empty()) {
      throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE,
                                 "No facilities available to process the job");
    }
    throw cf_proto_exception_t(vl::EC_UNEXPECTED_ERROR,
                               "No facilities were able to process the job");
  }

  // A tie between this host and the best peer goes to the peer.
  if (scanner.max_forks() != 0 && !never_local && nodes_->local.weight > best->weight) {
    return create_local_job(job_id);
  }
  const std::shared_ptr<peer_out_t> tie = best->tie;
  return tie->create_job(job_id);
}

std::shared_ptr<bk_job_t> bk_cluster_t::create_local_job(uint32_t job_id) {
  if (local_job_factory_) return local_job_factory_(job_id);
  return inventory_.scanner->create_job<bk_local_job_t>(job_id);
}

void bk_cluster_t::report_success(const std::optional<endpoint_t>& node) {
  report_outcome(node, true);
}

void bk_cluster_t::report_failure(const std::optional<endpoint_t>& node) {
  report_outcome(node, false);
}

void bk_cluster_t::report_outcome(const std::optional<endpoint_t>& node, bool success) {
  tick();
  bk_node_rating_t* rating = node ? nodes_->find_rating(*node) : &nodes_->local.rating;
  // A peer that was never ready has no rating to feed.
  if (rating == nullptr) return;
  if (success) {
    rating->on_success();
  } else {
    rating->on_failure();
  }
}
