#include "cluster/node_rating.h"

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using state_t = bk_node_rating_t::state_t;

bk_node_rating_t rating(state_t state, double failures, double successes, double seconds) {
  bk_node_rating_t r;
  r.state = state;
  r.failures = failures;
  r.successes = successes;
  r.state_seconds = seconds;
  return r;
}

struct transition_t {
  const char* what;
  bk_node_rating_t before;
  char event;  // 'f' failure, 's' success, 't' tick by dt
  double dt;
  state_t state;
  double failures;
  double successes;
  double seconds;
};

TEST(NodeRating, EveryTransitionOfTheHealthModel) {
  using S = bk_node_rating_t;
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
    bk_node_rating_t r = t.before;
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

TEST(NodeRating, NewRecordIsHealthyWithoutPenalty) {
  bk_node_rating_t r;
  EXPECT_EQ(bk_node_rating_t::healthy, r.state);
  EXPECT_EQ(0.0, r.failure_ratio());
  EXPECT_EQ(0.0, r.penalty());
  EXPECT_EQ(1.0, r.factor);
}

TEST(NodeRating, EighthFailureInARowFailsTheNode) {
  bk_node_rating_t r;
  for (int i = 0; i < 7; ++i) r.on_failure();
  EXPECT_EQ(bk_node_rating_t::healthy, r.state);
  EXPECT_DOUBLE_EQ(7.0 / 8.0, r.penalty());
  r.on_failure();
  EXPECT_EQ(bk_node_rating_t::failed, r.state);
  EXPECT_EQ(3.0, r.penalty());
}

TEST(NodeRating, FailedNodeGoesOnProbationThenIsForgotten) {
  bk_node_rating_t r;
  for (int i = 0; i < 8; ++i) r.on_failure();
  r.tick(2.5);
  r.tick(2.4);
  EXPECT_EQ(bk_node_rating_t::failed, r.state);
  r.tick(0.1);
  ASSERT_EQ(bk_node_rating_t::probation, r.state);
  EXPECT_DOUBLE_EQ(0.7, r.failure_ratio());
  EXPECT_EQ(0.0, r.penalty());
  r.job_count = 4;
  EXPECT_EQ(1.0, r.penalty());
  r.job_count = 12;
  EXPECT_EQ(2.0, r.penalty());
  r.tick(294.9);
  EXPECT_EQ(bk_node_rating_t::probation, r.state);
  r.tick(0.2);
  EXPECT_EQ(bk_node_rating_t::healthy, r.state);
  EXPECT_EQ(0.0, r.failures);
  EXPECT_EQ(0.0, r.state_seconds);
}

TEST(NodeRating, ProbationNeedsElevenSuccessesOrThreeFailures) {
  bk_node_rating_t base = rating(bk_node_rating_t::probation, 5.6, 0, 5);
  bk_node_rating_t r = base;
  for (int i = 0; i < 10; ++i) r.on_success();
  EXPECT_EQ(bk_node_rating_t::probation, r.state);
  r.on_success();
  EXPECT_EQ(bk_node_rating_t::healthy, r.state);

  r = base;
  r.on_failure();
  r.on_failure();
  EXPECT_EQ(bk_node_rating_t::probation, r.state);
  r.on_failure();
  EXPECT_EQ(bk_node_rating_t::failed, r.state);
}

struct weight_case_t {
  const char* what;
  uint32_t max_forks;
  double factor;
  uint64_t bytes;
  uint32_t jobs;
  double failures;
  double totals[3];
  double weight;
};

TEST(NodeRating, WeightFormula) {
  const double lowest = std::numeric_limits<double>::lowest();
  const std::vector<weight_case_t> table = {
      {"idle sole node", 4, 1.0, 0, 0, 0, {4, 0, 0}, 1.0},
      {"shares", 4, 1.0, 300, 2, 0, {8, 1200, 8}, 0.5 - 0.25 - 0.125},
      {"health penalty", 4, 1.0, 0, 0, 2, {8, 0, 0}, 0.5 - 0.25},
      {"local preference", 4, 0.5, 0, 0, 0, {4, 0, 0}, 0.5},
      {"zero totals give zero shares", 2, 1.0, 0, 0, 0, {4, 0, 0}, 0.5},
      {"no engine processes", 0, 1.0, 0, 0, 0, {4, 0, 0}, lowest},
      {"preference zero", 4, 0.0, 0, 0, 0, {4, 0, 0}, lowest},
  };
  for (const weight_case_t& c : table) {
    SCOPED_TRACE(c.what);
    bk_node_rating_t r;
    r.max_forks = c.max_forks;
    r.factor = c.factor;
    r.bytes_in_queue = c.bytes;
    r.job_count = c.jobs;
    r.failures = c.failures;
    EXPECT_DOUBLE_EQ(c.weight, r.weight(c.totals[0], c.totals[1], c.totals[2]));
  }
}

TEST(NodeRating, WeightWithoutCapacityIgnoresHealth) {
  bk_node_rating_t r;
  r.state = bk_node_rating_t::failed;
  EXPECT_EQ(-1.7976931348623157e308, r.weight(4, 100, 3));
}

TEST(NodeRating, DebugText) {
  bk_node_rating_t r;
  r.bytes_in_queue = 1024;
  r.job_count = 3;
  r.failures = 1.5;
  r.successes = 6;
  EXPECT_EQ("1024 3 1.5 6 0.107143", r.debug_text());
}

}  // namespace
