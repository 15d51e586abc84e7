// The benchmark's workloads: 4 KiB files at 1, 8 and 32 connections and 64 MiB
// files (plain, read back, with SHA-1, with SHA-256) at 1 and 4 connections.
//
// Plain values built once per invocation; read only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/loadgen/workload.h"

struct scenario_t {
  workload_t workload;
  bool small = false;
  std::string mode;
};

// The workloads named by `only` (empty or "all": every one; otherwise a
// comma-separated list of name prefixes such as "small", "large-sha1" or
// "small-32,large-plain"), each run lasting `seconds`, files sent as `chunk`-byte
// DATA_CHUNK messages.
std::vector<scenario_t> make_scenarios(const std::string& only, std::uint32_t chunk,
                                       double seconds);
