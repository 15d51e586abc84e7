// The cluster inside a real central object, with in-memory peer ties, jobs that
// tell where they were placed and a hand-driven clock: membership, STATUS to the
// incoming peers, readiness and health of the outgoing ones, and node choice.
//
// The central object runs on one end of a socket pair; the other end plays the
// configuration daemon and only listens.
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>
#include <boost/signals2/connection.hpp>

#include "cluster/cluster.h"
#include "core/scanner.h"
#include "framework/exception.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "tests/support/scan_requester.h"
#include "wiring/inventory.h"

namespace {

using std::chrono::milliseconds;
using endpoint_t = bk_cluster_t::endpoint_t;

endpoint_t endpoint(const std::string& address, unsigned short port) {
  return endpoint_t(boost::asio::ip::make_address(address), port);
}
endpoint_t peer(unsigned short port) {
  return endpoint("127.0.0.1", port);
}

// A job that only says where it runs: "local" (then it is the engine front's) or
// the peer's endpoint.
struct placed_job_t : scan_requester_t {
  placed_job_t(uint32_t job_id, bk_core_inventory_t& inventory, std::string where = "local")
      : scan_requester_t(job_id, inventory) {
    path = std::move(where);
    if (path == "local") scanner = inventory.scanner;
  }
  void on_scan_report(const vl::ScanReport&) override {}
  void on_scan_error(const std::exception_ptr&, bool) override {}
};

// An outgoing tie whose figures the test sets.
struct fake_peer_out_t : bk_cluster_t::peer_out_t {
  fake_peer_out_t(bk_inventory_t& inventory, endpoint_t where)
      : inventory(inventory), where(where) {}
  endpoint_t remote_endpoint() const override { return where; }
  uint32_t max_forks() const override { return forks; }
  uint32_t job_count() const override { return jobs; }
  uint64_t bytes_in_queue() const override { return bytes; }
  bool busy() const override { return full; }
  std::shared_ptr<bk_job_t> create_job(uint32_t job_id) override {
    std::ostringstream text;
    text << where;
    return std::make_shared<placed_job_t>(job_id, inventory, text.str());
  }
  bk_inventory_t& inventory;
  endpoint_t where;
  uint32_t forks = 0, jobs = 0;
  uint64_t bytes = 0;
  bool full = false;
};

// An incoming tie that records each STATUS.
struct fake_peer_in_t : bk_cluster_t::peer_in_t {
  explicit fake_peer_in_t(endpoint_t where) : where(where) {}
  endpoint_t remote_endpoint() const override { return where; }
  void send_status(const bk_node_rating_t& local) override { statuses.push_back(local); }
  endpoint_t where;
  std::vector<bk_node_rating_t> statuses;
};

class ClusterTest : public ::testing::Test {
 protected:
  ClusterTest() { build(); }
  ~ClusterTest() override { tear_down(); }

  // A fresh central object, for each row of a table.
  void rebuild() {
    tear_down();
    build();
  }
  // An engine that is started on demand only, so no test waits for it.
  static vl::BrelConfig config(bool engine = true, uint32_t forks = 4, float preference = 1.0f) {
    vl::BrelConfig c;
    c.set_is_se_installed(engine);
    c.set_se_max_forks(forks);
    c.set_actual_start(true);
    c.set_local_scan_preference(preference);
    return c;
  }
  static void add_server(vl::BrelConfig& c, const std::string& address, uint32_t port) {
    vl::IPSocket* server = c.mutable_load_balance_to()->add_ip();
    server->set_address(address);
    server->set_port(port);
  }
  static void allow(vl::BrelConfig& c, const std::string& address) {
    c.mutable_load_balance_allow_from()->add_ip()->set_address(address);
  }
  void apply(const vl::BrelConfig& c) {
    inventory->scanner->reconfigure(c);
    cluster->restart(c);
  }

  std::shared_ptr<fake_peer_out_t> connect_peer(const endpoint_t& where) {
    auto tie = std::make_shared<fake_peer_out_t>(*inventory, where);
    cluster->on_peer_out_connected(tie);
    return tie;
  }
  std::shared_ptr<fake_peer_out_t> ready_peer(const endpoint_t& where, uint32_t forks = 4,
                                              uint32_t jobs = 0, uint64_t bytes = 0) {
    auto tie = connect_peer(where);
    status(tie, forks, jobs, bytes);
    return tie;
  }
  void status(const std::shared_ptr<fake_peer_out_t>& tie, uint32_t forks, uint32_t jobs = 0,
              uint64_t bytes = 0) {
    tie->forks = forks;
    tie->jobs = jobs;
    tie->bytes = bytes;
    cluster->on_peer_out_status(tie);
  }
  std::shared_ptr<fake_peer_in_t> accept_peer(const endpoint_t& where) {
    auto tie = std::make_shared<fake_peer_in_t>(where);
    cluster->on_peer_in_connected(tie);
    return tie;
  }
  // Where the job went: "local", a peer's endpoint, or "error <code>: <text>".
  std::string choose(uint32_t job_id = 1, const std::set<endpoint_t>& excluded = {},
                     bool never_local = false) {
    try {
      jobs.push_back(cluster->choose_node(job_id, excluded, never_local));
      return jobs.back()->describe();
    } catch (const cf_proto_exception_t& e) {
      return "error " + std::to_string(e.code()) + ": " + e.what();
    }
  }
  bool run(const std::function<bool()>& done) { return run_until(inventory->io_context, done); }
  // Runs the loop until a STATUS timer at the tests' 5 ms interval, had it been
  // armed, would have fired and been handled.
  void run_past_interval() { ASSERT_TRUE(run_past(inventory->io_context, milliseconds(10))); }

  void build() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::bad_alloc();
    inventory = std::make_unique<bk_inventory_t>(pair[0]);
    marrod = marrod_end_t::open(inventory->io_context, pair[1]);
    cluster = inventory->cluster;
    cluster->set_clock([this] { return now; });
    cluster->set_local_job_factory([this](uint32_t job_id) -> std::shared_ptr<bk_job_t> {
      return inventory->scanner->create_job<placed_job_t>(job_id);
    });
  }
  // Jobs go before the central object they refer to.
  void tear_down() {
    marrod->close();
    jobs.clear();
    cluster.reset();
    inventory.reset();
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_cluster_t::clock_type::time_point now = bk_cluster_t::clock_type::now();
  std::unique_ptr<bk_inventory_t> inventory;
  std::shared_ptr<marrod_end_t> marrod;
  std::shared_ptr<bk_cluster_t> cluster;
  std::vector<std::shared_ptr<bk_job_t>> jobs;
};

TEST_F(ClusterTest, ConfigurationSetsServersAndAllowedAddresses) {
  vl::BrelConfig c = config();
  add_server(c, "127.0.0.1", 7001);
  add_server(c, "::1", 7002);
  add_server(c, "127.0.0.1", 7001);
  allow(c, "10.0.0.1");
  allow(c, "fe80::1");
  apply(c);
  EXPECT_EQ(cluster->configured_servers().size(), 2u);
  EXPECT_TRUE(cluster->is_allowed(endpoint("10.0.0.1", 40000)));
  EXPECT_TRUE(cluster->is_allowed(endpoint("fe80::1", 1)));
  EXPECT_FALSE(cluster->is_allowed(endpoint("10.0.0.2", 40000)));
  EXPECT_FALSE(cluster->is_allowed(endpoint("::ffff:10.0.0.1", 40000)));
  // Each configuration replaces the lists.
  apply(config());
  EXPECT_TRUE(cluster->configured_servers().empty());
  EXPECT_FALSE(cluster->is_allowed(endpoint("10.0.0.1", 40000)));

  // What does not parse is refused, never truncated.
  vl::BrelConfig bad = config();
  add_server(bad, "peer.example", 7001);
  EXPECT_THROW(cluster->restart(bad), boost::system::system_error);
  bad = config();
  add_server(bad, "127.0.0.1", 65536 + 7001);
  EXPECT_THROW(cluster->restart(bad), std::out_of_range);
  bad = config();
  allow(bad, "10.0.0.300");
  EXPECT_THROW(cluster->restart(bad), boost::system::system_error);
}

TEST_F(ClusterTest, IncomingPeersGetStatusAtOnceAndGoWhenNoLongerAllowed) {
  vl::BrelConfig c = config(true, 6);
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.2");
  apply(c);
  auto job = inventory->scanner->create_job<placed_job_t>(1);
  auto kept = accept_peer(endpoint("10.0.0.1", 5000));
  ASSERT_EQ(kept->statuses.size(), 1u);
  EXPECT_EQ(kept->statuses[0].max_forks, 6u);
  EXPECT_EQ(kept->statuses[0].job_count, 1u);

  std::weak_ptr<fake_peer_in_t> dropped = accept_peer(endpoint("10.0.0.2", 5000));
  vl::BrelConfig narrower = config();
  allow(narrower, "10.0.0.1");
  apply(narrower);
  EXPECT_TRUE(dropped.expired());
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.2", 5000)));
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));

  // A released link that reports its end again leaves a newer one alone.
  cluster->on_peer_in_disconnected(kept);
  auto newer = accept_peer(endpoint("10.0.0.1", 5000));
  cluster->on_peer_in_disconnected(kept);
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
  // An empty list allows nobody.
  apply(config());
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
}

TEST_F(ClusterTest, StatusGoesOutOnTheTimerAndOnEngineChanges) {
  vl::BrelConfig c = config(true, 3);
  allow(c, "10.0.0.1");
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  // No interval in the first configuration: no timer. An engine change sends a
  // recounted STATUS.
  run_past_interval();
  inventory->scanner->state_changed();
  ASSERT_EQ(peer->statuses.size(), 2u);
  EXPECT_EQ(peer->statuses[1].max_forks, 3u);

  c.set_load_balance_status_interval(5);
  apply(c);
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= 5; }));
  // Interval 0, or internal only: no periodic STATUS.
  for (bool internal : {false, true}) {
    vl::BrelConfig quiet = c;
    quiet.set_load_balance_status_interval(internal ? 5 : 0);
    quiet.set_internal_only(internal);
    apply(quiet);
    const std::size_t seen = peer->statuses.size();
    run_past_interval();
    EXPECT_EQ(peer->statuses.size(), seen);
    apply(c);
    peer = accept_peer(endpoint("10.0.0.1", internal ? 5002 : 5001));
    ASSERT_TRUE(run([&] { return peer->statuses.size() >= 3; }));
  }
}

TEST_F(ClusterTest, OutgoingPeerIsReadyOnlyWithEngineProcesses) {
  apply(config(false));
  auto a = connect_peer(peer(7001));
  EXPECT_TRUE(cluster->is_peer_out_connected(peer(7001)));
  status(a, 0);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  // Not configured, only connected: it counts for nothing until ready.
  EXPECT_EQ(choose(), "error 119: No facilities available to process the job");
  status(a, 3);
  EXPECT_EQ(choose(), "127.0.0.1:7001");

  auto b = ready_peer(peer(7002), 5);
  auto waiting = connect_peer(peer(7003));
  EXPECT_EQ(cluster->remote_forks(), 8u);
  // The sum saturates instead of wrapping.
  status(b, 0xFFFFFFFFu);
  EXPECT_EQ(cluster->remote_forks(), 0xFFFFFFFFu);
  // Back to waiting on a STATUS without processes; still connected.
  status(b, 0);
  EXPECT_EQ(cluster->remote_forks(), 3u);
  EXPECT_TRUE(cluster->is_peer_out_connected(peer(7002)));

  std::weak_ptr<fake_peer_out_t> gone = a;
  cluster->on_peer_out_disconnected(a);
  a.reset();
  EXPECT_TRUE(gone.expired());
  EXPECT_FALSE(cluster->is_peer_out_connected(peer(7001)));
  EXPECT_EQ(cluster->remote_forks(), 0u);
}

TEST_F(ClusterTest, DroppedTieIsReleasedAndItsLateReportsChangeNothing) {
  apply(config(false));
  std::weak_ptr<fake_peer_out_t> ready = ready_peer(peer(7001));
  auto old_tie = ready.lock();
  cluster->drop_peer_out(peer(7001));
  EXPECT_EQ(old_tie.use_count(), 1);
  EXPECT_FALSE(cluster->is_peer_out_connected(peer(7001)));
  // The dropped tie's jobs wind down and it reports its estimates, then its end:
  // neither brings it back nor touches a newer link to the same peer.
  auto new_tie = connect_peer(peer(7001));
  status(old_tie, 4, 1);
  cluster->on_peer_out_disconnected(old_tie);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(peer(7001)));
}

TEST_F(ClusterTest, PeerFailuresSendJobsElsewhereAndItsHealthOutlivesItsLink) {
  apply(config(false));
  auto first = ready_peer(peer(7001));
  auto other = ready_peer(peer(7002));
  const auto rating = [&] { return *cluster->nodes().find_rating(peer(7001)); };
  for (int i = 0; i < 8; ++i) cluster->report_failure(peer(7001));
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  // Left alone for 5 s, then tried again on probation: idle, it ties and wins.
  now += milliseconds(4900);
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  now += milliseconds(150);
  EXPECT_EQ(choose(), "127.0.0.1:7001");

  // Failed and gone: outcomes of jobs still under way reach the saved health.
  for (int i = 0; i < 8; ++i) cluster->report_failure(peer(7001));
  cluster->on_peer_out_disconnected(first);
  cluster->report_failure(peer(7001));
  // Back: still failed, so the other peer keeps the jobs.
  auto second = ready_peer(peer(7001));
  EXPECT_EQ(rating().state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  // Away again for 300 s: the saved health ages to a clean record.
  cluster->on_peer_out_disconnected(second);
  now += std::chrono::seconds(301);
  cluster->update_weights();
  EXPECT_EQ(rating().state, bk_node_rating_t::healthy);
  EXPECT_DOUBLE_EQ(rating().failures, 0.0);
}

TEST_F(ClusterTest, ConfigurationIsLoggedEntryByEntry) {
  vl::BrelConfig c = config();
  add_server(c, "127.0.0.1", 7001);
  add_server(c, "::1", 7002);
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.1");
  allow(c, "fe80::1");
  apply(c);
  EXPECT_TRUE(log->has_line("Notice: Configured server 127.0.0.1:7001"));
  EXPECT_TRUE(log->has_line("Notice: Configured server [::1]:7002"));
  EXPECT_TRUE(log->has_line("Notice: Allow connections from 10.0.0.1"));
  EXPECT_TRUE(log->has_line("Notice: Allow connections from fe80::1"));
}

TEST_F(ClusterTest, IncomingPeerLinksAreLoggedAndSignalled) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.2");
  apply(c);
  int changes = 0;
  const boost::signals2::scoped_connection counting =
      cluster->state_changed.connect([&changes] { ++changes; });
  auto kept = accept_peer(endpoint("10.0.0.1", 5000));
  EXPECT_TRUE(log->has_line("Notice: PeerIn connected: 10.0.0.1:5000"));
  EXPECT_EQ(changes, 1);
  // One link per address and port: another port of the same address is not it.
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5001)));

  std::weak_ptr<fake_peer_in_t> dropped = accept_peer(endpoint("10.0.0.2", 5000));
  ASSERT_FALSE(dropped.expired());  // the cluster owns it
  vl::BrelConfig narrower = config();
  allow(narrower, "10.0.0.1");
  apply(narrower);
  EXPECT_TRUE(dropped.expired());
  EXPECT_TRUE(log->has_line("Notice: Connection from 10.0.0.2 is no longer allowed"));
  EXPECT_TRUE(log->has_line("Notice: PeerIn disconnected: 10.0.0.2:5000"));
}

TEST_F(ClusterTest, EngineChangeSendsOneRecountedStatusHoweverManyConfigurations) {
  vl::BrelConfig c = config(true, 3);
  allow(c, "10.0.0.1");
  auto job = inventory->scanner->create_job<placed_job_t>(1);
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  ASSERT_EQ(peer->statuses.size(), 1u);
  EXPECT_EQ(peer->statuses[0].job_count, 1u);
  // Every configuration applies the cluster again; the engine is heard once.
  job.reset();
  apply(c);
  apply(c);
  inventory->scanner->state_changed();
  ASSERT_EQ(peer->statuses.size(), 2u);
  EXPECT_EQ(peer->statuses[1].max_forks, 3u);
  EXPECT_EQ(peer->statuses[1].job_count, 0u);
}

TEST_F(ClusterTest, UnchangedIntervalKeepsTheStatusTimerRunning) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  c.set_load_balance_status_interval(5);
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= 2; }));
  apply(c);
  const std::size_t seen = peer->statuses.size();
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= seen + 2; }));
}

TEST_F(ClusterTest, InternalOnlyClearsTheServersAndLeavesOutgoingTiesToTheConnector) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  add_server(c, "127.0.0.1", 7001);
  apply(c);
  auto in = accept_peer(endpoint("10.0.0.1", 5000));
  auto out = ready_peer(peer(7001));
  vl::BrelConfig internal = c;
  internal.set_internal_only(true);
  apply(internal);
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
  EXPECT_TRUE(cluster->configured_servers().empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(peer(7001)));
  EXPECT_EQ(cluster->remote_forks(), 4u);
}

TEST_F(ClusterTest, InternalOnlyFirstConfigurationLeavesTheEngineUnheard) {
  vl::BrelConfig internal = config();
  internal.set_internal_only(true);
  apply(internal);
  auto lone = accept_peer(endpoint("10.0.0.1", 5000));
  inventory->scanner->state_changed();
  EXPECT_EQ(lone->statuses.size(), 1u);
}

TEST_F(ClusterTest, OutgoingPeerChangesAreSignalledButNotItsConnect) {
  apply(config(false));
  int changes = 0;
  const boost::signals2::scoped_connection counting =
      cluster->state_changed.connect([&changes] { ++changes; });
  auto a = connect_peer(peer(7001));
  EXPECT_EQ(changes, 0);
  // Every STATUS, with processes or without.
  status(a, 0);
  EXPECT_EQ(changes, 1);
  status(a, 3);
  EXPECT_EQ(changes, 2);
  status(a, 0);
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  cluster->on_peer_out_disconnected(a);
  EXPECT_EQ(changes, 4);
}

TEST_F(ClusterTest, DropReleasesAWaitingTieTooAndItsLateReportsSignalNothing) {
  apply(config(false));
  std::weak_ptr<fake_peer_out_t> ready = ready_peer(peer(7001));
  auto waiting = connect_peer(peer(7002));
  // Never connected: nothing to drop.
  cluster->drop_peer_out(peer(7003));
  EXPECT_FALSE(ready.expired());
  EXPECT_TRUE(cluster->is_peer_out_connected(peer(7002)));
  // No longer configured and not ready yet: kept, it would take jobs once ready.
  cluster->drop_peer_out(peer(7002));
  EXPECT_EQ(waiting.use_count(), 1);
  EXPECT_FALSE(cluster->is_peer_out_connected(peer(7002)));

  int changes = 0;
  const boost::signals2::scoped_connection counting =
      cluster->state_changed.connect([&changes] { ++changes; });
  status(waiting, 4, 1);
  cluster->on_peer_out_disconnected(waiting);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(cluster->nodes().ready.size(), 1u);
  EXPECT_EQ(cluster->remote_forks(), 4u);
}

TEST_F(ClusterTest, OutcomesFeedThePeersRatingWhileReadyAndWhileAway) {
  apply(config(false));
  auto first = ready_peer(peer(7001));
  const auto rating = [&] { return *cluster->nodes().find_rating(peer(7001)); };
  for (int i = 0; i < 8; ++i) cluster->report_failure(peer(7001));
  EXPECT_EQ(rating().state, bk_node_rating_t::failed);
  now += milliseconds(5050);
  cluster->update_weights();
  EXPECT_EQ(rating().state, bk_node_rating_t::probation);
  EXPECT_DOUBLE_EQ(rating().failures, 5.6);
  // Eleven successes make it healthy; its counts then fade.
  for (int i = 0; i < 11; ++i) cluster->report_success(peer(7001));
  EXPECT_EQ(rating().state, bk_node_rating_t::healthy);
  now += std::chrono::seconds(60);

  // Failed and gone: outcomes of jobs still under way reach the saved health.
  for (int i = 0; i < 8; ++i) cluster->report_failure(peer(7001));
  cluster->on_peer_out_disconnected(first);
  EXPECT_EQ(rating().state, bk_node_rating_t::failed);
  cluster->report_failure(peer(7001));
  EXPECT_DOUBLE_EQ(rating().failures, 9.0);
  // A peer that was never ready has no rating to feed.
  cluster->report_failure(peer(7999));
  EXPECT_EQ(cluster->nodes().find_rating(peer(7999)), nullptr);
  // Back: the saved health comes with it.
  auto second = ready_peer(peer(7001));
  EXPECT_EQ(cluster->nodes().saved.count(peer(7001)), 0u);
  EXPECT_DOUBLE_EQ(rating().failures, 9.0);
}

TEST_F(ClusterTest, LocalFailuresMoveJobsToAPeerAndCloseTicksWait) {
  apply(config(true, 4, 2.0f));
  auto other = ready_peer(peer(7001));
  EXPECT_EQ(choose(), "local");
  for (int i = 0; i < 8; ++i) cluster->report_failure(std::nullopt);
  const bk_node_rating_t& local = cluster->nodes().local.rating;
  ASSERT_EQ(local.state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(2), "127.0.0.1:7001");

  // Ticks closer than 10 ms do nothing; the skipped time counts towards the next.
  now += milliseconds(5);
  cluster->update_weights();
  EXPECT_EQ(local.state_seconds, 0.0);
  now += milliseconds(6);
  cluster->update_weights();
  EXPECT_DOUBLE_EQ(local.state_seconds, 0.011);
}

TEST_F(ClusterTest, LocalJobsCountTowardsTheLoadOfThisHost) {
  apply(config(true, 4, 1.0f));
  auto busy = ready_peer(peer(7001), 4, 2, 0);
  // The idle host beats the peer with two jobs until it holds two of its own
  // (a tie goes to the peer).
  EXPECT_EQ(choose(1), "local");
  EXPECT_EQ(choose(2), "local");
  EXPECT_EQ(choose(3), "127.0.0.1:7001");
  // Chosen jobs carry the master job's id.
  EXPECT_EQ(jobs.back()->job_id, 3u);
  // A finished local job makes room again.
  jobs.erase(jobs.begin());
  EXPECT_EQ(choose(4), "local");
  EXPECT_EQ(jobs.back()->job_id, 4u);
}

TEST_F(ClusterTest, WeightLogShowsEveryNode) {
  apply(config(true, 4, 1.0f));
  auto idle = ready_peer(peer(7001), 4, 0, 0);
  const auto micros =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 1000;
  choose();
  // Equal shares of capacity (0.5), nothing queued, healthy.
  EXPECT_TRUE(log->has_line("Debug: Weight local: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
  EXPECT_TRUE(
      log->has_line("Debug: Weight 127.0.0.1:7001: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
}

// Places job 7 on a fresh cluster as `setup` says. Words (peers are 127.0.0.1 with
// the port given): -E no engine, F<n> engine processes (default 4), P<x> local
// preference (default 1), L<n> local jobs running, C<port> configured, T<port>
// attempted without a link, W<port> connected, not ready,
// R<port>:<forks>:<jobs>:<bytes> ready (in word order), B<port> that ready peer's
// link is busy, X<port> excluded, N the job already ran here.
TEST_F(ClusterTest, NodeChoicePicksTheNodeOrSaysWhyThereIsNone) {
  const auto place = [this](const std::string& setup) {
    rebuild();
    std::istringstream text(setup);
    const std::vector<std::string> words{std::istream_iterator<std::string>(text), {}};
    vl::BrelConfig settings = config();
    for (const std::string& w : words) {
      if (w == "-E") settings.set_is_se_installed(false);
      if (w[0] == 'F') settings.set_se_max_forks(std::stoul(w.substr(1)));
      if (w[0] == 'P') settings.set_local_scan_preference(std::stof(w.substr(1)));
      if (w[0] == 'C') add_server(settings, "127.0.0.1", std::stoul(w.substr(1)));
    }
    apply(settings);
    std::vector<std::shared_ptr<fake_peer_out_t>> ties;
    std::set<endpoint_t> excluded;
    bool never_local = false;
    for (const std::string& w : words) {
      const auto port = [&] { return peer(std::stoi(w.substr(1))); };
      unsigned at = 0, forks = 0, load = 0;
      unsigned long long bytes = 0;
      if (w[0] == 'T') cluster->mark_peer_tried(port());
      if (w[0] == 'W') ties.push_back(connect_peer(port()));
      if (w[0] == 'X') excluded.insert(port());
      for (const auto& tie : ties) tie->full = tie->full || (w[0] == 'B' && tie->where == port());
      if (w[0] == 'N') never_local = true;
      for (int i = w[0] == 'L' ? std::stoi(w.substr(1)) : 0; i > 0; --i)
        jobs.push_back(inventory->scanner->create_job<placed_job_t>(100 + i));
      if (std::sscanf(w.c_str(), "R%u:%u:%u:%llu", &at, &forks, &load, &bytes) == 4)
        ties.push_back(ready_peer(peer(at), forks, load, bytes));
    }
    const std::string result = choose(7, excluded, never_local);
    // A failed choice changes nothing: asked again, the answer is the same.
    if (result.rfind("error", 0) == 0) {
      EXPECT_EQ(choose(7, excluded, never_local), result);
    }
    return result;
  };
  const char* const not_ready = "error 9: No peer is ready to process the job";
  const char* const no_engine = "error 119: No facilities available to process the job";
  const char* const none_able = "error 125: No facilities were able to process the job";
  const std::vector<std::array<const char*, 3>> table = {
      {"no peers: every job runs here", "F0", "local"},
      {"no peers, no preference", "P0", "local"},
      {"no engine, no peers", "-E", no_engine},
      {"no engine, peer not attempted yet", "-E C7001", not_ready},
      {"no engine, peer attempted and failed", "-E C7001 T7001", none_able},
      {"no engine, peer connected but not ready", "-E C7001 W7001", none_able},
      {"no engine, one of two peers attempted", "-E C7001 C7002 T7001", not_ready},
      {"no engine, the untried peer is excluded", "-E C7001 C7002 T7001 X7002", none_able},
      {"ran here already, peer not attempted", "C7001 N", not_ready},
      {"ran here already, no peers", "N", none_able},
      {"ran here already, peer attempted", "C7001 T7001 N", none_able},
      {"no engine and ran here, peers configured", "-E C7001 T7001 N", none_able},
      {"equal peers: the first ready wins", "-E R7002:4:1:10 R7001:4:1:10", "127.0.0.1:7002"},
      {"equal to the best peer: the peer wins", "R7001:4:0:0", "127.0.0.1:7001"},
      {"greater local preference wins", "P2 R7001:4:0:0", "local"},
      {"local without processes never beats a peer", "F0 P2 R7001:4:8:5000", "127.0.0.1:7001"},
      {"no preference: any peer wins", "P0 R7001:1:50:99999", "127.0.0.1:7001"},
      {"busy local loses", "L4 R7001:4:0:0", "127.0.0.1:7001"},
      {"busy peer loses", "R7001:4:4:0", "local"},
      {"ran here already: the peer even when worse", "P2 R7001:1:9:9000 N", "127.0.0.1:7001"},
      {"bigger engine wins", "-E R7001:2:0:0 R7002:6:0:0", "127.0.0.1:7002"},
      {"queued bytes weigh twice as much as jobs", "-E R7001:4:0:100 R7002:4:1:0",
       "127.0.0.1:7002"},
      {"excluded best peer: the next one", "-E R7001:4:0:0 R7002:4:3:0 X7001", "127.0.0.1:7002"},
      {"only peer excluded: here", "R7001:4:0:0 X7001", "local"},
      {"only peer excluded, no engine", "-E C7001 R7001:4:0:0 X7001", none_able},
      {"busy best peer: the next one", "-E R7001:4:0:0 R7002:4:3:0 B7001", "127.0.0.1:7002"},
      {"only peer busy: here", "R7001:4:0:0 B7001", "local"},
      {"only peer busy, no engine: wait, though every peer was attempted",
       "-E C7001 R7001:4:0:0 B7001", not_ready},
      {"only peer busy, ran here already", "C7001 R7001:4:0:0 B7001 N", not_ready},
      {"busy peer excluded: as if it were not there", "-E C7001 R7001:4:0:0 B7001 X7001",
       none_able},
  };
  for (const auto& [what, setup, expected] : table) {
    EXPECT_EQ(place(setup), expected) << what << " (" << setup << ")";
  }
}

}  // namespace
