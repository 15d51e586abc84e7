// The health and load record of one node the cluster can place jobs on (this host's
// engine or a ready peer): decaying counts of job outcomes drive a three-state
// health model, and health plus the node's last reported load give the node's
// weight, the figure node choice picks the best node by.
//
// A plain copyable value without I/O or clocks: the cluster owns one per node, keeps
// a departed peer's record under its endpoint, feeds it elapsed time through tick
// and writes the load part before each weight computation. Event-loop thread only.
#pragma once

#include <cstdint>
#include <string>

class bk_node_rating_t {
 public:
  enum state_t : uint32_t { healthy = 0, probation = 1, failed = 2 };

  // failures / (8 + successes), with values below 1e-5 in magnitude taken as 0.
  double failure_ratio() const;

  // One job outcome on the node.
  void on_success();
  void on_failure();

  // Ages the record by `elapsed_seconds`: counts decay with a one-second half-life
  // while healthy; a failed node goes on probation after 5 s; probation or failure
  // that lasts 300 s without an outcome resets the record.
  void tick(double elapsed_seconds);

  // Back to a clean healthy record; the load part is kept.
  void reset();

  // What the node's health takes off its weight: the failure ratio when healthy,
  // 0 to 2 by job count on probation, 3 when failed.
  double penalty() const;

  // capacity share - queued-bytes share - half the jobs share - penalty, where each
  // share is this node's figure over the total of all candidate nodes (a zero total
  // gives a zero share). A node without capacity gets the lowest finite double.
  double weight(double total_capacity, double total_bytes, double total_jobs) const;

  // "bytes_in_queue job_count failures successes penalty", for the weight log.
  std::string debug_text() const;

  // Health part.
  state_t state = healthy;
  double failures = 0.0;
  double successes = 0.0;
  // Time spent on probation or failed since the last change that restarts it.
  double state_seconds = 0.0;

  // Load part, written by the cluster.
  uint64_t bytes_in_queue = 0;
  // Engine process count: the node's capacity.
  uint32_t max_forks = 0;
  uint32_t job_count = 0;
  // 1.0 for peers; the configured local scan preference for this host.
  double factor = 1.0;
};
