// process_probe_t: CPU time and peak resident memory of another process of the
// same user, read from /proc, so a run can report what the server under load spent.
//
// A plain value bound to one process id; reads /proc on the calling thread. When
// the process is gone or /proc cannot be read, the figures are negative.
#pragma once

#include <cstdint>

class process_probe_t {
 public:
  explicit process_probe_t(int pid) : pid_(pid) {}

  // User plus system time of all the process's threads so far, in seconds.
  double cpu_seconds() const;
  // The system part of it.
  double system_seconds() const;
  // The high-water mark of its resident set (VmHWM), in KiB.
  std::int64_t peak_rss_kib() const;
  // Voluntary and forced context switches of all its threads so far.
  std::int64_t context_switches() const;
  // Lowers the high-water mark to the present resident set, so the next
  // peak_rss_kib covers only what follows. False when the kernel refuses.
  bool reset_peak() const;

 private:
  int pid_;
};
