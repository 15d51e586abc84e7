#include "framework/fd_io.h"

#include <unistd.h>

#include <cerrno>

#include "framework/error.h"

void read_exact(int fd, void* buffer, std::size_t count,
                boost::system::error_code& error) noexcept {
  auto* next = static_cast<char*>(buffer);
  std::size_t left = count;
  do {
    const ssize_t n = ::read(fd, next, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      error.assign(errno, boost::system::system_category());
      return;
    }
    if (n == 0) {
      if (left != 0) error = make_error_code(vl::EC_UNEXPECTED_EOF);
      return;
    }
    next += n;
    left -= static_cast<std::size_t>(n);
  } while (left != 0);
}

void write_all(int fd, const void* buffer, std::size_t count,
               boost::system::error_code& error) noexcept {
  const auto* next = static_cast<const char*>(buffer);
  std::size_t left = count;
  while (left != 0) {
    const ssize_t n = ::write(fd, next, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      error.assign(errno, boost::system::system_category());
      return;
    }
    if (n == 0) {
      error = make_error_code(vl::EC_UNEXPECTED_ERROR);
      return;
    }
    next += n;
    left -= static_cast<std::size_t>(n);
  }
}
