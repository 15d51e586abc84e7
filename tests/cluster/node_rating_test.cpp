#include "cluster/node_rating.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

using S = bk_node_rating_t;

S rating(S::state_t state, double failures, double successes, double seconds, uint32_t jobs = 0) {
  S r;
  r.state = state;
  r.failures = failures;
  r.successes = successes;
  r.state_seconds = seconds;
  r.job_count = jobs;
  return r;
}

struct transition_t {
  const char* what;
  S before;
  char event;  // 'f' failure, 's' success, 't' tick by dt
  double dt;
  S::state_t state;
  double failures;
  double successes;
  double seconds;
};

TEST(NodeRating, EveryTransitionOfTheHealthModel) {
  const std::vector<transition_t> table = {
      {"healthy fails to ratio 1", rating(S::healthy, 7, 0, 2), 'f', 0, S::failed, 8, 0, 0},
      {"healthy failure below 1", rating(S::healthy, 6, 0, 2), 'f', 0, S::healthy, 7, 0, 2},
      {"healthy success", rating(S::healthy, 3, 1, 2), 's', 0, S::healthy, 3, 2, 2},
      {"healthy decays", rating(S::healthy, 4, 2, 7), 't', 1, S::healthy, 2, 1, 7},
      {"healthy decays to zero", rating(S::healthy, 1, 1, 0), 't', 17, S::healthy, 0, 0, 0},
      {"probation fails again", rating(S::probation, 7.6, 0, 9), 'f', 0, S::failed, 8.6, 0, 0},
      {"probation failure restarts time", rating(S::probation, 5.6, 0, 9), 'f', 0, S::probation,
       6.6, 0, 0},
      {"probation recovers", rating(S::probation, 5.6, 10, 9), 's', 0, S::healthy, 5.6, 11, 0},
      {"probation success restarts time", rating(S::probation, 5.6, 0, 9), 's', 0, S::probation,
       5.6, 1, 0},
      {"probation keeps counts on tick", rating(S::probation, 5.6, 2, 9), 't', 1, S::probation, 5.6,
       2, 10},
      {"probation forgotten", rating(S::probation, 5.6, 2, 299.5), 't', 0.5, S::healthy, 0, 0, 0},
      {"failed failure restarts pause", rating(S::failed, 9, 0, 4), 'f', 0, S::failed, 10, 0, 0},
      {"failed success stays failed", rating(S::failed, 8, 0, 4), 's', 0, S::failed, 8, 1, 4},
      {"failed recovers by success", rating(S::failed, 2, 0, 4), 's', 0, S::healthy, 2, 1, 4},
      {"failed waits", rating(S::failed, 8, 0, 0), 't', 4.9, S::failed, 8, 0, 4.9},
      {"failed to probation", rating(S::failed, 8, 3, 4.9), 't', 0.1, S::probation, 5.6, 0, 5.0},
      {"failed forgotten", rating(S::failed, 8, 3, 299), 't', 1, S::healthy, 0, 0, 0},
  };
  for (const transition_t& t : table) {
    SCOPED_TRACE(t.what);
    S r = t.before;
    r.job_count = 4;
    r.bytes_in_queue = 77;
    if (t.event == 'f') r.on_failure();
    if (t.event == 's') r.on_success();
    if (t.event == 't') r.tick(t.dt);
    EXPECT_EQ(t.state, r.state);
    EXPECT_DOUBLE_EQ(t.failures, r.failures);
    EXPECT_DOUBLE_EQ(t.successes, r.successes);
    EXPECT_NEAR(t.seconds, r.state_seconds, 1e-9);
    // The load part is never touched by the health model.
    EXPECT_EQ(4u, r.job_count);
    EXPECT_EQ(77u, r.bytes_in_queue);
  }
}

TEST(NodeRating, PenaltyFollowsTheStateAndProbationLoad) {
  const std::vector<std::pair<S, double>> table = {
      {S(), 0.0},
      {rating(S::healthy, 7, 0, 0), 7.0 / 8.0},
      {rating(S::failed, 8, 0, 0), 3.0},
      {rating(S::probation, 5.6, 0, 0), 0.0},
      {rating(S::probation, 5.6, 0, 0, 4), 1.0},
      {rating(S::probation, 5.6, 0, 0, 12), 2.0},
  };
  for (const auto& [r, penalty] : table) EXPECT_DOUBLE_EQ(penalty, r.penalty()) << r.debug_text();
  EXPECT_DOUBLE_EQ(0.7, rating(S::probation, 5.6, 0, 0).failure_ratio());
}

TEST(NodeRating, WeightFormula) {
  // The weight of a node with these figures among the totals (capacity, bytes, jobs).
  const auto weight = [](uint32_t forks, double factor, uint64_t bytes, uint32_t jobs,
                         double failures, double capacity, double all_bytes, double all_jobs) {
    S r = rating(failures >= 8 ? S::failed : S::healthy, failures, 0, 0, jobs);
    r.max_forks = forks;
    r.factor = factor;
    r.bytes_in_queue = bytes;
    return r.weight(capacity, all_bytes, all_jobs);
  };
  const double lowest = -1.7976931348623157e308;
  EXPECT_DOUBLE_EQ(weight(4, 1.0, 0, 0, 0, 4, 0, 0), 1.0) << "idle sole node";
  EXPECT_DOUBLE_EQ(weight(4, 1.0, 300, 2, 0, 8, 1200, 8), 0.5 - 0.25 - 0.125) << "shares";
  EXPECT_DOUBLE_EQ(weight(4, 1.0, 0, 0, 2, 8, 0, 0), 0.5 - 0.25) << "health penalty";
  EXPECT_DOUBLE_EQ(weight(4, 0.5, 0, 0, 0, 4, 0, 0), 0.5) << "local preference";
  EXPECT_DOUBLE_EQ(weight(2, 1.0, 0, 0, 0, 4, 0, 0), 0.5) << "zero totals give zero shares";
  EXPECT_DOUBLE_EQ(weight(0, 1.0, 0, 0, 8, 4, 100, 3), lowest) << "no engine processes, failed";
  EXPECT_DOUBLE_EQ(weight(4, 0.0, 0, 0, 0, 4, 0, 0), lowest) << "preference zero";
}

TEST(NodeRating, DebugText) {
  S r = rating(S::healthy, 1.5, 6, 0, 3);
  r.bytes_in_queue = 1024;
  EXPECT_EQ("1024 3 1.5 6 0.107143", r.debug_text());
}

}  // namespace
