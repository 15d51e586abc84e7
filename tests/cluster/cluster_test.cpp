// Cluster membership and status: configured and allowed peers, the ties' ways in
// and out, STATUS to the incoming peers, and the ratings fed through the cluster.
#include <chrono>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/cluster/cluster_fixture.h"

namespace cluster_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ClusterTest : public ClusterFixture {};

// ---------------------------------------------------------------------------
// Configuration.

TEST_F(ClusterTest, TakesConfiguredServersAndAllowedAddresses) {
  vl::BrelConfig c = config();
  add_server(c, "127.0.0.1", 7001);
  add_server(c, "::1", 7002);
  add_server(c, "127.0.0.1", 7001);
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.1");
  allow(c, "fe80::1");
  apply(c);

  EXPECT_EQ(cluster->configured_servers().size(), 2u);
  EXPECT_TRUE(log->has("Notice: Configured server 127.0.0.1:7001"));
  EXPECT_TRUE(log->has("Notice: Configured server [::1]:7002"));
  EXPECT_TRUE(log->has("Notice: Allow connections from 10.0.0.1"));
  EXPECT_TRUE(log->has("Notice: Allow connections from fe80::1"));
  EXPECT_TRUE(cluster->is_allowed(endpoint("10.0.0.1", 40000)));
  EXPECT_TRUE(cluster->is_allowed(endpoint("fe80::1", 1)));
  EXPECT_FALSE(cluster->is_allowed(endpoint("10.0.0.2", 40000)));
  EXPECT_FALSE(cluster->is_allowed(endpoint("::ffff:10.0.0.1", 40000)));

  // Each configuration replaces the lists.
  apply(config());
  EXPECT_TRUE(cluster->configured_servers().empty());
  EXPECT_FALSE(cluster->is_allowed(endpoint("10.0.0.1", 40000)));
}

TEST_F(ClusterTest, RefusesAddressesAndPortsThatDoNotParse) {
  vl::BrelConfig bad_server = config();
  add_server(bad_server, "peer.example", 7001);
  EXPECT_THROW(cluster->restart(bad_server), boost::system::system_error);

  vl::BrelConfig bad_port = config();
  add_server(bad_port, "127.0.0.1", 65536 + 7001);
  EXPECT_THROW(cluster->restart(bad_port), std::out_of_range);

  vl::BrelConfig bad_allowed = config();
  allow(bad_allowed, "10.0.0.300");
  EXPECT_THROW(cluster->restart(bad_allowed), boost::system::system_error);
}

// ---------------------------------------------------------------------------
// Incoming peers and STATUS.

TEST_F(ClusterTest, IncomingPeerGetsStatusAtOnce) {
  apply(config(true, 6));
  auto job = inventory->scanner->create_job<placed_job_t>(1);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));

  ASSERT_EQ(peer->statuses.size(), 1u);
  EXPECT_EQ(peer->statuses[0].max_forks, 6u);
  EXPECT_EQ(peer->statuses[0].job_count, 1u);
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5001)));
  EXPECT_TRUE(log->has("Notice: PeerIn connected: 10.0.0.1:5000"));
  EXPECT_EQ(state_changes, 1);
}

TEST_F(ClusterTest, PeersNoLongerAllowedAreDropped) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.2");
  apply(c);
  auto kept = accept_peer(endpoint("10.0.0.1", 5000));
  std::weak_ptr<fake_peer_in_t> dropped = accept_peer(endpoint("10.0.0.2", 5000));
  ASSERT_FALSE(dropped.expired());  // the cluster owns it

  vl::BrelConfig narrower = config();
  allow(narrower, "10.0.0.1");
  apply(narrower);
  EXPECT_TRUE(dropped.expired());
  EXPECT_TRUE(log->has("Notice: Connection from 10.0.0.2 is no longer allowed"));
  EXPECT_TRUE(log->has("Notice: PeerIn disconnected: 10.0.0.2:5000"));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.2", 5000)));
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));

  // An empty list allows nobody.
  apply(config());
  EXPECT_TRUE(log->has("Notice: Connection from 10.0.0.1 is no longer allowed"));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
}

TEST_F(ClusterTest, DisconnectOfAReleasedIncomingTieLeavesANewerLinkAlone) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  apply(c);
  auto old_tie = accept_peer(endpoint("10.0.0.1", 5000));
  cluster->on_peer_in_disconnected(old_tie);
  auto new_tie = accept_peer(endpoint("10.0.0.1", 5000));
  // The old link reports its end a second time.
  cluster->on_peer_in_disconnected(old_tie);
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
}

TEST_F(ClusterTest, StatusTimerFollowsTheInterval) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  c.set_load_balance_status_interval(5);
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= 4; }));

  // Interval 0: no periodic STATUS.
  c.set_load_balance_status_interval(0);
  apply(c);
  std::size_t seen = peer->statuses.size();
  run_for(milliseconds(40));
  EXPECT_EQ(peer->statuses.size(), seen);

  c.set_load_balance_status_interval(5);
  apply(c);
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= seen + 3; }));

  // An unchanged interval keeps the running timer.
  apply(c);
  seen = peer->statuses.size();
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= seen + 2; }));
}

TEST_F(ClusterTest, FirstConfigurationWithoutIntervalArmsNothing) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  run_for(milliseconds(30));
  EXPECT_EQ(peer->statuses.size(), 1u);
}

TEST_F(ClusterTest, InternalOnlyDropsIncomingPeersAndStopsStatus) {
  vl::BrelConfig c = config();
  allow(c, "10.0.0.1");
  add_server(c, "127.0.0.1", 7001);
  c.set_load_balance_status_interval(5);
  apply(c);
  std::weak_ptr<fake_peer_in_t> in = accept_peer(endpoint("10.0.0.1", 5000));
  auto out = ready_peer(endpoint("127.0.0.1", 7001));

  vl::BrelConfig internal = c;
  internal.set_internal_only(true);
  apply(internal);
  EXPECT_TRUE(in.expired());
  EXPECT_TRUE(cluster->configured_servers().empty());
  // Outgoing ties are the connector's to drop.
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));

  // Back with the same interval: the timer runs again.
  apply(c);
  auto again = accept_peer(endpoint("10.0.0.1", 5001));
  ASSERT_TRUE(run([&] { return again->statuses.size() >= 3; }));
}

TEST_F(ClusterTest, EngineStateChangeSendsRecountedStatus) {
  vl::BrelConfig c = config(true, 3);
  allow(c, "10.0.0.1");
  auto job = inventory->scanner->create_job<placed_job_t>(1);
  apply(c);
  auto first = accept_peer(endpoint("10.0.0.1", 5000));
  auto second = accept_peer(endpoint("10.0.0.1", 5001));
  job.reset();

  inventory->scanner->state_changed();
  ASSERT_EQ(first->statuses.size(), 2u);
  ASSERT_EQ(second->statuses.size(), 2u);
  EXPECT_EQ(first->statuses[1].max_forks, 3u);
  EXPECT_EQ(first->statuses[1].job_count, 0u);

  // One subscription however many configurations.
  apply(c);
  inventory->scanner->state_changed();
  EXPECT_EQ(first->statuses.size(), 3u);
}

TEST_F(ClusterTest, InternalOnlyFirstConfigurationDoesNotSubscribeToTheEngine) {
  vl::BrelConfig c = config();
  c.set_internal_only(true);
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  inventory->scanner->state_changed();
  EXPECT_EQ(peer->statuses.size(), 1u);
}

// ---------------------------------------------------------------------------
// Outgoing peers.

TEST_F(ClusterTest, OutgoingPeerIsReadyOnlyWithEngineProcesses) {
  apply(config(false));
  auto peer = connect_peer(endpoint("127.0.0.1", 7001));
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_TRUE(log->has("Notice: PeerOut connected: 127.0.0.1:7001"));
  EXPECT_EQ(state_changes, 0);

  status(peer, 0);
  EXPECT_EQ(state_changes, 1);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  // Not configured, only connected: it counts for nothing until ready.
  EXPECT_EQ(choose(), "error 119: No facilities available to process the job");

  status(peer, 3);
  EXPECT_EQ(cluster->remote_forks(), 3u);
  EXPECT_EQ(choose(), "127.0.0.1:7001");

  status(peer, 0);
  EXPECT_EQ(cluster->remote_forks(), 0u);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_EQ(state_changes, 3);
}

TEST_F(ClusterTest, RemoteForksAddUpOverReadyPeers) {
  apply(config(false));
  auto a = ready_peer(endpoint("127.0.0.1", 7001), 3);
  auto b = ready_peer(endpoint("127.0.0.1", 7002), 5);
  auto waiting = connect_peer(endpoint("127.0.0.1", 7003));
  EXPECT_EQ(cluster->remote_forks(), 8u);
  status(b, 0xFFFFFFFFu);
  EXPECT_EQ(cluster->remote_forks(), 0xFFFFFFFFu);
  cluster->on_peer_out_disconnected(a);
  EXPECT_EQ(cluster->remote_forks(), 0xFFFFFFFFu);
}

TEST_F(ClusterTest, ConfigurationLinkHearsOfThePeersEngineProcesses) {
  vl::BrelConfig c = config(false);
  add_server(c, "127.0.0.1", 7001);
  apply(c);
  // With a configured peer the first report waits for a non-zero count.
  inventory->marrod_tie->first_config_processed();
  auto peer = ready_peer(endpoint("127.0.0.1", 7001), 3);
  vl::Brel2MarrodMessage info;
  ASSERT_TRUE(run([&] {
    for (const vl::Brel2MarrodMessage& m : marrod->messages) {
      if (m.tag() == vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION) info = m;
    }
    return info.has_info();
  }));
  EXPECT_EQ(info.info().remote_se_forks(), 3u);
  EXPECT_EQ(info.info().local_se_forks(), 0u);
}

TEST_F(ClusterTest, DisconnectedPeerIsReleasedAndLogged) {
  apply(config(false));
  std::weak_ptr<fake_peer_out_t> weak;
  {
    auto peer = ready_peer(endpoint("127.0.0.1", 7001));
    weak = peer;
    cluster->on_peer_out_disconnected(peer);
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(log->has("Notice: PeerOut disconnected: 127.0.0.1:7001"));
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_TRUE(cluster->nodes().ready.empty());
}

TEST_F(ClusterTest, ReleasedOutgoingTieNeverComesBack) {
  apply(config(false));
  auto old_tie = ready_peer(endpoint("127.0.0.1", 7001));
  cluster->drop_peer_out(endpoint("127.0.0.1", 7001));
  auto new_tie = connect_peer(endpoint("127.0.0.1", 7001));
  const int changes = state_changes;

  // The old tie's jobs wind down and it reports its estimates, then its end.
  status(old_tie, 4, 1);
  cluster->on_peer_out_disconnected(old_tie);
  EXPECT_EQ(state_changes, changes);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
}

TEST_F(ClusterTest, DropsReadyAndWaitingPeersOnRequest) {
  apply(config(false));
  std::weak_ptr<fake_peer_out_t> ready = ready_peer(endpoint("127.0.0.1", 7001));
  std::weak_ptr<fake_peer_out_t> waiting = connect_peer(endpoint("127.0.0.1", 7002));
  cluster->drop_peer_out(endpoint("127.0.0.1", 7003));
  EXPECT_FALSE(ready.expired());

  cluster->drop_peer_out(endpoint("127.0.0.1", 7001));
  cluster->drop_peer_out(endpoint("127.0.0.1", 7002));
  EXPECT_TRUE(ready.expired());
  EXPECT_TRUE(waiting.expired());
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7002)));
}

// ---------------------------------------------------------------------------
// Ratings fed through the cluster.

TEST_F(ClusterTest, FailuresSendJobsElsewhereUntilProbation) {
  apply(config(false));
  const endpoint_t a = endpoint("127.0.0.1", 7001);
  auto peer_a = ready_peer(a);
  auto peer_b = ready_peer(endpoint("127.0.0.1", 7002));
  EXPECT_EQ(choose(), "127.0.0.1:7001");

  for (int i = 0; i < 8; ++i) cluster->report_failure(a);
  EXPECT_EQ(cluster->nodes().find_rating(a)->state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(), "127.0.0.1:7002");

  // Left alone for 5 s, then tried again on probation: idle, it ties and wins.
  advance(milliseconds(4900));
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  advance(milliseconds(150));
  EXPECT_EQ(choose(), "127.0.0.1:7001");
  EXPECT_EQ(cluster->nodes().find_rating(a)->state, bk_node_rating_t::probation);
  EXPECT_DOUBLE_EQ(cluster->nodes().find_rating(a)->failures, 5.6);

  // Eleven successes make it healthy.
  for (int i = 0; i < 11; ++i) cluster->report_success(a);
  EXPECT_EQ(cluster->nodes().find_rating(a)->state, bk_node_rating_t::healthy);
}

TEST_F(ClusterTest, LocalFailuresMoveJobsToAPeer) {
  apply(config(true, 4, 2.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001));
  EXPECT_EQ(choose(), "local");
  for (int i = 0; i < 8; ++i) cluster->report_failure(std::nullopt);
  EXPECT_EQ(cluster->nodes().local.rating.state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(2), "127.0.0.1:7001");
}

TEST_F(ClusterTest, PeerHealthOutlivesItsLinkAndKeepsAgeing) {
  apply(config(false));
  const endpoint_t a = endpoint("127.0.0.1", 7001);
  auto first = ready_peer(a);
  auto other = ready_peer(endpoint("127.0.0.1", 7002));
  for (int i = 0; i < 8; ++i) cluster->report_failure(a);
  cluster->on_peer_out_disconnected(first);
  ASSERT_NE(cluster->nodes().find_rating(a), nullptr);
  EXPECT_EQ(cluster->nodes().find_rating(a)->state, bk_node_rating_t::failed);
  // Outcomes of jobs still under way reach the saved health.
  cluster->report_failure(a);
  EXPECT_DOUBLE_EQ(cluster->nodes().find_rating(a)->failures, 9.0);
  cluster->report_failure(endpoint("127.0.0.1", 7999));  // never ready: ignored

  // Back: still failed, so the other peer keeps the jobs.
  auto second = ready_peer(a);
  EXPECT_EQ(cluster->nodes().saved.count(a), 0u);
  EXPECT_EQ(choose(), "127.0.0.1:7002");

  // Away again for 300 s: the saved health ages to a clean record.
  cluster->on_peer_out_disconnected(second);
  advance(seconds(301));
  cluster->update_weights();
  EXPECT_EQ(cluster->nodes().find_rating(a)->state, bk_node_rating_t::healthy);
  EXPECT_DOUBLE_EQ(cluster->nodes().find_rating(a)->failures, 0.0);
}

TEST_F(ClusterTest, TicksCloserThanTenMillisecondsWait) {
  apply(config());
  for (int i = 0; i < 8; ++i) cluster->report_failure(std::nullopt);
  const bk_node_rating_t& local = cluster->nodes().local.rating;
  ASSERT_EQ(local.state, bk_node_rating_t::failed);

  advance(milliseconds(5));
  cluster->update_weights();
  EXPECT_EQ(local.state_seconds, 0.0);
  // The skipped time counts towards the next tick.
  advance(milliseconds(6));
  cluster->update_weights();
  EXPECT_DOUBLE_EQ(local.state_seconds, 0.011);
}

}  // namespace
}  // namespace cluster_test
