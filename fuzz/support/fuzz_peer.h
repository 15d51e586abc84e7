// Test-side helpers shared by the fuzz targets: the far end of a link under fuzzing,
// the bounded run of the event loop and connected loopback TCP pairs. Linking them
// also gives every target its LLVMFuzzerInitialize, which installs a log back-end
// that drops every line, with the threshold at Debug, so every log text is still
// built from the input (with BRELKIN_FUZZ_LOG set in the environment, the lines go
// to standard error).
//
// fuzz_peer_t plays the other process: it writes one fuzz input into its socket,
// shuts down its sending side, and collects whatever the link writes back until the
// link closes. It lives on the caller's stack for one input; event loop only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/path.hpp>

#include "framework/socket_types.h"

// The size of the input's next piece at `at`: one frame as the frame reader cuts it
// (the length and the body), or everything left after a length the reader refuses.
std::size_t fuzz_frame_piece(const std::uint8_t* data, std::size_t size, std::size_t at,
                             std::uint32_t limit);

// Writes the input on `socket` one frame at a time, each after the loop has run every
// handler the one before made ready, as from a peer that waits a moment between
// messages; `between` runs before each piece, `stop` ends the feed early (the link
// closed). Runs the socket's loop itself; an exception that leaves a handler leaves
// this call.
template <class Socket>
void fuzz_write_frames(Socket& socket, const std::uint8_t* data, std::size_t size,
                       std::uint32_t limit, const std::function<bool()>& stop,
                       const std::function<void()>& between = {}) {
  auto& io = static_cast<boost::asio::io_context&>(socket.get_executor().context());
  std::size_t at = 0;
  for (;;) {
    while (io.poll_one() != 0) {
    }
    if (between) between();
    if (stop() || at == size) break;
    const std::size_t piece = fuzz_frame_piece(data, size, at, limit);
    bool written = false;
    boost::asio::async_write(
        socket, boost::asio::buffer(data + at, piece),
        [&written](const boost::system::error_code&, std::size_t) { written = true; });
    at += piece;
    while (!written && io.run_one() != 0) {
    }
  }
}

class fuzz_peer_t {
 public:
  explicit fuzz_peer_t(boost::asio::io_context& io) : socket(io) {}

  // Writes `size` bytes of `data` and then shuts down the sending side; reads
  // everything that arrives into `received` until end of file or an error.
  // REQUIRES: `data` stays valid until the loop has run dry; `socket` is connected.
  void start(const std::uint8_t* data, std::size_t size);

  // Like start, but the input goes one frame at a time (cut as the frame reader cuts
  // it; what follows a length it refuses goes as one piece), and each after the
  // loop has run every handler the previous one made ready, as from a client that
  // waits a moment between messages. Runs the loop itself, as fuzz_run does, until
  // the input is written or the link has closed; returns false when an exception
  // ended the loop.
  bool feed_paced(const std::uint8_t* data, std::size_t size, std::uint32_t limit,
                  const std::function<bool(const std::exception_ptr&)>& may_end);

  cf_local_socket_t socket;
  std::string received;
  // The write of the input ended (possibly early, when the link closed first).
  bool written = false;
  // The link closed its side: end of file or an error ended the reading.
  bool read_ended = false;

 private:
  void start_read();

  char chunk_[4096];
};

// A listening UNIX socket standing in for a neighbouring daemon, at a path in a
// private temporary directory: the first connection goes to `peer`, which feeds it
// the input; every later one is closed at once, as by a daemon that hangs up. Keeps
// accepting for as long as it lives, so the loop never runs dry by itself.
class fuzz_listener_t {
 public:
  // REQUIRES: `peer` and `data` outlive the listener's run of the loop.
  fuzz_listener_t(boost::asio::io_context& io, fuzz_peer_t& peer, const std::uint8_t* data,
                  std::size_t size);

  const boost::filesystem::path& path() const { return path_; }

 private:
  void accept_more();

  boost::filesystem::path path_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  cf_local_socket_t next_;
};

// Runs the loop until it has no work left. An exception leaving a handler ends the
// daemon's event loop, and with it the daemon: `may_end` says whether the daemon
// may end so for this exception (for example a protocol violation of the
// configuration daemon). Any other exception aborts, which the fuzzer reports with
// the input. Returns false when the loop was ended by an exception.
bool fuzz_run(boost::asio::io_context& io,
              const std::function<bool(const std::exception_ptr&)>& may_end);

// Runs the loop, as fuzz_run does, until `done` holds before the next handler or
// the loop has no work left. What is still queued then is destroyed with the loop
// (a timer that would only find nothing due, for example).
bool fuzz_run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                    const std::function<bool(const std::exception_ptr&)>& may_end);

// For links where the daemon must survive whatever the other process sends.
bool never_ends(const std::exception_ptr&);

// A connected pair of TCP descriptors on loopback, {client, server}, both close on
// exec, made through one listener for the whole run so that inputs do not each
// take a port. libFuzzer's timer signals interrupt blocking calls, so an
// interrupted connect is finished and an interrupted accept repeated; any other
// failure aborts. The caller owns both descriptors.
std::pair<int, int> fuzz_tcp_pair();
