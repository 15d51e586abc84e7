// fd_closer_t: closes a descriptor when its scope ends, for code that works on
// raw descriptors (the spool tree walk, reading a file for its digests).
//
// Owns the descriptor it is given; lives on the stack of one thread.
#pragma once

#include <unistd.h>

class fd_closer_t {
 public:
  // A negative `fd` is no descriptor: nothing is closed.
  explicit fd_closer_t(int fd) noexcept : fd_(fd) {}
  ~fd_closer_t() {
    if (fd_ >= 0) ::close(fd_);
  }
  fd_closer_t(const fd_closer_t&) = delete;
  fd_closer_t& operator=(const fd_closer_t&) = delete;

 private:
  const int fd_;
};
