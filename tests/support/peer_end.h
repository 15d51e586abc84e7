// peer_end_t: the peer client's end of one peer link, for tests: a link end that
// connects over TCP, sends bk::BrelClient2ServerMessage with the peer protocol's
// verbs and keeps every bk::BrelServer2ClientMessage. Event loop only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "cluster/peer_protocol.h"
#include "framework/basic_ipc_link.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "tests/support/link_end.h"

inline bk::BrelClient2ServerMessage peer_message(
    bk::BrelClient2ServerMessage::BrelClientMessageTag tag, uint32_t job_id) {
  bk::BrelClient2ServerMessage message;
  message.set_tag(tag);
  message.set_job_id(job_id);
  return message;
}

class peer_end_t : public link_end_t<cf_tcp_ipc_link_t, bk::BrelServer2ClientMessage> {
 public:
  using message_t = bk::BrelClient2ServerMessage;
  explicit peer_end_t(std::uint32_t limit) : link_end_t(limit) {}

  // Connects to `at` and starts reading; the connection waits in the listener's
  // queue until the test accepts it.
  static std::shared_ptr<peer_end_t> connect(boost::asio::io_context& io,
                                             const boost::asio::ip::tcp::endpoint& at) {
    auto socket = std::make_shared<cf_tcp_socket_t>(io);
    socket->connect(at);
    // Small requests in a row would otherwise wait out the delayed acknowledgement.
    socket->set_option(boost::asio::ip::tcp::no_delay(true));
    return open<peer_end_t>(std::move(socket), kPeerLinkLimit);
  }

  using link_end_t::send;
  void send(message_t::BrelClientMessageTag tag, uint32_t job_id) {
    send(peer_message(tag, job_id));
  }
  void hello() {
    message_t message;
    message.set_tag(message_t::HELLO);
    message.set_protocol_version(kPeerProtocolVersion);
    send(message);
  }
  void chunk(uint32_t job_id, const std::string& data) {
    message_t message = peer_message(message_t::DATA_CHUNK, job_id);
    message.set_data(data);
    send(message);
  }
  // With default options.
  void scan(uint32_t job_id) {
    message_t message = peer_message(message_t::SCAN_REQUEST, job_id);
    message.mutable_scan_options();
    send(message);
  }
};
