// full_backlog_t: connections that fill a UNIX listener's backlog, so that the next
// connect to it cannot complete until the listener accepts one of them. The
// listener should listen with the smallest backlog (listen(0)), and not accept
// while the test wants it full. The connections close when the object goes.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

class full_backlog_t {
 public:
  explicit full_backlog_t(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::invalid_argument("socket path");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A listener takes a few connections beyond its backlog; one more is refused.
    for (int attempt = 0; attempt < 64; ++attempt) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) throw std::runtime_error("socket");
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        fds_.push_back(fd);
        continue;
      }
      const int error = errno;
      ::close(fd);
      if (error == EAGAIN) return;
      throw std::runtime_error(std::string("connect: ") + std::strerror(error));
    }
    throw std::runtime_error("the listener's backlog never filled");
  }
  ~full_backlog_t() {
    for (const int fd : fds_) ::close(fd);
  }
  full_backlog_t(const full_backlog_t&) = delete;
  full_backlog_t& operator=(const full_backlog_t&) = delete;

  // The connections waiting in the backlog: the listener accepts these first.
  std::size_t size() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};
