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

TEST_F(ClusterTest, ConfigurationSetsServersAndAllowedAddresses) {
  vl::BrelConfig c = config();
  add_server(c, "127.0.0.1", 7001);
  add_server(c, "::1", 7002);
  add_server(c, "127.0.0.1", 7001);
  allow(c, "10.0.0.1");
  allow(c, "10.0.0.1");
  allow(c, "fe80::1");
  apply(c);
  EXPECT_EQ(cluster->configured_servers().size(), 2u);
  EXPECT_TRUE(log->has_line("Notice: Configured server 127.0.0.1:7001"));
  EXPECT_TRUE(log->has_line("Notice: Configured server [::1]:7002"));
  EXPECT_TRUE(log->has_line("Notice: Allow connections from 10.0.0.1"));
  EXPECT_TRUE(log->has_line("Notice: Allow connections from fe80::1"));
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
  EXPECT_TRUE(log->has_line("Notice: PeerIn connected: 10.0.0.1:5000"));
  EXPECT_EQ(state_changes, 1);
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5001)));

  std::weak_ptr<fake_peer_in_t> dropped = accept_peer(endpoint("10.0.0.2", 5000));
  ASSERT_FALSE(dropped.expired());  // the cluster owns it
  vl::BrelConfig narrower = config();
  allow(narrower, "10.0.0.1");
  apply(narrower);
  EXPECT_TRUE(dropped.expired());
  EXPECT_TRUE(log->has_line("Notice: Connection from 10.0.0.2 is no longer allowed"));
  EXPECT_TRUE(log->has_line("Notice: PeerIn disconnected: 10.0.0.2:5000"));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.2", 5000)));

  // A released link that reports its end again leaves a newer one alone.
  cluster->on_peer_in_disconnected(kept);
  auto newer = accept_peer(endpoint("10.0.0.1", 5000));
  cluster->on_peer_in_disconnected(kept);
  EXPECT_TRUE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));

  // An empty list allows nobody.
  apply(config());
  EXPECT_TRUE(log->has_line("Notice: Connection from 10.0.0.1 is no longer allowed"));
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
}

TEST_F(ClusterTest, StatusGoesOutOnTheTimerAndOnEngineChanges) {
  vl::BrelConfig c = config(true, 3);
  allow(c, "10.0.0.1");
  add_server(c, "127.0.0.1", 7001);
  auto job = inventory->scanner->create_job<placed_job_t>(1);
  apply(c);
  auto peer = accept_peer(endpoint("10.0.0.1", 5000));
  // No interval in the first configuration: no timer.
  run_past_interval();
  EXPECT_EQ(peer->statuses.size(), 1u);

  // An engine change sends a recounted STATUS, once however many configurations.
  job.reset();
  apply(c);
  inventory->scanner->state_changed();
  ASSERT_EQ(peer->statuses.size(), 2u);
  EXPECT_EQ(peer->statuses[1].max_forks, 3u);
  EXPECT_EQ(peer->statuses[1].job_count, 0u);

  c.set_load_balance_status_interval(5);
  apply(c);
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= 5; }));
  // Interval 0: no periodic STATUS.
  c.set_load_balance_status_interval(0);
  apply(c);
  std::size_t seen = peer->statuses.size();
  run_past_interval();
  EXPECT_EQ(peer->statuses.size(), seen);
  c.set_load_balance_status_interval(5);
  apply(c);
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= seen + 3; }));
  // An unchanged interval keeps the running timer.
  apply(c);
  seen = peer->statuses.size();
  ASSERT_TRUE(run([&] { return peer->statuses.size() >= seen + 2; }));

  // Internal only: incoming peers and configured servers go, the timer stops;
  // outgoing ties are the connector's to drop.
  auto out = ready_peer(endpoint("127.0.0.1", 7001));
  vl::BrelConfig internal = c;
  internal.set_internal_only(true);
  apply(internal);
  EXPECT_FALSE(cluster->is_peer_in_connected(endpoint("10.0.0.1", 5000)));
  EXPECT_TRUE(cluster->configured_servers().empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  seen = peer->statuses.size();
  run_past_interval();
  EXPECT_EQ(peer->statuses.size(), seen);
  // Back with the same interval: the timer runs again.
  apply(c);
  auto again = accept_peer(endpoint("10.0.0.1", 5001));
  ASSERT_TRUE(run([&] { return again->statuses.size() >= 3; }));

  // An internal-only first configuration does not subscribe to the engine.
  rebuild();
  apply(internal);
  auto lone = accept_peer(endpoint("10.0.0.1", 5000));
  inventory->scanner->state_changed();
  EXPECT_EQ(lone->statuses.size(), 1u);
}

TEST_F(ClusterTest, OutgoingPeerIsReadyOnlyWithEngineProcesses) {
  apply(config(false));
  auto a = connect_peer(endpoint("127.0.0.1", 7001));
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_TRUE(log->has_line("Notice: PeerOut connected: 127.0.0.1:7001"));
  EXPECT_EQ(state_changes, 0);
  status(a, 0);
  EXPECT_EQ(state_changes, 1);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  // Not configured, only connected: it counts for nothing until ready.
  EXPECT_EQ(choose(), "error 119: No facilities available to process the job");
  status(a, 3);
  EXPECT_EQ(cluster->remote_forks(), 3u);
  EXPECT_EQ(choose(), "127.0.0.1:7001");

  auto b = ready_peer(endpoint("127.0.0.1", 7002), 5);
  auto waiting = connect_peer(endpoint("127.0.0.1", 7003));
  EXPECT_EQ(cluster->remote_forks(), 8u);
  // The sum saturates instead of wrapping.
  status(b, 0xFFFFFFFFu);
  EXPECT_EQ(cluster->remote_forks(), 0xFFFFFFFFu);
  // Back to waiting on a STATUS without processes; still connected.
  status(b, 0);
  EXPECT_EQ(cluster->remote_forks(), 3u);
  EXPECT_EQ(cluster->nodes().ready.size(), 1u);
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7002)));

  std::weak_ptr<fake_peer_out_t> gone = a;
  cluster->on_peer_out_disconnected(a);
  a.reset();
  EXPECT_TRUE(gone.expired());
  EXPECT_TRUE(log->has_line("Notice: PeerOut disconnected: 127.0.0.1:7001"));
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_TRUE(cluster->nodes().ready.empty());
  EXPECT_EQ(cluster->remote_forks(), 0u);
  EXPECT_EQ(state_changes, 6);
}

TEST_F(ClusterTest, DroppedTiesAreReleasedForGood) {
  apply(config(false));
  std::weak_ptr<fake_peer_out_t> ready = ready_peer(endpoint("127.0.0.1", 7001));
  std::weak_ptr<fake_peer_out_t> waiting = connect_peer(endpoint("127.0.0.1", 7002));
  cluster->drop_peer_out(endpoint("127.0.0.1", 7003));
  EXPECT_FALSE(ready.expired());
  auto old_tie = ready.lock();
  cluster->drop_peer_out(endpoint("127.0.0.1", 7001));
  cluster->drop_peer_out(endpoint("127.0.0.1", 7002));
  EXPECT_EQ(old_tie.use_count(), 1);
  EXPECT_TRUE(waiting.expired());
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
  EXPECT_FALSE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7002)));

  // The dropped tie's jobs wind down and it reports its estimates, then its end:
  // neither brings it back nor touches a newer link to the same peer.
  auto new_tie = connect_peer(endpoint("127.0.0.1", 7001));
  const int changes = state_changes;
  status(old_tie, 4, 1);
  cluster->on_peer_out_disconnected(old_tie);
  EXPECT_EQ(state_changes, changes);
  EXPECT_TRUE(cluster->nodes().ready.empty());
  EXPECT_TRUE(cluster->is_peer_out_connected(endpoint("127.0.0.1", 7001)));
}

TEST_F(ClusterTest, PeerFailuresSendJobsElsewhereAndItsHealthOutlivesItsLink) {
  apply(config(false));
  const endpoint_t a = endpoint("127.0.0.1", 7001);
  auto first = ready_peer(a);
  auto other = ready_peer(endpoint("127.0.0.1", 7002));
  const auto rating = [&] { return *cluster->nodes().find_rating(a); };
  EXPECT_EQ(choose(), "127.0.0.1:7001");
  for (int i = 0; i < 8; ++i) cluster->report_failure(a);
  EXPECT_EQ(rating().state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  // Left alone for 5 s, then tried again on probation: idle, it ties and wins.
  advance(milliseconds(4900));
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  advance(milliseconds(150));
  EXPECT_EQ(choose(), "127.0.0.1:7001");
  EXPECT_EQ(rating().state, bk_node_rating_t::probation);
  EXPECT_DOUBLE_EQ(rating().failures, 5.6);
  // Eleven successes make it healthy; its counts then fade.
  for (int i = 0; i < 11; ++i) cluster->report_success(a);
  EXPECT_EQ(rating().state, bk_node_rating_t::healthy);
  advance(seconds(60));

  // Failed and gone: outcomes of jobs still under way reach the saved health.
  for (int i = 0; i < 8; ++i) cluster->report_failure(a);
  cluster->on_peer_out_disconnected(first);
  EXPECT_EQ(rating().state, bk_node_rating_t::failed);
  cluster->report_failure(a);
  EXPECT_DOUBLE_EQ(rating().failures, 9.0);
  cluster->report_failure(endpoint("127.0.0.1", 7999));  // never ready: ignored
  // Back: still failed, so the other peer keeps the jobs.
  auto second = ready_peer(a);
  EXPECT_EQ(cluster->nodes().saved.count(a), 0u);
  EXPECT_EQ(choose(), "127.0.0.1:7002");
  // Away again for 300 s: the saved health ages to a clean record.
  cluster->on_peer_out_disconnected(second);
  advance(seconds(301));
  cluster->update_weights();
  EXPECT_EQ(rating().state, bk_node_rating_t::healthy);
  EXPECT_DOUBLE_EQ(rating().failures, 0.0);
}

TEST_F(ClusterTest, LocalFailuresMoveJobsToAPeerAndCloseTicksWait) {
  apply(config(true, 4, 2.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001));
  EXPECT_EQ(choose(), "local");
  for (int i = 0; i < 8; ++i) cluster->report_failure(std::nullopt);
  const bk_node_rating_t& local = cluster->nodes().local.rating;
  ASSERT_EQ(local.state, bk_node_rating_t::failed);
  EXPECT_EQ(choose(2), "127.0.0.1:7001");

  // Ticks closer than 10 ms do nothing; the skipped time counts towards the next.
  advance(milliseconds(5));
  cluster->update_weights();
  EXPECT_EQ(local.state_seconds, 0.0);
  advance(milliseconds(6));
  cluster->update_weights();
  EXPECT_DOUBLE_EQ(local.state_seconds, 0.011);
}

}  // namespace
}  // namespace cluster_test
