// The peer connector of a real central object against listeners on loopback that
// play its peers: one tie per configured peer, what a reconfiguration keeps, drops
// and reconnects, a TLS peer that never answers its handshake, and cancelled
// attempts whose late completions must not disturb the attempt that replaced them.
#include "cluster/peer_connector.h"

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "cluster/cluster.h"
#include "framework/log.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/peer_server_end.h"
#include "tests/support/recording_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

std::string text_of(const tcp::endpoint& endpoint) {
  std::ostringstream text;
  text << endpoint;
  return text.str();
}

// A loopback listener playing one peer. It accepts only when the test polls it
// (from the condition of a wait), so a test can look at a connection right after
// the connector's handler that made it. A talking stub reads each connection's
// messages through the daemon's own link; a silent one never reads nor answers (a
// TLS server that never completes its handshake), so what the connector sent stays
// queued where the test can measure it.
class peer_stub_t {
 public:
  struct connection_t {
    tcp::endpoint from;
    std::shared_ptr<cf_tcp_socket_t> socket;
    // Talking stubs only.
    std::shared_ptr<peer_server_end_t> link;
  };

  peer_stub_t(asio::io_context& io, bool talking)
      : io_(io),
        acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        talking_(talking) {
    acceptor_.non_blocking(true);
  }
  ~peer_stub_t() {
    boost::system::error_code ignored;
    for (const connection_t& connection : connections) connection.socket->close(ignored);
  }

  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }

  // Accepts every connection waiting in the listener's queue.
  void poll() {
    for (;;) {
      auto socket = std::make_shared<cf_tcp_socket_t>(io_);
      boost::system::error_code error;
      acceptor_.accept(*socket, error);
      if (error) return;
      connection_t connection{socket->remote_endpoint(), socket, nullptr};
      if (talking_) connection.link = peer_server_end_t::open(socket);
      connections.push_back(std::move(connection));
    }
  }

  // The connector closed connection `i`.
  bool closed(std::size_t i) const {
    pollfd watch{connections.at(i).socket->native_handle(), POLLRDHUP, 0};
    return ::poll(&watch, 1, 0) == 1 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
  std::size_t open_count() const {
    std::size_t open = 0;
    for (std::size_t i = 0; i < connections.size(); ++i) open += closed(i) ? 0 : 1;
    return open;
  }
  // Bytes sent on connection `i` and not read (silent stubs read nothing).
  std::size_t queued_bytes(std::size_t i) const { return connections.at(i).socket->available(); }
  // The messages received on connection `i` (talking stubs).
  std::vector<std::string> texts(std::size_t i) const {
    return connections.size() > i ? connections[i].link->texts() : std::vector<std::string>();
  }

  std::vector<connection_t> connections;

 private:
  asio::io_context& io_;
  tcp::acceptor acceptor_;
  const bool talking_;
};

const std::vector<std::string> kHello{"tag: HELLO protocol_version: 1"};

class PeerConnectorTest : public ::testing::Test {
 protected:
  // Short enough for a test to wait out a few rounds.
  static constexpr std::chrono::milliseconds kRound{40};

  PeerConnectorTest() {
    connector().set_retry_interval(kRound);
    // Longer than any test: an attempt that ends did not time out.
    connector().set_handshake_timeout(std::chrono::minutes(2));
    // Connections to it are refused: each retry round logs one failure.
    refusing_.open(tcp::v4());
    refusing_.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  }

  bk_peer_connector_t& connector() { return *fx.inventory().peer_connector; }
  bk_cluster_t& cluster() { return *fx.inventory().cluster; }

  static void add_peer(vl::BrelConfig& config, const tcp::endpoint& peer) {
    vl::IPSocket* socket = config.mutable_load_balance_to()->add_ip();
    socket->set_address(peer.address().to_string());
    socket->set_port(peer.port());
  }
  // TLS with the client certificate and `ca` (a file or a hashed directory).
  static void use_tls(vl::BrelConfig& config, const test_cert_files_t& own, const std::string& ca) {
    config.set_load_balance_use_ssl(true);
    config.set_load_balance_ssl_certificate(own.cert_file);
    config.set_load_balance_ssl_key(own.key_file);
    config.set_load_balance_ssl_ca(ca);
  }
  const test_certs_t& certs() {
    if (certs_.ca_file.empty()) certs_ = make_test_certs(dir_.path().string());
    return certs_;
  }

  // As the central object applies them: connector first, then the cluster.
  void first(const vl::BrelConfig& config) {
    connector().start(config);
    cluster().restart(config);
  }
  void next(const vl::BrelConfig& config) {
    connector().reconfigure(config);
    cluster().restart(config);
  }

  tcp::endpoint refusing() const { return refusing_.local_endpoint(); }
  // Failed attempts to the refusing peer so far: one each round.
  int refusals() const {
    const std::string part = "Connection to " + text_of(refusing()) + " failed: ";
    std::lock_guard<std::mutex> lock(log_mutex());
    int count = 0;
    for (const std::string& line : log->lines) count += line.find(part) != std::string::npos;
    return count;
  }
  std::size_t log_size() const {
    std::lock_guard<std::mutex> lock(log_mutex());
    return log->lines.size();
  }
  bool logged_since(std::size_t mark, const std::string& line) const {
    std::lock_guard<std::mutex> lock(log_mutex());
    for (std::size_t i = mark; i < log->lines.size(); ++i)
      if (log->lines[i] == line) return true;
    return false;
  }

  // Runs the loop until `done`, one handler at a time, letting the stubs accept.
  bool run(const std::function<bool()>& done) {
    return fx.run_until([&] {
      for (peer_stub_t* stub : stubs) stub->poll();
      return done();
    });
  }
  // Waits out `count` more retry rounds.
  bool rounds(int count) {
    const int seen = refusals();
    return run([&] { return refusals() >= seen + count; });
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  std::vector<peer_stub_t*> stubs;

 private:
  tcp::socket refusing_{fx.io()};
  temp_dir_t dir_;
  test_certs_t certs_;
};

TEST_F(PeerConnectorTest, PeerListedTwiceGetsOneTieAndReconfigurationsLogTheDifference) {
  peer_stub_t peer(fx.io(), true);
  stubs = {&peer};
  vl::BrelConfig config;
  add_peer(config, peer.endpoint());
  add_peer(config, peer.endpoint());
  add_peer(config, refusing());
  first(config);
  ASSERT_TRUE(run([&] { return !peer.texts(0).empty(); }));
  ASSERT_TRUE(rounds(2));
  EXPECT_EQ(peer.connections.size(), 1u);
  EXPECT_EQ(peer.texts(0), kHello);
  EXPECT_TRUE(cluster().is_peer_out_connected(peer.endpoint()));

  std::size_t mark = log_size();
  next(config);
  EXPECT_TRUE(logged_since(mark, "Debug: Outdated peers: <empty>"));
  EXPECT_TRUE(logged_since(mark, "Debug: New peers: <empty>"));
  ASSERT_TRUE(rounds(2));
  EXPECT_EQ(peer.connections.size(), 1u);
  EXPECT_FALSE(peer.closed(0));

  vl::BrelConfig without;
  add_peer(without, refusing());
  mark = log_size();
  next(without);
  EXPECT_TRUE(logged_since(mark, "Debug: Outdated peers: (" + text_of(peer.endpoint()) + ")"));
  EXPECT_TRUE(logged_since(mark, "Debug: New peers: <empty>"));
  EXPECT_FALSE(cluster().is_peer_out_connected(peer.endpoint()));
  ASSERT_TRUE(run([&] { return peer.closed(0); }));
  ASSERT_TRUE(rounds(2));
  EXPECT_EQ(peer.connections.size(), 1u);
}

TEST_F(PeerConnectorTest, SilentTlsPeerTimesOutAndIsTriedAgain) {
  connector().set_handshake_timeout(100ms);
  peer_stub_t peer(fx.io(), false);
  stubs = {&peer};
  vl::BrelConfig config;
  use_tls(config, certs().client, certs().ca_file);
  add_peer(config, peer.endpoint());
  first(config);
  const std::string timed_out = "Warning: SSL handshake with " + text_of(peer.endpoint()) +
                                " failed: SSL handshake timed out";
  ASSERT_TRUE(run([&] { return log->has_line(timed_out) && peer.connections.size() >= 2; }));
  EXPECT_TRUE(peer.closed(0));
}

TEST_F(PeerConnectorTest, NewSourceAddressReconnectsFromItAndInternalOnlyDropsTheTie) {
  peer_stub_t peer(fx.io(), true);
  stubs = {&peer};
  vl::BrelConfig config;
  config.mutable_load_balance_source_address()->set_address("127.0.0.1");
  add_peer(config, peer.endpoint());
  first(config);
  ASSERT_TRUE(run([&] { return !peer.texts(0).empty(); }));
  EXPECT_EQ(peer.connections[0].from.address().to_string(), "127.0.0.1");

  config.mutable_load_balance_source_address()->set_address("127.0.0.2");
  next(config);
  ASSERT_TRUE(run([&] { return peer.closed(0) && !peer.texts(1).empty(); }));
  EXPECT_EQ(peer.connections.size(), 2u);
  EXPECT_EQ(peer.connections[1].from.address().to_string(), "127.0.0.2");
  EXPECT_EQ(peer.texts(1), kHello);
  EXPECT_TRUE(cluster().is_peer_out_connected(peer.endpoint()));

  config.set_internal_only(true);
  next(config);
  EXPECT_FALSE(cluster().is_peer_out_connected(peer.endpoint()));
  ASSERT_TRUE(run([&] { return peer.closed(1); }));
}

TEST_F(PeerConnectorTest, CancelledAttemptEndsAtOnceAndLeavesItsSuccessorAlone) {
  peer_stub_t silent(fx.io(), false);
  stubs = {&silent};
  vl::BrelConfig config;
  use_tls(config, certs().client, certs().ca_file);
  add_peer(config, silent.endpoint());
  add_peer(config, refusing());
  first(config);
  // Stops right after the handler that connected and sent the client's greeting:
  // that write has completed, and the handshake's next read is not started yet.
  ASSERT_TRUE(run([&] { return !silent.connections.empty() && silent.queued_bytes(0) > 0; }));

  // Another CA path cancels every attempt and starts new ones in the same call.
  vl::BrelConfig changed;
  use_tls(changed, certs().client, certs().hashed_dir);
  add_peer(changed, silent.endpoint());
  add_peer(changed, refusing());
  next(changed);
  // Long before the handshake time-out.
  ASSERT_TRUE(run([&] { return silent.closed(0) && silent.connections.size() >= 2; }));
  // The cancelled attempt's completion neither ends its successor nor lets the
  // retry rounds start another one beside it.
  ASSERT_TRUE(rounds(3));
  EXPECT_EQ(silent.connections.size(), 2u);
  EXPECT_EQ(silent.open_count(), 1u);
  EXPECT_FALSE(log->has("SSL handshake with " + text_of(silent.endpoint())));

  // internal_only also cancels the attempt under way.
  changed.set_internal_only(true);
  next(changed);
  ASSERT_TRUE(run([&] { return silent.closed(1); }));
}

}  // namespace
