// The soak run: a long mixed load on one daemon (mostly 4 KiB files, some of 1 to
// 64 MiB, some read back, some with digests; some connections without flow
// control, and connections that close and open again), with the daemon's resident
// memory and open descriptors sampled at a fixed interval and the files of each
// interval counted. It prints the series as a table and says whether memory and
// descriptors stayed flat after the settling time; it checks every answer, that no
// job is left unanswered, that the daemon's descriptors come back to their count
// before the run, and (when given) that its spool directory is empty at the end
// and its statistics count the files the generator counted.
//
// A plain function of the calling thread, which samples; the connections run on
// up to four event-loop threads of their own.
#pragma once

#include <cstdint>
#include <string>

struct soak_settings_t {
  std::string socket_path;
  // Length of the run (no file starts after it) and the sampling interval, s.
  double seconds = 600;
  double sample = 10;
  // Samples before this many seconds are left out of the flatness check.
  double settle = 60;
  // Largest rise (and, for descriptors other than spool files, spread) still called
  // flat, percent of the median.
  double tolerance = 5;
  unsigned connections = 32;
  // Connections without flow control, and the files each keeps open at once.
  unsigned flowless = 8;
  unsigned depth = 4;
  double large_share = 0.005;
  std::uint64_t reconnect_after = 2000;
  std::uint32_t chunk = 65536;
  std::uint64_t seed = 1;
  // The daemon's pid; 0: asked of the socket (SO_PEERCRED).
  int pid = 0;
  // The daemon's spool directory (descriptors into it counted apart, and it must be
  // empty at the end); empty: not checked.
  std::string spool_dir;
  // The output of the stand-in configuration daemon the daemon runs under, for its
  // own count of the files; empty: not checked.
  std::string stats_path;
  // The page bench-heapstat, preloaded into the daemon, publishes its heap figures
  // in; empty: the heap is not read.
  std::string heapstat_path;
  // Every sample as a tab-separated line; empty: none.
  std::string raw_path;
  // A run whose files are not all answered this long after its end fails as stuck.
  double stuck_after = 60;
};

// Flatness is judged on the samples from `settle` to the last one before the end of
// the load (at the end, the connections are closing): memory
// grows when the least-squares line through the lowest heap in use of each window
// (without the heap figures: the lowest resident set) rises by more than
// `tolerance` percent of its median and by more than 1 MiB, or the heap in use with
// the daemon idle after
// the run exceeds that before it by more than that; descriptors grow when those
// other than spool files spread by more than that (and a spool descriptor that
// outlives its job is left after the run, a fault). The spread of single samples is
// reported beside it: the data and jobs in flight move it.
//
// Returns the exit status: 0; 1 on a fault (a wrong answer, an ALARM, a lost
// connection, a file left unanswered, spool files or descriptors left behind, a
// file count the daemon's statistics do not share); 3 when memory or descriptors
// grew.
int run_soak(const soak_settings_t& settings);
