// The cluster form of the report: several setups (targets) of one or more daemons
// driven in turn with the same workload, each row showing the setup's throughput
// and latency, what every daemon of the setup spent, and how many of the jobs each
// of them ran.
//
// Plain functions of the calling thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "bench/loadgen/runner.h"
#include "bench/loadgen/scenarios.h"

// A daemon measured during the runs of one target.
struct cluster_node_t {
  std::string target;
  // Its column in the table ("A", "B").
  std::string label;
  int pid = -1;
  // The output of the stand-in configuration daemon it runs under, for its job
  // counts; empty: not counted.
  std::string stats_path;
};

struct cluster_settings_t {
  std::vector<target_t> targets;
  std::vector<cluster_node_t> nodes;
  unsigned runs = 5;
  // Length of the uncounted first run of each workload and target (0: none).
  double warmup = 0.2;
  // Pause after each run, so that the daemons' per-second statistics of one run
  // hold nothing of the next.
  double settle = 1.2;
  // Every run's figures as tab-separated lines, or null.
  std::ostream* raw = nullptr;
};

// Drives every target with every scenario, the runs of the targets alternating,
// and prints one table per scenario to standard output. Returns the exit status:
// 0, or 1 when a run failed.
int run_cluster(const std::vector<scenario_t>& scenarios, const cluster_settings_t& settings);
