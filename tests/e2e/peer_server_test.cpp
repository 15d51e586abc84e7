// The real daemon as a peer server: a scripted peer client connects to its peer
// listener, has a job scanned and cured by the daemon's engine, reads the cured data
// back, and is turned away once a new configuration no longer allows its address.
#include <string>

#include "tests/e2e/daemon_set.h"
#include "tests/support/peer_end.h"
#include "tests/support/sample_data.h"

namespace {

using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;

class PeerServerTest : public ::testing::Test, protected daemon_set_t {
 protected:
  ~PeerServerTest() override {
    if (peer) peer->close();
  }

  // The next answer to a request: STATUS reports and acknowledgements of stored
  // data come at any time and are skipped.
  server_t next_answer() {
    for (;;) {
      EXPECT_TRUE(run([&] { return !peer->messages.empty() || peer->ended; }));
      if (peer->messages.empty()) return server_t();
      server_t message = std::move(peer->messages.front());
      peer->messages.pop_front();
      if (message.tag() != server_t::STATUS && message.tag() != server_t::DATA_CHUNK_APPENDED)
        return message;
    }
  }

  std::shared_ptr<peer_end_t> peer;
};

TEST_F(PeerServerTest, ScansACuredJobForAPeerAndEvictsItWhenNoLongerAllowed) {
  node_t& node = start("server", true, [](vl::BrelConfig& config) {
    config.mutable_load_balance_server_socket()->set_address("127.0.0.1");
    config.mutable_load_balance_server_socket()->set_port(0);
    config.mutable_load_balance_allow_from()->add_ip()->set_address("127.0.0.1");
  });
  peer = peer_end_t::connect(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), node.peer_port));
  ASSERT_TRUE(run([&] { return !peer->messages.empty() || peer->ended; }));
  ASSERT_FALSE(peer->messages.empty()) << node.daemon.output();
  EXPECT_EQ(peer->messages.front().tag(), server_t::STATUS);
  peer->hello();

  const std::string data = infected(300000, 1);
  for (std::size_t at = 0; at < data.size(); at += 50000) peer->chunk(1, data.substr(at, 50000));
  client_t scan = peer_message(client_t::SCAN_REQUEST, 1);
  scan.mutable_scan_options()->set_cure(true);
  peer->send(scan);
  const server_t report = next_answer();
  ASSERT_EQ(report.tag(), server_t::SCAN_RESPONSE) << report.ShortDebugString();
  EXPECT_EQ(report.job_id(), 1u);
  ASSERT_EQ(report.scan_report().virus_size(), 1) << report.ShortDebugString();
  EXPECT_TRUE(report.scan_report().cured());

  peer->send(client_t::GET_DATA_REQUEST, 1);
  const server_t size = next_answer();
  ASSERT_EQ(size.tag(), server_t::GET_DATA_RESPONSE) << size.ShortDebugString();
  std::string back;
  while (back.size() < size.data_size()) {
    const server_t chunk = next_answer();
    ASSERT_EQ(chunk.tag(), server_t::DATA_CHUNK) << chunk.ShortDebugString();
    EXPECT_LE(chunk.data().size(), 65536u);
    back += chunk.data();
  }
  EXPECT_EQ(back, cured(data));
  peer->send(client_t::RESET_REQUEST, 1);
  EXPECT_TRUE(run([&] { return node.spool_empty(); })) << node.daemon.output();

  node.config.mutable_load_balance_allow_from()->mutable_ip(0)->set_address("127.0.0.2");
  node.daemon.send_config(++node.revision, node.config);
  ASSERT_TRUE(run([&] { return peer->ended; })) << node.daemon.output();
  EXPECT_TRUE(wait_output(node, "Connection from 127.0.0.1 is no longer allowed"));
}

}  // namespace
