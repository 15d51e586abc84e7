// Fuzzes the message link's frame reader: the input arrives through a UNIX socket
// pair as another process would send it. The link under test echoes every body it
// is given, so the sending side (queueing, coalescing, buffer swaps) runs on the
// same input, and the echo is checked against the frames the input holds (a body
// whose first byte is odd also pauses the reading, resumed later from the event
// loop, or at once when the byte is 3 modulo 4; the echo must not change): every
// complete frame of an acceptable length is delivered once, whole and in order, and
// the reading ends with end of file or, at the first refused length, with
// EC_BAD_MESSAGE_SIZE.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/wrappers.pb.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/post.hpp>

#include "framework/basic_ipc_link.h"
#include "fuzz/support/fuzz_peer.h"

namespace {

namespace asio = boost::asio;
using boost::system::error_code;

class echo_link_t : public cf_local_ipc_link_t, public std::enable_shared_from_this<echo_link_t> {
 public:
  echo_link_t() : cf_local_ipc_link_t(kIpcLinkLimit) {}

  void start(std::shared_ptr<cf_local_socket_t> socket) {
    set_socket(std::move(socket));
    read_header();
  }

  // The first error reported; later ones (a write after our own close) are ignored.
  error_code error;
  int bad_blocks = 0;

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    google::protobuf::BytesValue echo;
    const void* data;
    int size;
    int blocks = 0;
    while (body.Next(&data, &size)) {
      echo.mutable_value()->append(static_cast<const char*>(data), size);
      ++blocks;
    }
    if (blocks != 1) ++bad_blocks;
    async_send_message(echo);
    const std::string& value = echo.value();
    if (value.empty() || (value[0] & 1) == 0) return;
    pause_reading();
    if ((value[0] & 3) == 3) {
      resume_reading();
      return;
    }
    // As a job acknowledging its data later.
    asio::post(socket()->get_executor(), [self = shared_from_this()] { self->resume_reading(); });
  }

  void on_error(const error_code& code) override {
    if (!error) error = code;
    reading_ended_ = true;
    // The echo still being written would be lost by closing now.
    if (idle_) close();
  }

  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }
  void on_send_begin() override { idle_ = false; }
  void on_send_idle() override {
    idle_ = true;
    if (reading_ended_) close();
  }

  void close() {
    error_code ignored;
    socket()->close(ignored);
  }

  bool idle_ = true;
  bool reading_ended_ = false;
};

struct expected_t {
  std::vector<std::string> bodies;
  error_code error;
};

// What a correct frame reader makes of `data`.
expected_t frames_of(const std::uint8_t* data, std::size_t size) {
  expected_t expected;
  std::size_t at = 0;
  for (;;) {
    if (size - at < 4) break;
    std::uint32_t length;
    std::memcpy(&length, data + at, 4);
    if (length == 0 || length > kIpcLinkLimit) {
      expected.error = make_error_code(vl::EC_BAD_MESSAGE_SIZE);
      return expected;
    }
    if (size - at - 4 < length) break;
    expected.bodies.emplace_back(reinterpret_cast<const char*>(data + at + 4), length);
    at += 4 + length;
  }
  expected.error = asio::error::eof;
  return expected;
}

// The bodies echoed back, unwrapped; false when the echo is not well framed.
bool echoed_bodies(const std::string& stream, std::vector<std::string>& bodies) {
  std::size_t at = 0;
  while (at < stream.size()) {
    if (stream.size() - at < 4) return false;
    std::uint32_t length;
    std::memcpy(&length, stream.data() + at, 4);
    if (stream.size() - at - 4 < length) return false;
    google::protobuf::BytesValue echo;
    if (!echo.ParseFromArray(stream.data() + at + 4, static_cast<int>(length))) return false;
    bodies.push_back(echo.value());
    at += 4 + length;
  }
  return true;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "Frame reader: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  asio::io_context io;
  auto near = std::make_shared<cf_local_socket_t>(io);
  fuzz_peer_t peer(io);
  asio::local::connect_pair(*near, peer.socket);
  auto link = std::make_shared<echo_link_t>();
  link->start(near);
  near.reset();
  peer.start(data, size);
  fuzz_run(io, never_ends);

  const expected_t expected = frames_of(data, size);
  std::vector<std::string> bodies;
  if (!echoed_bodies(peer.received, bodies)) fail("the echo is not well framed");
  if (bodies != expected.bodies) fail("the bodies delivered differ from the frames sent");
  if (link->error != expected.error) fail("the reading ended with an unexpected error");
  if (link->bad_blocks) fail("a body was not yielded as one block");
  if (link->is_open()) fail("the loop ended with the link still open");
  return 0;
}
