// Runs out of descriptors until a failure is logged: the soft RLIMIT_NOFILE goes
// down to the lowest free descriptor, so the next descriptor the process asks for
// (an accept, say) fails with EMFILE, and back up from inside the log call that
// records the failure, before the failing code, or a sanitizer's own checks, needs
// a descriptor for anything else. Test thread.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/recording_log.h"

// Lowers the limit, calls `run` with a condition that holds once `log` has a line
// holding `failure`, and returns what `run` returned; the limit is back up by then.
inline bool run_short_of_descriptors(recording_log_t& log, const std::string& failure,
                                     const std::function<bool(std::function<bool()>)>& run) {
  rlimit saved{};
  if (::getrlimit(RLIMIT_NOFILE, &saved) != 0) return false;
  const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (lowest_free < 0) return false;
  ::close(lowest_free);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
  log.on_line = [&saved, &failure](const std::string& line) {
    if (line.find(failure) != std::string::npos) ::setrlimit(RLIMIT_NOFILE, &saved);
  };
  const bool failed =
      ::setrlimit(RLIMIT_NOFILE, &lowered) == 0 && run([&] { return log.has(failure); });
  ::setrlimit(RLIMIT_NOFILE, &saved);
  log.on_line = nullptr;
  return failed;
}
