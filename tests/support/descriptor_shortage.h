// descriptor_shortage_t: while it lasts, this process can get no new descriptor. Its
// soft RLIMIT_NOFILE is lowered below every descriptor it holds, so that open,
// socket, accept and the like fail with EMFILE on every thread, as in a daemon that
// has run out; the descriptors already open keep working. end() (from any thread)
// or the destructor restores the limit.
#pragma once

#include <sys/resource.h>

#include <atomic>
#include <stdexcept>

class descriptor_shortage_t {
 public:
  descriptor_shortage_t() {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) throw std::runtime_error("getrlimit");
    rlimit none = saved_;
    none.rlim_cur = 0;
    if (::setrlimit(RLIMIT_NOFILE, &none) != 0) throw std::runtime_error("setrlimit");
  }
  ~descriptor_shortage_t() { end(); }
  descriptor_shortage_t(const descriptor_shortage_t&) = delete;
  descriptor_shortage_t& operator=(const descriptor_shortage_t&) = delete;

  void end() {
    if (!ended_.exchange(true)) ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::atomic<bool> ended_{false};
};
