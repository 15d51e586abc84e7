// The real daemon as a peer server: a scripted peer client connects to its peer
// listener, has a job scanned and cured by the daemon's engine (the stand-in, on
// the test's event loop), reads the cured data back, and is turned away once a new
// configuration no longer allows its address.
#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>

#include "schemas/brel_brel_ipc.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/peer_end.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;
using std::chrono::milliseconds;

std::string pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return data;
}

class PeerServerTest : public ::testing::Test {
 protected:
  void SetUp() override { engine = stand_se_t::create(daemon.io(), dir / "se.sock"); }
  void TearDown() override {
    if (peer) peer->close();
    EXPECT_TRUE(run([&] { return spool_empty(); })) << daemon.output();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 107) << daemon.output();
    engine->stop();
  }

  // A listener for peers on 127.0.0.1, any port, open to `allowed`.
  vl::BrelConfig config(const std::string& allowed) {
    vl::BrelConfig c = make_test_config(dir / "spool");
    c.set_local_socket(dir / "brel.sock");
    c.set_is_se_installed(true);
    c.set_se_max_forks(4);
    c.mutable_load_balance_server_socket()->set_address("127.0.0.1");
    c.mutable_load_balance_server_socket()->set_port(0);
    c.mutable_load_balance_allow_from()->add_ip()->set_address(allowed);
    return c;
  }

  // Runs the daemon's side and the engine until `done`, answering the daemon's
  // requests for the engine's socket path on the way.
  bool run(const std::function<bool()>& done, milliseconds timeout = milliseconds(20000)) {
    return run_until(
        daemon.io(),
        [&] {
          vl::Brel2MarrodMessage request;
          while (daemon.next(request, milliseconds(0))) {
            if (request.tag() != vl::Brel2MarrodMessage::GET_SE_REQUEST) continue;
            vl::Marrod2BrelMessage response;
            response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
            response.set_socket_path(dir / "se.sock");
            daemon.send(response);
          }
          return done();
        },
        timeout);
  }

  // The next answer to a request: STATUS reports and acknowledgements of stored
  // data come at any time and are skipped.
  server_t next_answer() {
    for (;;) {
      EXPECT_TRUE(run([&] { return !peer->messages.empty() || peer->ended; })) << daemon.output();
      if (peer->messages.empty()) return server_t();
      server_t message = std::move(peer->messages.front());
      peer->messages.pop_front();
      if (message.tag() != server_t::STATUS && message.tag() != server_t::DATA_CHUNK_APPENDED)
        return message;
    }
  }

  bool spool_empty() const { return !fs::exists(dir / "spool") || fs::is_empty(dir / "spool"); }

  temp_dir_t dir;
  marrod_harness_t daemon{brelkin_program()};
  std::shared_ptr<stand_se_t> engine;
  std::shared_ptr<peer_end_t> peer;
};

TEST_F(PeerServerTest, ScansACuredJobForAPeerAndEvictsItWhenNoLongerAllowed) {
  daemon.start();
  ASSERT_TRUE(daemon.answer_config(1, config("127.0.0.1"))) << daemon.output();
  const std::regex started("Peer acceptor on 127\\.0\\.0\\.1:([0-9]+) started");
  std::smatch match;
  ASSERT_TRUE(run([&] { return std::regex_search(daemon.output(), match, started); }))
      << daemon.output();
  const auto port = static_cast<unsigned short>(std::stoi(match[1].str()));

  peer = peer_end_t::connect(daemon.io(), {asio::ip::address_v4::loopback(), port});
  ASSERT_TRUE(run([&] { return !peer->messages.empty() || peer->ended; })) << daemon.output();
  ASSERT_FALSE(peer->messages.empty()) << daemon.output();
  EXPECT_EQ(peer->messages.front().tag(), server_t::STATUS);
  peer->hello();

  std::string data = pattern(300000, 1);
  data.insert(150000, test_virus_text());
  std::string cured = data;
  cured.erase(150000, test_virus_text().size());
  peer->stream(1, data, 50000);
  bk::ScanOptions cure;
  cure.set_cure(true);
  peer->scan(1, cure);
  const server_t report = next_answer();
  ASSERT_EQ(report.tag(), server_t::SCAN_RESPONSE) << report.ShortDebugString();
  EXPECT_EQ(report.job_id(), 1u);
  ASSERT_EQ(report.scan_report().virus_size(), 1) << report.ShortDebugString();
  EXPECT_EQ(report.scan_report().virus(0).name(), test_virus_name());
  EXPECT_TRUE(report.scan_report().cured());

  peer->send(client_t::GET_DATA_REQUEST, 1);
  const server_t size = next_answer();
  ASSERT_EQ(size.tag(), server_t::GET_DATA_RESPONSE) << size.ShortDebugString();
  EXPECT_EQ(size.data_size(), cured.size());
  std::string back;
  while (back.size() < size.data_size()) {
    const server_t chunk = next_answer();
    ASSERT_EQ(chunk.tag(), server_t::DATA_CHUNK) << chunk.ShortDebugString();
    EXPECT_EQ(chunk.job_id(), 1u);
    back += chunk.data();
  }
  EXPECT_EQ(back, cured);

  peer->send(client_t::RESET_REQUEST, 1);
  EXPECT_TRUE(run([&] { return spool_empty(); })) << daemon.output();
  EXPECT_FALSE(peer->ended);

  daemon.send_config(2, config("127.0.0.2"));
  ASSERT_TRUE(run([&] { return peer->ended; })) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Connection from 127.0.0.1 is no longer allowed"))
      << daemon.output();
}

}  // namespace
