#include "cluster/node_rating.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace {

// Below this a decayed count or a ratio is noise; it is kept at exactly zero so that
// an idle node's record becomes clean again.
constexpr double kNegligible = 1e-5;
// The count of failures that fails a node without any success.
constexpr double kFailureBase = 8.0;
constexpr double kHealthyRatio = 0.3;
constexpr double kFailedRatio = 1.0;
// A failed node is left alone this long, then tried on probation.
constexpr double kFailedPause = 5.0;
// Failures a node on probation starts with: a ratio of 0.7, three failures short of
// failing again.
constexpr double kProbationFailures = 5.6;
// Probation or failure without any outcome for this long forgets the node's history.
constexpr double kForgetAfter = 300.0;

double negligible_to_zero(double value) {
  return std::fabs(value) < kNegligible ? 0.0 : value;
}

}  // namespace

double bk_node_rating_t::failure_ratio() const {
  return negligible_to_zero(failures / (kFailureBase + successes));
}

void bk_node_rating_t::on_success() {
  successes += 1.0;
  if (state == probation) state_seconds = 0.0;
  if (failure_ratio() <= kHealthyRatio) state = healthy;
}

void bk_node_rating_t::on_failure() {
  failures += 1.0;
  if (state == probation) state_seconds = 0.0;
  if (failure_ratio() >= kFailedRatio) {
    // Every further failure restarts the pause of a node already failed.
    state = failed;
    state_seconds = 0.0;
  }
}

void bk_node_rating_t::tick(double elapsed_seconds) {
  switch (state) {
    case healthy: {
      const double decay = std::exp2(-elapsed_seconds);
      failures = negligible_to_zero(failures * decay);
      successes = negligible_to_zero(successes * decay);
      return;
    }
    case probation:
      state_seconds += elapsed_seconds;
      if (state_seconds >= kForgetAfter) reset();
      return;
    case failed:
      state_seconds += elapsed_seconds;
      if (state_seconds >= kForgetAfter) {
        reset();
      } else if (state_seconds >= kFailedPause) {
        // The probation time keeps running from the failed time.
        state = probation;
        failures = kProbationFailures;
        successes = 0.0;
      }
      return;
  }
}

void bk_node_rating_t::reset() {
  state = healthy;
  failures = 0.0;
  successes = 0.0;
  state_seconds = 0.0;
}

double bk_node_rating_t::penalty() const {
  switch (state) {
    case healthy:
      return failure_ratio();
    case probation:
      // A node on probation gets few jobs at a time until it proves itself.
      return 2.0 * std::min(job_count * 0.125, 1.0);
    case failed:
      return 3.0;
  }
  return 3.0;
}

double bk_node_rating_t::weight(double total_capacity, double total_bytes,
                                double total_jobs) const {
  const double capacity = max_forks * factor;
  if (capacity == 0.0) return std::numeric_limits<double>::lowest();
  const double capacity_share = capacity / total_capacity;
  const double bytes_share = total_bytes == 0.0 ? 0.0 : bytes_in_queue / total_bytes;
  const double jobs_share = total_jobs == 0.0 ? 0.0 : job_count / total_jobs;
  return capacity_share - bytes_share - 0.5 * jobs_share - penalty();
}

std::string bk_node_rating_t::debug_text() const {
  std::ostringstream text;
  text << bytes_in_queue << ' ' << job_count << ' ' << failures << ' ' << successes << ' '
       << penalty();
  return text.str();
}
