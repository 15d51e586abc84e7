// The peer connector of a real central object against listeners on loopback that
// play its peers: one tie per configured peer, what a reconfiguration keeps, drops
// and reconnects, a TLS peer that never answers its handshake, and cancelled
// attempts whose late completions must not disturb the attempt that replaced them.
#include "cluster/peer_connector.h"

#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_socket.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/recording_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

using tcp = boost::asio::ip::tcp;

// A loopback listener playing one peer that never speaks (a TLS server that never
// completes its handshake). It accepts only when polled, from the condition of a
// wait, so a test can look at a connection right after the handler that made it.
class peer_stub_t {
 public:
  explicit peer_stub_t(boost::asio::io_context& io)
      : io_(io), acceptor_(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    acceptor_.non_blocking(true);
  }
  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
  void poll() {
    for (boost::system::error_code error; !error;) {
      auto socket = std::make_shared<tcp::socket>(io_);
      acceptor_.accept(*socket, error);
      if (!error) connections.push_back(socket);
    }
  }
  // The connector closed connection `i`.
  bool closed(std::size_t i) const {
    pollfd watch{connections.at(i)->native_handle(), POLLRDHUP, 0};
    return ::poll(&watch, 1, 0) == 1 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
  std::size_t open_count() const {
    std::size_t open = 0;
    for (std::size_t i = 0; i < connections.size(); ++i) open += closed(i) ? 0 : 1;
    return open;
  }
  std::vector<std::shared_ptr<tcp::socket>> connections;

 private:
  boost::asio::io_context& io_;
  tcp::acceptor acceptor_;
};

class PeerConnectorTest : public ::testing::Test {
 protected:
  PeerConnectorTest() {
    connector().set_retry_interval(std::chrono::milliseconds(40));
    // Longer than any test: an attempt that ends did not time out.
    connector().set_handshake_timeout(std::chrono::minutes(2));
    // Connections to it are refused: each retry round logs one failure.
    refusing_.open(tcp::v4());
    refusing_.bind(tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  }

  bk_peer_connector_t& connector() { return *fx.inventory().peer_connector; }
  bk_cluster_t& cluster() { return *fx.inventory().cluster; }

  // Lists `peers` and the refusing one; with TLS when `ca` is set.
  vl::BrelConfig config(const std::vector<tcp::endpoint>& peers, const std::string& ca = "") {
    vl::BrelConfig config;
    for (tcp::endpoint peer : peers) {
      vl::IPSocket* socket = config.mutable_load_balance_to()->add_ip();
      socket->set_address(peer.address().to_string());
      socket->set_port(peer.port());
    }
    if (!ca.empty()) {
      config.set_load_balance_use_ssl(true);
      config.set_load_balance_ssl_certificate(certs.client.cert_file);
      config.set_load_balance_ssl_key(certs.client.key_file);
      config.set_load_balance_ssl_ca(ca);
    }
    return config;
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
  // Runs the loop until `done`, one handler at a time, letting the stub accept.
  bool run(const std::function<bool()>& done) {
    return fx.run_until([&] {
      stub.poll();
      return done();
    });
  }
  // Waits out `count` more retry rounds: each fails once more to the refusing peer.
  bool rounds(int count) {
    const auto refusals = [this] {
      const std::string part = "Connection to " + endpoint_text(refusing()) + " failed: ";
      std::lock_guard<std::mutex> lock(log_mutex());
      int seen = 0;
      for (const std::string& line : log->lines) seen += line.find(part) != std::string::npos;
      return seen;
    };
    const int seen = refusals();
    return run([&] { return refusals() >= seen + count; });
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  temp_dir_t dir;
  test_certs_t certs = make_test_certs(dir.path().string());
  peer_stub_t stub{fx.io()};

 private:
  tcp::socket refusing_{fx.io()};
};

TEST_F(PeerConnectorTest, KeepsOneTieAPeerAcrossReconfigurationsUntilItIsDropped) {
  const tcp::endpoint peer = stub.endpoint();
  first(config({peer, peer, refusing()}));
  ASSERT_TRUE(run([&] { return cluster().is_peer_out_connected(peer); }));
  next(config({peer, refusing()}));
  ASSERT_TRUE(rounds(2));
  EXPECT_EQ(stub.connections.size(), 1u);
  EXPECT_FALSE(stub.closed(0));

  next(config({refusing()}));
  EXPECT_FALSE(cluster().is_peer_out_connected(peer));
  ASSERT_TRUE(run([&] { return stub.closed(0); }));
  ASSERT_TRUE(rounds(2));
  EXPECT_EQ(stub.connections.size(), 1u);
}

TEST_F(PeerConnectorTest, ReconfigurationsLogTheOutdatedAndTheNewPeers) {
  const auto logged_since = [this](std::size_t mark, const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mutex());
    for (std::size_t i = mark; i < log->lines.size(); ++i)
      if (log->lines[i] == line) return true;
    return false;
  };
  const auto log_size = [this] {
    std::lock_guard<std::mutex> lock(log_mutex());
    return log->lines.size();
  };
  const tcp::endpoint peer = stub.endpoint();
  first(config({peer, refusing()}));
  ASSERT_TRUE(run([&] { return cluster().is_peer_out_connected(peer); }));

  std::size_t mark = log_size();
  next(config({peer, refusing()}));
  EXPECT_TRUE(logged_since(mark, "Debug: Outdated peers: <empty>"));
  EXPECT_TRUE(logged_since(mark, "Debug: New peers: <empty>"));

  mark = log_size();
  next(config({refusing()}));
  EXPECT_TRUE(logged_since(mark, "Debug: Outdated peers: (" + endpoint_text(peer) + ")"));
  EXPECT_TRUE(logged_since(mark, "Debug: New peers: <empty>"));
}

TEST_F(PeerConnectorTest, SilentTlsPeerTimesOutAndIsTriedAgain) {
  connector().set_handshake_timeout(std::chrono::milliseconds(100));
  first(config({stub.endpoint()}, certs.ca_file));
  const std::string timed_out = "Warning: SSL handshake with " + endpoint_text(stub.endpoint()) +
                                " failed: SSL handshake timed out";
  ASSERT_TRUE(run([&] { return log->has_line(timed_out) && stub.connections.size() >= 2; }));
  EXPECT_TRUE(stub.closed(0));
}

TEST_F(PeerConnectorTest, NewSourceAddressReconnectsFromItAndInternalOnlyDropsTheTie) {
  vl::BrelConfig c = config({stub.endpoint()});
  c.mutable_load_balance_source_address()->set_address("127.0.0.1");
  first(c);
  ASSERT_TRUE(run([&] { return stub.connections.size() == 1; }));
  c.mutable_load_balance_source_address()->set_address("127.0.0.2");
  next(c);
  ASSERT_TRUE(run([&] { return stub.closed(0) && stub.connections.size() == 2; }));
  EXPECT_EQ(stub.connections[1]->remote_endpoint().address().to_string(), "127.0.0.2");
  ASSERT_TRUE(run([&] { return cluster().is_peer_out_connected(stub.endpoint()); }));

  c.set_internal_only(true);
  next(c);
  EXPECT_FALSE(cluster().is_peer_out_connected(stub.endpoint()));
  ASSERT_TRUE(run([&] { return stub.closed(1); }));
}

TEST_F(PeerConnectorTest, CancelledAttemptEndsAtOnceAndLeavesItsSuccessorAlone) {
  first(config({stub.endpoint(), refusing()}, certs.ca_file));
  // Stops right after the handler that connected and sent the client's greeting:
  // that write has completed, and the handshake's next read is not started yet.
  ASSERT_TRUE(run([&] { return !stub.connections.empty() && stub.connections[0]->available(); }));

  // Another CA path cancels every attempt and starts new ones in the same call.
  vl::BrelConfig changed = config({stub.endpoint(), refusing()}, certs.hashed_dir);
  next(changed);
  // Long before the handshake time-out.
  ASSERT_TRUE(run([&] { return stub.closed(0) && stub.connections.size() >= 2; }));
  // The cancelled attempt's completion neither ends its successor nor lets the
  // retry rounds start another one beside it.
  ASSERT_TRUE(rounds(3));
  EXPECT_EQ(stub.connections.size(), 2u);
  EXPECT_EQ(stub.open_count(), 1u);
  EXPECT_FALSE(log->has("SSL handshake with " + endpoint_text(stub.endpoint())));

  // internal_only also cancels the attempt under way.
  changed.set_internal_only(true);
  next(changed);
  ASSERT_TRUE(run([&] { return stub.closed(1); }));
}

TEST_F(PeerConnectorTest, ConnectionToAPeerDroppedMeanwhileIsLetGo) {
  first(config({stub.endpoint()}));
  // The attempt under way is not cancelled: its connection must not become a tie.
  next(config({refusing()}));
  ASSERT_TRUE(run([&] { return stub.connections.size() == 1 && stub.closed(0); }));
  EXPECT_FALSE(cluster().is_peer_out_connected(stub.endpoint()));
}

}  // namespace
