// peer_end_t: the peer client's end of one peer link, for tests: connects over TCP,
// sends bk::BrelClient2ServerMessage (or any bytes) through the daemon's own message
// link with the peer limit, keeps every bk::BrelServer2ClientMessage that arrives
// and notes when the link ends. Runs on the caller's event loop, which the test
// drives with run_until.
//
// Held by a shared pointer (the test's and the outstanding reads and writes);
// close() ends it. Event loop only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "cluster/peer_protocol.h"
#include "framework/basic_ipc_link.h"
#include "schemas/brel_brel_ipc.pb.h"

inline bk::BrelClient2ServerMessage peer_message(
    bk::BrelClient2ServerMessage::BrelClientMessageTag tag, uint32_t job_id) {
  bk::BrelClient2ServerMessage message;
  message.set_tag(tag);
  message.set_job_id(job_id);
  return message;
}

class peer_end_t : public cf_tcp_ipc_link_t, public std::enable_shared_from_this<peer_end_t> {
 public:
  using message_t = bk::BrelClient2ServerMessage;

  // Connects to `at` and starts reading; the connection waits in the listener's
  // queue until the test accepts it.
  static std::shared_ptr<peer_end_t> connect(boost::asio::io_context& io,
                                             const boost::asio::ip::tcp::endpoint& at) {
    auto socket = std::make_shared<cf_tcp_socket_t>(io);
    socket->connect(at);
    // Small requests in a row would otherwise wait out the delayed acknowledgement.
    socket->set_option(boost::asio::ip::tcp::no_delay(true));
    std::shared_ptr<peer_end_t> end(new peer_end_t);
    end->set_socket(std::move(socket));
    end->read_header();
    return end;
  }

  void send(const message_t& message) { async_send_message(message); }
  void send(message_t::BrelClientMessageTag tag, uint32_t job_id) {
    send(peer_message(tag, job_id));
  }
  // Bytes as they are, framed or not; written at once.
  void send_raw(const std::string& bytes) {
    boost::asio::write(*socket(), boost::asio::buffer(bytes));
  }
  void close() {
    boost::system::error_code ignored;
    socket()->close(ignored);
  }

  void hello(uint32_t version = kPeerProtocolVersion) {
    message_t message;
    message.set_tag(message_t::HELLO);
    message.set_protocol_version(version);
    send(message);
  }
  void chunk(uint32_t job_id, const std::string& data) {
    message_t message = peer_message(message_t::DATA_CHUNK, job_id);
    message.set_data(data);
    send(message);
  }
  // The data in chunks of `size` bytes.
  void stream(uint32_t job_id, const std::string& data, std::size_t size) {
    for (std::size_t at = 0; at < data.size(); at += size) chunk(job_id, data.substr(at, size));
  }
  void scan(uint32_t job_id, const bk::ScanOptions& options = {}) {
    message_t message = peer_message(message_t::SCAN_REQUEST, job_id);
    *message.mutable_scan_options() = options;
    send(message);
  }

  std::deque<bk::BrelServer2ClientMessage> messages;
  // The daemon closed the link (or an error ended it).
  bool ended = false;

 private:
  peer_end_t() : cf_tcp_ipc_link_t(kPeerLinkLimit) {}
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    bk::BrelServer2ClientMessage message;
    EXPECT_TRUE(message.ParseFromZeroCopyStream(&body));
    messages.push_back(std::move(message));
  }
  void on_error(const boost::system::error_code&) override { ended = true; }
  std::shared_ptr<cf_tcp_ipc_link_t> shared_this() override { return shared_from_this(); }
};
