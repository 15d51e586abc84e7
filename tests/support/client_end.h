// client_end_t: a client program's end of one daemon connection, for tests: a
// link end that sends bk::ClientMessage with the client protocol's verbs and keeps
// every bk::ServerMessage. Event loop only.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/frame.h"
#include "tests/support/link_end.h"
#include "tests/support/run_until.h"

inline bk::ClientMessage client_message(bk::ClientMessage::ClientMessageTag tag, uint32_t job_id) {
  bk::ClientMessage message;
  message.set_tag(tag);
  message.set_job_id(job_id);
  return message;
}

template <class Stream>
class client_end_t : public link_end_t<cf_basic_ipc_link_t<Stream>, bk::ServerMessage> {
 public:
  using base_type = link_end_t<cf_basic_ipc_link_t<Stream>, bk::ServerMessage>;
  explicit client_end_t(std::uint32_t limit) : base_type(limit) {}

  // Starts reading on a connected stream.
  static std::shared_ptr<client_end_t> open(std::shared_ptr<Stream> stream) {
    return base_type::template open<client_end_t>(std::move(stream));
  }
  // Connects to `endpoint` (of any protocol the stream takes) and starts reading.
  template <class Endpoint>
  static std::shared_ptr<client_end_t> connect(boost::asio::io_context& io, const Endpoint& at) {
    auto stream = std::make_shared<Stream>(io);
    stream->connect(at);
    return open(std::move(stream));
  }

  using base_type::ended;
  using base_type::messages;
  using base_type::send;
  void send(bk::ClientMessage::ClientMessageTag tag, uint32_t job_id) {
    send(client_message(tag, job_id));
  }

  void hello(bool flow_control, bool soft_error = false) {
    bk::ClientMessage message;
    message.set_tag(bk::ClientMessage::HELLO);
    message.set_origin(vl::APP_WEB_GATEWAY);
    message.set_origin_pid(77);
    if (flow_control) message.set_flow_control(true);
    if (soft_error) message.set_soft_error(true);
    send(message);
  }
  void chunk(uint32_t job_id, const std::string& data) {
    bk::ClientMessage message = client_message(bk::ClientMessage::DATA_CHUNK, job_id);
    message.set_data(data);
    send(message);
  }
  void scan(uint32_t job_id, const bk::ScanOptions& options) {
    bk::ClientMessage message = client_message(bk::ClientMessage::SCAN_REQUEST, job_id);
    *message.mutable_scan_options() = options;
    send(message);
  }
  // INIT, the data in chunks of `size` bytes, and a scan with `options`.
  void submit(uint32_t job_id, const std::string& data, const bk::ScanOptions& options = {},
              std::size_t size = 256 * 1024) {
    send(bk::ClientMessage::INIT, job_id);
    for (std::size_t at = 0; at < data.size(); at += size) chunk(job_id, data.substr(at, size));
    scan(job_id, options);
  }

  // Runs `io` until the next message other than a window grant (every message when
  // `grants` is set); an empty one, after a test failure, when the connection ended
  // or the deadline passed first.
  bk::ServerMessage next(boost::asio::io_context& io, bool grants = false) {
    for (;;) {
      EXPECT_TRUE(run_until(
          io, [&] { return !messages.empty() || ended; }, kWait));
      if (messages.empty()) {
        ADD_FAILURE() << "no message";
        return {};
      }
      bk::ServerMessage message = std::move(messages.front());
      messages.pop_front();
      if (grants || message.tag() != bk::ServerMessage::ADJUST_WINDOW) return message;
    }
  }
  // GET_DATA, then every chunk, each no larger than a client takes.
  std::string read_back(boost::asio::io_context& io, uint32_t job_id) {
    send(bk::ClientMessage::GET_DATA_REQUEST, job_id);
    const bk::ServerMessage response = next(io);
    EXPECT_EQ(response.tag(), bk::ServerMessage::GET_DATA_RESPONSE) << response.ShortDebugString();
    std::string data;
    while (data.size() < response.data_size()) {
      const bk::ServerMessage chunk = next(io);
      if (chunk.tag() != bk::ServerMessage::DATA_CHUNK) {
        ADD_FAILURE() << chunk.ShortDebugString();
        break;
      }
      EXPECT_EQ(chunk.job_id(), job_id);
      EXPECT_LE(chunk.data().size(), 65536u);
      data += chunk.data();
    }
    return data;
  }

  // Long enough for a scan of a few megabytes under the sanitizers on a busy host.
  static constexpr std::chrono::milliseconds kWait{60000};
};

using local_client_end_t = client_end_t<boost::asio::local::stream_protocol::socket>;
// Either kind of connection, UNIX or TCP.
using any_client_end_t = client_end_t<boost::asio::generic::stream_protocol::socket>;
