// Node choice: which node gets a new or redirected job, and the three ways of
// having none.
#include <array>
#include <cstdio>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cluster/cluster_fixture.h"

namespace cluster_test {
namespace {

const char* const kNotReady = "error 9: No peer is ready to process the job";
const char* const kNoEngine = "error 119: No facilities available to process the job";
const char* const kNoneAble = "error 125: No facilities were able to process the job";

class NodeChoiceTest : public ClusterFixture {
 protected:
  // Builds a fresh cluster as `setup` says and places job 7 on it. Words (peers
  // are 127.0.0.1 with the port given): -E no engine, F<n> engine processes
  // (default 4), P<x> local preference (default 1), L<n> local jobs running,
  // C<port> configured, T<port> attempted without a link, W<port> connected, not
  // ready, R<port>:<forks>:<jobs>:<bytes> ready (in word order), X<port> excluded,
  // N the job already ran here.
  std::string place(const std::string& setup) {
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
      const auto peer = [&] { return endpoint("127.0.0.1", std::stoi(w.substr(1))); };
      unsigned port = 0, forks = 0, load = 0;
      unsigned long long bytes = 0;
      if (w[0] == 'T') cluster->mark_peer_tried(peer());
      if (w[0] == 'W') ties.push_back(connect_peer(peer()));
      if (w[0] == 'X') excluded.insert(peer());
      if (w[0] == 'N') never_local = true;
      if (w[0] == 'L') {
        for (int i = std::stoi(w.substr(1)); i > 0; --i)
          jobs.push_back(inventory->scanner->create_job<placed_job_t>(100 + i));
      }
      if (std::sscanf(w.c_str(), "R%u:%u:%u:%llu", &port, &forks, &load, &bytes) == 4) {
        ties.push_back(ready_peer(endpoint("127.0.0.1", port), forks, load, bytes));
      }
    }
    const std::string result = choose(7, excluded, never_local);
    // A failed choice changes nothing: asked again, the answer is the same.
    if (result.rfind("error", 0) == 0) {
      EXPECT_EQ(choose(7, excluded, never_local), result);
    }
    return result;
  }
};

TEST_F(NodeChoiceTest, PicksTheNodeOrSaysWhyThereIsNone) {
  const std::vector<std::array<const char*, 3>> table = {
      {"no peers: every job runs here", "", "local"},
      {"no peers, engine without processes", "F0", "local"},
      {"no peers, no preference", "P0", "local"},
      {"no engine, no peers", "-E", kNoEngine},
      {"no engine, peer not attempted yet", "-E C7001", kNotReady},
      {"no engine, peer attempted and failed", "-E C7001 T7001", kNoneAble},
      {"no engine, peer connected but not ready", "-E C7001 W7001", kNoneAble},
      {"no engine, one of two peers attempted", "-E C7001 C7002 T7001", kNotReady},
      {"no engine, the untried peer is excluded", "-E C7001 C7002 T7001 X7002", kNoneAble},
      {"ran here already, peer not attempted", "C7001 N", kNotReady},
      {"ran here already, peer attempted", "C7001 T7001 N", kNoneAble},
      {"ran here already, no peers", "N", kNoneAble},
      {"no engine and ran here, peers configured", "-E C7001 T7001 N", kNoneAble},
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
      {"only peer excluded, no engine", "-E C7001 R7001:4:0:0 X7001", kNoneAble},
  };
  for (const auto& [what, setup, expected] : table) {
    EXPECT_EQ(place(setup), expected) << what << " (" << setup << ")";
  }
}

TEST_F(NodeChoiceTest, LocalJobsCountTowardsTheLoadOfThisHost) {
  apply(config(true, 4, 1.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001), 4, 2, 0);
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

TEST_F(NodeChoiceTest, WeightLogShowsEveryNode) {
  apply(config(true, 4, 1.0f));
  auto peer = ready_peer(endpoint("127.0.0.1", 7001), 4, 0, 0);
  const auto micros =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 1000;
  choose();
  // Equal shares of capacity (0.5), nothing queued, healthy.
  EXPECT_TRUE(log->has_line("Debug: Weight local: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
  EXPECT_TRUE(
      log->has_line("Debug: Weight 127.0.0.1:7001: " + std::to_string(micros) + " 0.5 0 0 0 0 0"));
}

}  // namespace
}  // namespace cluster_test
