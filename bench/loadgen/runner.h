// One benchmark run against one target, and the small figure helpers both report
// forms (a target beside its baseline, several cluster setups) share.
//
// Plain functions of the calling thread; run_once starts and joins its own event
// loop threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/loadgen/workload.h"

// A server to drive: its client sockets. With several sockets the connections are
// dealt over them in turn (connection i to socket i modulo their count).
struct target_t {
  std::string name;
  std::vector<std::string> sockets;
};

// What a run cost one server process; negative when /proc could not tell.
struct process_figures_t {
  // User and system time.
  double cpu_seconds = -1;
  double system_seconds = -1;
  double peak_rss_mib = -1;
  // Of all the process's threads, during the run.
  double context_switches = -1;
};

// What one run of one workload against one target measured.
struct run_figures_t {
  double seconds = 0;
  std::uint64_t files = 0;
  double files_per_second = 0;
  double megabytes_per_second = 0;
  double latency_median_us = 0;
  double latency_p99_us = 0;
  double latency_max_us = 0;
  // Every process measured, in the order asked for (at least one after a run: the
  // server, unless others were named).
  std::vector<process_figures_t> processes;
  // The generator's own CPU time, to show it is not what limits the run.
  double generator_cpu_seconds = 0;
};

// Runs `workload` once against `target` and measures the processes `pids` (none:
// the server at the other end of the first connection). A run whose files are not
// all answered within `stuck_after` of its end is stopped and reported as stuck.
// Throws std::runtime_error on a fault (a wrong answer, an ALARM, a lost
// connection, a stuck file, no file at all).
run_figures_t run_once(const target_t& target, const workload_t& workload,
                       const std::vector<int>& pids = {},
                       std::chrono::seconds stuck_after = std::chrono::seconds(30));

double percentile(std::vector<double> values, double fraction);
double median(std::vector<double> values);

// The medians of every figure over the runs (process figures one by one).
run_figures_t median_figures(const std::vector<run_figures_t>& runs);

// printf of one value into a string.
std::string format(const char* pattern, double value);
// "850 µs" or "2.17 ms".
std::string latency_text(double us);
