// bk_cluster_t: the registry of the load-balancing cluster. It holds the configured
// peers and the addresses allowed to connect, the incoming peer ties (instances
// that send jobs here) and the outgoing ones (instances this daemon sends jobs to),
// and the node table: one rating for this host's engine and one for every ready
// peer, plus the ratings of peers that went away. It sends this host's load to the
// incoming peers (STATUS), ages the ratings, reports job outcomes into them and
// chooses the node for each new or redirected job.
//
// Owned by bk_inventory_t through a shared pointer; it owns the peer ties. Event
// loop only; every operation may be called from any handler there. Signals and tie
// calls made from inside an operation may re-enter the cluster.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index/sequenced_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include "cluster/node_rating.h"

class bk_core_inventory_t;
class bk_job_t;
class bk_node_table_t;

namespace vl {
class BrelConfig;
}

class bk_cluster_t : public std::enable_shared_from_this<bk_cluster_t> {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;
  using clock_type = std::chrono::steady_clock;
  using local_job_factory_t = std::function<std::shared_ptr<bk_job_t>(uint32_t job_id)>;

  // What the cluster needs of an incoming peer tie (bk_peer_tie_in_t): the peer
  // server's end of a link, which runs the peer's jobs here.
  class peer_in_t {
   public:
    virtual ~peer_in_t() = default;
    // The peer's address and port; the same for the tie's whole life.
    virtual endpoint_t remote_endpoint() const = 0;
    // Sends STATUS with the load part of `local` (this host's rating).
    virtual void send_status(const bk_node_rating_t& local) = 0;
  };

  // What the cluster needs of an outgoing peer tie (bk_peer_tie_out_t): the peer
  // client's end of a link, which hands jobs to the peer.
  class peer_out_t {
   public:
    virtual ~peer_out_t() = default;
    // The peer's address and port; the same for the tie's whole life.
    virtual endpoint_t remote_endpoint() const = 0;
    // The peer's engine process count from its latest STATUS; 0 before the first.
    virtual uint32_t max_forks() const = 0;
    // The peer's load: its latest STATUS adjusted by the tie's own estimates.
    virtual uint32_t job_count() const = 0;
    virtual uint64_t bytes_in_queue() const = 0;
    // The link holds as many open jobs as a peer takes on one link: it takes no
    // more until one ends. Through no fault of the peer, so it costs no rating.
    virtual bool busy() const { return false; }
    // A remote job under the tie's next serial, carrying the master job's id.
    virtual std::shared_ptr<bk_job_t> create_job(uint32_t job_id) = 0;
  };

  // REQUIRES: `inventory` outlives the cluster, and its engine front is built
  // before the first call other than restart. The cluster must be held by a
  // std::shared_ptr for its status timer to run.
  explicit bk_cluster_t(bk_core_inventory_t& inventory);
  ~bk_cluster_t();
  bk_cluster_t(const bk_cluster_t&) = delete;
  bk_cluster_t& operator=(const bk_cluster_t&) = delete;

  // Applies a configuration: configured peers, allowed addresses (incoming ties no
  // longer allowed are dropped), local scan preference, status interval. With
  // `internal_only`, drops every incoming tie and stops the status timer. Throws
  // when a configured address does not parse.
  void restart(const vl::BrelConfig& config);

  // The peer acceptor's questions.
  bool is_allowed(const endpoint_t& endpoint) const;
  bool is_peer_in_connected(const endpoint_t& endpoint) const;
  // The peer connector's.
  bool is_peer_out_connected(const endpoint_t& endpoint) const;
  void mark_peer_tried(const endpoint_t& endpoint);

  // An accepted peer: the cluster takes the tie over and sends it STATUS at once.
  void on_peer_in_connected(const std::shared_ptr<peer_in_t>& tie);
  // Releases the tie (its link ended or it was refused). A tie the cluster no
  // longer holds is ignored.
  void on_peer_in_disconnected(const std::shared_ptr<peer_in_t>& tie);

  // A connected outgoing tie: waits until its STATUS reports engine processes.
  void on_peer_out_connected(const std::shared_ptr<peer_out_t>& tie);
  // The tie's figures changed (STATUS or its own estimates): the peer becomes ready
  // with a non-zero process count, and waits again with 0. Ignored for a tie the
  // cluster no longer holds.
  void on_peer_out_status(const std::shared_ptr<peer_out_t>& tie);
  // Releases the tie, keeping its rating. Ignored for a tie the cluster no longer
  // holds.
  void on_peer_out_disconnected(const std::shared_ptr<peer_out_t>& tie);
  // The connector no longer wants the ready peer at `endpoint`.
  void drop_peer_out(const endpoint_t& endpoint);

  // The executing job for the master job `job_id` on the best node: a local job, or
  // a remote job on the best ready peer not in `excluded` whose link is not busy;
  // `never_local` when the job has already run here. Throws cf_proto_exception_t
  // when no node can take it: EC_NOT_READY while a peer's link is busy or a
  // configured peer has not been tried yet (waiting may help), else
  // EC_NO_SCAN_ENGINE without engine and peers, else EC_UNEXPECTED_ERROR.
  std::shared_ptr<bk_job_t> choose_node(uint32_t job_id, const std::set<endpoint_t>& excluded,
                                        bool never_local);
  // Recomputes every node's weight from the latest load figures and health.
  void update_weights();
  // One job outcome on a node: this host when `node` is empty, else that peer.
  void report_success(const std::optional<endpoint_t>& node);
  void report_failure(const std::optional<endpoint_t>& node);

  // The peers from `load_balance_to` (none with `internal_only`).
  const std::set<endpoint_t>& configured_servers() const { return configured_servers_; }
  // The engine processes of the ready peers together.
  uint32_t remote_forks() const { return remote_forks_; }
  const bk_node_table_t& nodes() const { return *nodes_; }

  // Emitted when the set of peers or their capacity may have changed.
  boost::signals2::signal<void()> state_changed;

  // Tests take over the clock the ratings age by, and the making of local jobs
  // (the engine front's unless set; an empty factory restores it).
  void set_clock(std::function<clock_type::time_point()> now);
  void set_local_job_factory(local_job_factory_t factory) {
    local_job_factory_ = std::move(factory);
  }

 private:
  void tick();
  void update_local_status();
  void broadcast_status();
  void arm_status_timer();
  void on_status_timer(const boost::system::error_code& error);
  void cancel_status_timer();
  void recount_remote_forks();
  void report_outcome(const std::optional<endpoint_t>& node, bool success);
  std::shared_ptr<bk_job_t> create_local_job(uint32_t job_id);
  bool holds_peer_out(const peer_out_t& tie) const;

  // Constant after construction.
  bk_core_inventory_t& inventory_;

  // Event loop only.
  uint32_t status_interval_ms_ = 0;
  boost::asio::steady_timer status_timer_;
  std::function<clock_type::time_point()> now_;
  clock_type::time_point last_tick_;
  std::set<boost::asio::ip::address> allowed_addresses_;
  std::set<endpoint_t> peer_in_endpoints_;
  std::map<const peer_in_t*, std::shared_ptr<peer_in_t>> peer_in_ties_;
  std::set<endpoint_t> configured_servers_;
  std::set<endpoint_t> peer_out_endpoints_;
  // Never cleared: a peer once attempted no longer makes node choice wait.
  std::set<endpoint_t> tried_endpoints_;
  // Connected outgoing ties that are not ready; a ready tie is owned by its node.
  std::map<const peer_out_t*, std::shared_ptr<peer_out_t>> waiting_peer_outs_;
  std::unique_ptr<bk_node_table_t> nodes_;
  uint32_t remote_forks_ = 0;
  boost::signals2::scoped_connection scanner_connection_;
  local_job_factory_t local_job_factory_;
};

// One node the cluster can place jobs on: this host's engine (no tie) or a ready
// peer. Weight and rating are not part of the ready index's key, so they change in
// place.
struct bk_node_t {
  // Lowest finite double: below every computed weight.
  static constexpr double kNoWeight = std::numeric_limits<double>::lowest();

  mutable double weight = kNoWeight;
  mutable bk_node_rating_t rating;
  std::shared_ptr<bk_cluster_t::peer_out_t> tie;
  // The tie's remote endpoint, copied as the index key.
  bk_cluster_t::endpoint_t endpoint;
};

// The nodes of the cluster and the health of the peers that left. Owned by the
// cluster; event loop only.
class bk_node_table_t {
 public:
  using endpoint_t = bk_cluster_t::endpoint_t;
  using peer_out_t = bk_cluster_t::peer_out_t;
  struct by_endpoint {};
  // Iterated in insertion order everywhere; looked up by endpoint.
  using ready_t = boost::multi_index_container<
      bk_node_t, boost::multi_index::indexed_by<
                     boost::multi_index::sequenced<>,
                     boost::multi_index::ordered_unique<
                         boost::multi_index::tag<by_endpoint>,
                         boost::multi_index::member<bk_node_t, endpoint_t, &bk_node_t::endpoint>>>>;

  // Appends a node for `tie` unless its endpoint is ready already; the node takes
  // the health saved for that endpoint, or a clean one.
  void update_peer(const std::shared_ptr<peer_out_t>& tie);
  // Removes the node of `tie`, saving its health under its endpoint. False when
  // `tie` has no node.
  bool remove_peer(const peer_out_t& tie);
  // The ready node of `tie`, or null.
  const bk_node_t* find_ready(const peer_out_t& tie) const;
  // The rating of the ready peer at `endpoint`, else the health saved for it, else
  // null.
  bk_node_rating_t* find_rating(const endpoint_t& endpoint);
  const bk_node_rating_t* find_rating(const endpoint_t& endpoint) const;

  bk_node_t local;
  ready_t ready;
  // Health part only (the load part stays 0); ages while saved, never dropped.
  std::map<endpoint_t, bk_node_rating_t> saved;
};
