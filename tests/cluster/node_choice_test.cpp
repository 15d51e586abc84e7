// Node choice: which node gets a new or redirected job, and the three ways of
// having none.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cluster/cluster_fixture.h"

namespace cluster_test {
namespace {

const char* const kNotReady = "error 9: No peer is ready to process the job";
const char* const kNoEngine = "error 119: No facilities available to process the job";
const char* const kNoneAble = "error 125: No facilities were able to process the job";

// Peers are 127.0.0.1 with these ports; each one listed in `ready` connects and
// reports its figures in list order.
struct peer_t {
  unsigned short port;
  uint32_t forks;
  uint32_t jobs;
  uint64_t bytes;
};

struct choice_t {
  const char* what;
  bool engine;
  uint32_t se_forks;
  float preference;
  uint32_t local_jobs;
  std::vector<unsigned short> configured;
  // Attempted by the connector without a link (failed).
  std::vector<unsigned short> failed;
  // Connected, no STATUS with engine processes yet.
  std::vector<unsigned short> waiting;
  std::vector<peer_t> ready;
  std::vector<unsigned short> excluded;
  bool never_local;
  std::string expected;
};

class NodeChoiceTest : public ClusterFixture {};

TEST_F(NodeChoiceTest, PicksTheNodeOrSaysWhyThereIsNone) {
  const std::vector<choice_t> table = {
      {"no peers: every job runs here", true, 4, 1.0f, 0, {}, {}, {}, {}, {}, false, "local"},
      {"no peers, engine without processes", true, 0, 1.0f, 0, {}, {}, {}, {}, {}, false, "local"},
      {"no peers, no preference", true, 4, 0.0f, 0, {}, {}, {}, {}, {}, false, "local"},
      {"no engine, no peers", false, 4, 1.0f, 0, {}, {}, {}, {}, {}, false, kNoEngine},
      {"no engine, peer not attempted yet",
       false,
       4,
       1.0f,
       0,
       {7001},
       {},
       {},
       {},
       {},
       false,
       kNotReady},
      {"no engine, peer attempted and failed",
       false,
       4,
       1.0f,
       0,
       {7001},
       {7001},
       {},
       {},
       {},
       false,
       kNoneAble},
      {"no engine, peer connected but not ready",
       false,
       4,
       1.0f,
       0,
       {7001},
       {},
       {7001},
       {},
       {},
       false,
       kNoneAble},
      {"no engine, one of two peers attempted",
       false,
       4,
       1.0f,
       0,
       {7001, 7002},
       {7001},
       {},
       {},
       {},
       false,
       kNotReady},
      {"no engine, the untried peer is excluded",
       false,
       4,
       1.0f,
       0,
       {7001, 7002},
       {7001},
       {},
       {},
       {7002},
       false,
       kNoneAble},
      {"ran here already, peer not attempted",
       true,
       4,
       1.0f,
       0,
       {7001},
       {},
       {},
       {},
       {},
       true,
       kNotReady},
      {"ran here already, peer attempted",
       true,
       4,
       1.0f,
       0,
       {7001},
       {7001},
       {},
       {},
       {},
       true,
       kNoneAble},
      {"ran here already, no peers", true, 4, 1.0f, 0, {}, {}, {}, {}, {}, true, kNoneAble},
      {"no engine and ran here, peers configured",
       false,
       4,
       1.0f,
       0,
       {7001},
       {7001},
       {},
       {},
       {},
       true,
       kNoneAble},
      {"equal peers: the first ready wins",
       false,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7002, 4, 1, 10}, {7001, 4, 1, 10}},
       {},
       false,
       "127.0.0.1:7002"},
      {"equal to the best peer: the peer wins",
       true,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 0, 0}},
       {},
       false,
       "127.0.0.1:7001"},
      {"greater local preference wins",
       true,
       4,
       2.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 0, 0}},
       {},
       false,
       "local"},
      {"local without processes never beats a peer",
       true,
       0,
       2.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 8, 5000}},
       {},
       false,
       "127.0.0.1:7001"},
      {"no preference: any peer wins",
       true,
       4,
       0.0f,
       0,
       {},
       {},
       {},
       {{7001, 1, 50, 99999}},
       {},
       false,
       "127.0.0.1:7001"},
      {"busy local loses",
       true,
       4,
       1.0f,
       4,
       {},
       {},
       {},
       {{7001, 4, 0, 0}},
       {},
       false,
       "127.0.0.1:7001"},
      {"busy peer loses", true, 4, 1.0f, 0, {}, {}, {}, {{7001, 4, 4, 0}}, {}, false, "local"},
      {"ran here already: the peer even when worse",
       true,
       4,
       2.0f,
       0,
       {},
       {},
       {},
       {{7001, 1, 9, 9000}},
       {},
       true,
       "127.0.0.1:7001"},
      {"bigger engine wins",
       false,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7001, 2, 0, 0}, {7002, 6, 0, 0}},
       {},
       false,
       "127.0.0.1:7002"},
      {"queued bytes weigh twice as much as jobs",
       false,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 0, 100}, {7002, 4, 1, 0}},
       {},
       false,
       "127.0.0.1:7002"},
      {"excluded best peer: the next one",
       false,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 0, 0}, {7002, 4, 3, 0}},
       {7001},
       false,
       "127.0.0.1:7002"},
      {"only peer excluded: here",
       true,
       4,
       1.0f,
       0,
       {},
       {},
       {},
       {{7001, 4, 0, 0}},
       {7001},
       false,
       "local"},
      {"only peer excluded, no engine",
       false,
       4,
       1.0f,
       0,
       {7001},
       {},
       {},
       {{7001, 4, 0, 0}},
       {7001},
       false,
       kNoneAble},
  };
  for (const choice_t& c : table) {
    SCOPED_TRACE(c.what);
    rebuild();
    vl::BrelConfig settings = config(c.engine, c.se_forks, c.preference);
    for (unsigned short port : c.configured) add_server(settings, "127.0.0.1", port);
    apply(settings);
    for (unsigned short port : c.failed) cluster->mark_peer_tried(endpoint("127.0.0.1", port));
    std::vector<std::shared_ptr<fake_peer_out_t>> ties;
    for (unsigned short port : c.waiting) ties.push_back(connect_peer(endpoint("127.0.0.1", port)));
    for (const peer_t& p : c.ready) {
      ties.push_back(ready_peer(endpoint("127.0.0.1", p.port), p.forks, p.jobs, p.bytes));
    }
    for (uint32_t i = 0; i < c.local_jobs; ++i) {
      jobs.push_back(inventory->scanner->create_job<placed_job_t>(100 + i));
    }
    std::set<endpoint_t> excluded;
    for (unsigned short port : c.excluded) excluded.insert(endpoint("127.0.0.1", port));

    EXPECT_EQ(choose(7, excluded, c.never_local), c.expected);
  }
}

TEST_F(NodeChoiceTest, PlacesARealLocalJobThroughTheEngineFront) {
  cluster->set_local_job_factory(nullptr);
  apply(config());
  std::shared_ptr<bk_job_t> job = cluster->choose_node(5, {}, false);
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->job_id, 5u);
  EXPECT_EQ(job->name().rfind("Local job 0x", 0), 0u);
  EXPECT_EQ(inventory->scanner->job_count(), 1u);
  job->reset();
  job.reset();
  EXPECT_EQ(inventory->scanner->job_count(), 0u);
}

TEST_F(NodeChoiceTest, ChosenJobsCarryTheMasterJobsId) {
  apply(config());
  auto peer = ready_peer(endpoint("127.0.0.1", 7001));
  EXPECT_EQ(choose(41, {}, false), "127.0.0.1:7001");
  EXPECT_EQ(jobs.back()->job_id, 41u);
  EXPECT_EQ(choose(42, {endpoint("127.0.0.1", 7001)}, false), "local");
  EXPECT_EQ(jobs.back()->job_id, 42u);
}

TEST_F(NodeChoiceTest, LocalJobsCountTowardsTheLoadOfThisHost) {
  apply(config(true, 4, 1.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001), 4, 2, 0);
  // The idle host beats the peer with two jobs until it holds two of its own
  // (a tie goes to the peer).
  EXPECT_EQ(choose(1), "local");
  EXPECT_EQ(choose(2), "local");
  EXPECT_EQ(choose(3), "127.0.0.1:7001");
  // A finished local job makes room again.
  jobs.erase(jobs.begin());
  EXPECT_EQ(choose(4), "local");
}

TEST_F(NodeChoiceTest, FailedChoiceChangesNothing) {
  vl::BrelConfig settings = config(false);
  add_server(settings, "127.0.0.1", 7001);
  apply(settings);
  const int changes = state_changes;
  EXPECT_EQ(choose(), kNotReady);
  EXPECT_EQ(choose(), kNotReady);
  EXPECT_EQ(state_changes, changes);
  EXPECT_EQ(cluster->configured_servers().size(), 1u);
}

TEST_F(NodeChoiceTest, WeightLogShowsEveryNode) {
  apply(config(true, 4, 1.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001), 4, 0, 0);
  const auto micros =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 1000;
  choose();
  // Equal shares of capacity (0.5), nothing queued, healthy.
  EXPECT_TRUE(log->has("Debug: Weight local: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
  EXPECT_TRUE(
      log->has("Debug: Weight 127.0.0.1:7001: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
}

}  // namespace
}  // namespace cluster_test
