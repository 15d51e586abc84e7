#include "fuzz/support/fuzz_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>

#include "framework/error.h"
#include "framework/log.h"
#include "framework/startup.h"

namespace asio = boost::asio;

namespace {

class discard_log_t : public cf_log_t {
 public:
  discard_log_t() : cf_log_t([](const std::string&) {}, [](const std::string&) {}) {}
  void open() override {}
  void write(int, const std::string&) override {}
  void write_tagged(const std::string&, int, const std::string&) override {}
  void out_of_memory() noexcept override {}
};

namespace fs = boost::filesystem;
using stream_protocol = asio::local::stream_protocol;

// Where the listeners' sockets are made; removed at exit.
fs::path socket_dir;

void remove_socket_dir() {
  boost::system::error_code ignored;
  fs::remove_all(socket_dir, ignored);
}

const fs::path& fuzz_socket_dir() {
  if (socket_dir.empty()) {
    // Under TMPDIR when set, so that a run that crashes leaves nothing elsewhere.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brelkin-fuzz-XXXXXX";
    // A socket path holds at most 107 bytes.
    if (pattern.size() > 90) pattern = "/tmp/brelkin-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    socket_dir = pattern;
    std::atexit(remove_socket_dir);
  }
  return socket_dir;
}

// An exception left a handler: the daemon would end. Aborts unless it may.
void check_ending(const std::exception_ptr& error,
                  const std::function<bool(const std::exception_ptr&)>& may_end) {
  if (may_end(error)) return;
  std::fprintf(stderr, "An exception ended the event loop: %s\n",
               exception_ptr_text(error).c_str());
  std::abort();
}

}  // namespace

// Every target starts so: the Protocol Buffers library's log goes into the process
// log, as main does, and every log text is still built from the input, at Debug,
// but nothing is written.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  install_protobuf_log_handler();
  // To see what a failing input does: BRELKIN_FUZZ_LOG=1 <target> <input>.
  if (std::getenv("BRELKIN_FUZZ_LOG")) {
    install_log(make_console_log());
  } else {
    install_log(std::make_shared<discard_log_t>());
  }
  log_threshold = kLogDebug;
  return 0;
}

void fuzz_peer_t::start(const std::uint8_t* data, std::size_t size) {
  asio::async_write(socket, asio::buffer(data, size),
                    [this](const boost::system::error_code& code, std::size_t) {
                      written = true;
                      // The link may have closed before taking everything: its choice.
                      boost::system::error_code ignored;
                      if (!code) socket.shutdown(cf_local_socket_t::shutdown_send, ignored);
                    });
  start_read();
}

std::size_t fuzz_frame_piece(const std::uint8_t* data, std::size_t size, std::size_t at,
                             std::uint32_t limit) {
  std::size_t piece = size - at;
  if (piece >= 4) {
    std::uint32_t length;
    std::memcpy(&length, data + at, 4);
    if (length != 0 && length <= limit)
      piece = std::min<std::size_t>(piece, std::size_t{4} + length);
  }
  return piece;
}

bool fuzz_peer_t::feed_paced(const std::uint8_t* data, std::size_t size, std::uint32_t limit,
                             const std::function<bool(const std::exception_ptr&)>& may_end) {
  start_read();
  bool ended = false;
  try {
    fuzz_write_frames(socket, data, size, limit, [this] { return read_ended; });
  } catch (...) {
    ended = true;
    check_ending(std::current_exception(), may_end);
  }
  written = true;
  boost::system::error_code ignored;
  socket.shutdown(cf_local_socket_t::shutdown_send, ignored);
  return !ended;
}

void fuzz_peer_t::start_read() {
  socket.async_read_some(asio::buffer(chunk_),
                         [this](const boost::system::error_code& code, std::size_t n) {
                           received.append(chunk_, n);
                           // End of file or a reset: the link closed its side.
                           if (code) {
                             read_ended = true;
                             return;
                           }
                           start_read();
                         });
}

fuzz_listener_t::fuzz_listener_t(asio::io_context& io, fuzz_peer_t& peer, const std::uint8_t* data,
                                 std::size_t size)
    : path_(fuzz_socket_dir() / "daemon.sock"), acceptor_(io), next_(io) {
  // Left over from the previous input.
  ::unlink(path_.c_str());
  acceptor_.open(stream_protocol());
  acceptor_.bind(stream_protocol::endpoint(path_.native()));
  acceptor_.listen();
  acceptor_.async_accept(peer.socket,
                         [this, &peer, data, size](const boost::system::error_code& code) {
                           if (code) return;
                           peer.start(data, size);
                           accept_more();
                         });
}

void fuzz_listener_t::accept_more() {
  acceptor_.async_accept(next_, [this](const boost::system::error_code& code) {
    if (code) return;
    next_.close();
    accept_more();
  });
}

bool fuzz_run(asio::io_context& io, const std::function<bool(const std::exception_ptr&)>& may_end) {
  return fuzz_run_until(
      io, [] { return false; }, may_end);
}

bool fuzz_run_until(asio::io_context& io, const std::function<bool()>& done,
                    const std::function<bool(const std::exception_ptr&)>& may_end) {
  try {
    while (!done() && io.run_one() != 0) {
    }
    return true;
  } catch (...) {
    check_ending(std::current_exception(), may_end);
    return false;
  }
}

bool never_ends(const std::exception_ptr&) {
  return false;
}

namespace {

[[noreturn]] void fail_pair(const char* what) {
  std::perror(what);
  std::abort();
}

int listener_fd() {
  static const int fd = [] {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, 16) != 0) {
      fail_pair("listener");
    }
    return s;
  }();
  return fd;
}

}  // namespace

std::pair<int, int> fuzz_tcp_pair() {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0 ||
      ::getsockname(listener_fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail_pair("socket");
  }
  if (::connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINTR) fail_pair("connect");
    // The connection goes on in the background; its outcome comes as writability.
    pollfd writable{client, POLLOUT, 0};
    while (::poll(&writable, 1, -1) < 0) {
      if (errno != EINTR) fail_pair("poll");
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      errno = error;
      fail_pair("connect");
    }
  }
  int server;
  while ((server = ::accept4(listener_fd(), nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
    if (errno != EINTR) fail_pair("accept");
  }
  return {client, server};
}
