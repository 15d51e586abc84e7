// process_probe_t: CPU time and peak resident memory of another process of the
// same user, read from /proc, so a run can report what the server under load spent.
//
// A plain value bound to one process id; reads /proc on the calling thread. When
// the process is gone or /proc cannot be read, the figures are negative.
#pragma once

#include <cstdint>
#include <string>

// The open descriptors of a process, by what they refer to.
struct descriptor_count_t {
  int total = -1;
  // Files under the directory given to count_descriptors.
  int in_directory = 0;
  int sockets = 0;
  // Pipes, event and timer descriptors, epoll sets, other files.
  int other = 0;
};

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
  // The resident set now (VmRSS), in KiB.
  std::int64_t rss_kib() const;
  // Its anonymous part (RssAnon: heap and stacks, not the program's and libraries'
  // pages), in KiB.
  std::int64_t anon_rss_kib() const;
  // Its open descriptors (the entries of /proc/<pid>/fd still there when read);
  // those naming a file under `directory` (when not empty) are counted apart. total
  // is -1 when /proc cannot tell.
  descriptor_count_t count_descriptors(const std::string& directory) const;
  // The soft and hard limits of open descriptors, as /proc/<pid>/limits shows them;
  // empty when it cannot tell.
  std::string open_files_limit() const;
  // Lowers the high-water mark to the present resident set, so the next
  // peak_rss_kib covers only what follows. False when the kernel refuses.
  bool reset_peak() const;

 private:
  int pid_;
};
