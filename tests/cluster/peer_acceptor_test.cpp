// The peer acceptor of a real central object against plain and TLS peer clients on
// loopback: who is let in and who is turned away, what the TLS listener refuses,
// when a reconfiguration keeps, moves or opens the listener, and a failing accept
// that is retried instead of ending the daemon.
#include "cluster/peer_acceptor.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "cluster/cluster.h"
#include "cluster/ssl_settings.h"
#include "framework/basic_ipc_link.h"
#include "framework/log.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/link_end.h"
#include "tests/support/recording_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;

std::string text_of(const tcp::endpoint& endpoint) {
  std::ostringstream text;
  text << endpoint;
  return text.str();
}

// The peer client's end of one link, plain or TLS.
template <class Link>
class client_end_t : public link_end_t<Link, server_t> {
 public:
  explicit client_end_t(std::uint32_t limit) : link_end_t<Link, server_t>(limit) {}
  static std::shared_ptr<client_end_t> open(std::shared_ptr<typename Link::stream_type> stream) {
    return link_end_t<Link, server_t>::template open<client_end_t>(std::move(stream),
                                                                   kPeerLinkLimit);
  }
  void send(client_t::BrelClientMessageTag tag, uint32_t job_id = 0) {
    client_t message;
    message.set_tag(tag);
    message.set_job_id(job_id);
    if (tag == client_t::HELLO) message.set_protocol_version(1);
    this->async_send_message(message);
  }
};

using plain_end_t = client_end_t<cf_tcp_ipc_link_t>;
using tls_end_t = client_end_t<cf_ssl_ipc_link_t>;

// A TLS client under way: its end opens once the handshake succeeded.
struct tls_client_t {
  std::shared_ptr<cf_ssl_stream_t> stream;
  bool done = false;
  boost::system::error_code error;
  std::shared_ptr<tls_end_t> end;
};

class PeerAcceptorTest : public ::testing::Test {
 protected:
  ~PeerAcceptorTest() override {
    boost::system::error_code ignored;
    for (const auto& socket : sockets_) socket->close(ignored);
  }

  bk_peer_acceptor_t& acceptor() { return *fx.inventory().peer_acceptor; }
  bk_cluster_t& cluster() { return *fx.inventory().cluster; }

  // A listener on 127.0.0.1 (`port` 0: any) for peers from `allowed`.
  static vl::BrelConfig config(unsigned short port = 0, const std::string& allowed = "127.0.0.1") {
    vl::BrelConfig c;
    c.mutable_load_balance_server_socket()->set_address("127.0.0.1");
    c.mutable_load_balance_server_socket()->set_port(port);
    c.mutable_load_balance_allow_from()->add_ip()->set_address(allowed);
    return c;
  }
  vl::BrelConfig tls_config(unsigned short port = 0) {
    vl::BrelConfig c = config(port);
    c.set_load_balance_use_ssl(true);
    c.set_load_balance_ssl_certificate(certs.server.cert_file);
    c.set_load_balance_ssl_key(certs.server.key_file);
    c.set_load_balance_ssl_ca(certs.ca_file);
    return c;
  }
  // A context for a peer client with the CA's client certificate.
  ssl::context& client_context() {
    if (!client_settings_) {
      vl::BrelConfig c;
      c.set_load_balance_use_ssl(true);
      c.set_load_balance_ssl_certificate(certs.client.cert_file);
      c.set_load_balance_ssl_key(certs.client.key_file);
      c.set_load_balance_ssl_ca(certs.ca_file);
      client_settings_ = std::make_unique<bk_ssl_settings_t>(c);
      client_settings_->prepare();
    }
    return client_settings_->context();
  }

  // As the central object applies them: the acceptor first, then the cluster.
  void first(const vl::BrelConfig& c) {
    acceptor().start(c);
    cluster().restart(c);
  }
  void next(const vl::BrelConfig& c) {
    acceptor().reconfigure(c);
    cluster().restart(c);
  }

  tcp::endpoint listening() {
    const std::optional<tcp::endpoint> bound = acceptor().local_endpoint();
    EXPECT_TRUE(bound.has_value());
    return bound.value_or(tcp::endpoint());
  }

  // A TCP connection from `from` to the listener, waiting in its queue on return.
  std::shared_ptr<cf_tcp_socket_t> dial(const std::string& from = "127.0.0.1") {
    auto socket = std::make_shared<cf_tcp_socket_t>(fx.io());
    socket->open(tcp::v4());
    socket->bind(tcp::endpoint(asio::ip::make_address(from), 0));
    socket->connect(listening());
    sockets_.push_back(socket);
    return socket;
  }
  std::shared_ptr<plain_end_t> connect_plain(const std::string& from = "127.0.0.1") {
    return plain_end_t::open(dial(from));
  }
  std::shared_ptr<tls_client_t> connect_tls(ssl::context& context) {
    auto client = std::make_shared<tls_client_t>();
    client->stream = std::make_shared<cf_ssl_stream_t>(fx.io(), context);
    client->stream->next_layer().connect(listening());
    sockets_.push_back(
        std::shared_ptr<cf_tcp_socket_t>(client->stream, &client->stream->next_layer()));
    client->stream->async_handshake(ssl::stream_base::client,
                                    [client](const boost::system::error_code& error) {
                                      client->done = true;
                                      client->error = error;
                                      if (!error) client->end = tls_end_t::open(client->stream);
                                    });
    return client;
  }

  bool run(const std::function<bool()>& done) { return fx.run_until(done); }

  // The first message is STATUS; the peer then says HELLO.
  template <class End>
  bool greeted(End& end) {
    if (!run([&] { return !end.messages.empty() || end.ended; })) return false;
    if (end.messages.empty() || end.messages.front().tag() != server_t::STATUS) return false;
    end.messages.pop_front();
    end.send(client_t::HELLO);
    return true;
  }
  bool greeted(tls_client_t& client) {
    return run([&] { return client.done; }) && client.end && greeted(*client.end);
  }
  // The link still carries requests: an unknown job draws its alarm.
  template <class End>
  bool answers(End& end) {
    const uint32_t job_id = ++last_job_;
    end.send(client_t::GET_DATA_REQUEST, job_id);
    return run([&] {
             for (const server_t& message : end.messages)
               if (message.tag() == server_t::ALARM && message.job_id() == job_id) return true;
             return end.ended;
           }) &&
           !end.ended;
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  temp_dir_t dir;
  test_certs_t certs;

 private:
  std::unique_ptr<bk_ssl_settings_t> client_settings_;
  std::vector<std::shared_ptr<cf_tcp_socket_t>> sockets_;
  uint32_t last_job_ = 0;
};

class PeerAcceptorTlsTest : public PeerAcceptorTest {
 protected:
  PeerAcceptorTlsTest() { certs = make_test_certs(dir.path().string()); }
};

TEST_F(PeerAcceptorTest, LetsInOnlyAllowedAddressesAndEvictsThoseNoLongerAllowed) {
  first(config());
  EXPECT_TRUE(log->has_line("Info: Peer acceptor on " + text_of(listening()) + " started"));
  EXPECT_NE(listening().port(), 0);

  auto stranger = dial("127.0.0.2");
  const std::string refused =
      "Warning: Connection from " + text_of(stranger->local_endpoint()) + " is not allowed";
  auto stranger_end = plain_end_t::open(stranger);
  ASSERT_TRUE(run([&] { return stranger_end->ended; }));
  EXPECT_TRUE(stranger_end->messages.empty());
  EXPECT_TRUE(log->has_line(refused));

  auto friend_end = connect_plain();
  ASSERT_TRUE(greeted(*friend_end));
  ASSERT_TRUE(answers(*friend_end));

  next(config(0, "127.0.0.2"));
  ASSERT_TRUE(run([&] { return friend_end->ended; }));
  EXPECT_TRUE(log->has_line("Notice: Connection from 127.0.0.1 is no longer allowed"));
}

TEST_F(PeerAcceptorTlsTest, RefusesPeersThatFailOrStallTheHandshakeAndLetsAGoodOneIn) {
  first(tls_config());

  // No client certificate.
  ssl::context bare(ssl::context::tls_client);
  auto anonymous = connect_tls(bare);
  const std::string anonymous_at = text_of(anonymous->stream->next_layer().local_endpoint());
  ASSERT_TRUE(run([&] { return anonymous->done; }));
  EXPECT_TRUE(anonymous->error);
  ASSERT_TRUE(
      run([&] { return log->has("Warning: SSL handshake with " + anonymous_at + " failed: "); }));

  // Connects and never speaks.
  acceptor().set_handshake_timeout(200ms);
  auto silent = connect_plain();
  const std::string silent_at = text_of(silent->socket()->local_endpoint());
  ASSERT_TRUE(run([&] { return silent->ended; }));
  EXPECT_TRUE(log->has_line("Warning: SSL handshake with " + silent_at +
                            " failed: SSL handshake timed out"));
  acceptor().set_handshake_timeout(kSslHandshakeTimeout);

  auto good = connect_tls(client_context());
  ASSERT_TRUE(greeted(*good));
  ASSERT_TRUE(answers(*good->end));
  EXPECT_TRUE(log->has("Debug: Accepted SSL-connection from " +
                       text_of(good->stream->next_layer().local_endpoint())));
}

TEST_F(PeerAcceptorTlsTest, ServerSocketAddedLaterListensWithTheSettingsKept) {
  vl::BrelConfig without = tls_config();
  without.clear_load_balance_server_socket();
  first(without);
  EXPECT_FALSE(acceptor().local_endpoint());

  next(tls_config());
  auto peer = connect_tls(client_context());
  ASSERT_TRUE(greeted(*peer));
}

TEST_F(PeerAcceptorTlsTest, SameSettingsKeepTheListenerAndANewPortOrCaPathRestartsIt) {
  first(tls_config());
  const tcp::endpoint before = listening();
  auto early = connect_tls(client_context());
  ASSERT_TRUE(greeted(*early));

  // Waits in the listener's queue across the reconfiguration; a restart would reset it.
  auto queued = connect_tls(client_context());
  next(tls_config());
  EXPECT_EQ(listening(), before);
  ASSERT_TRUE(greeted(*queued));
  ASSERT_TRUE(answers(*early->end));

  unsigned short port;
  {
    tcp::acceptor probe(fx.io(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    port = probe.local_endpoint().port();
  }
  next(tls_config(port));
  EXPECT_EQ(listening().port(), port);
  tcp::socket old_port(fx.io());
  boost::system::error_code refused;
  old_port.connect(before, refused);
  EXPECT_EQ(refused, asio::error::connection_refused);
  auto moved = connect_tls(client_context());
  ASSERT_TRUE(greeted(*moved));

  // The same CA by another path restarts the listener on the same port.
  vl::BrelConfig hashed = tls_config(port);
  hashed.set_load_balance_ssl_ca(certs.hashed_dir);
  auto reset = connect_tls(client_context());
  next(hashed);
  ASSERT_TRUE(run([&] { return reset->done; }));
  EXPECT_TRUE(reset->error);
  auto renewed = connect_tls(client_context());
  ASSERT_TRUE(greeted(*renewed));
  ASSERT_TRUE(answers(*early->end));
}

TEST_F(PeerAcceptorTest, FailedAcceptIsLoggedAndRetried) {
  acceptor().set_accept_retry_delay(20ms);
  first(config());
  auto socket = dial();
  ASSERT_TRUE(run_short_of_descriptors(*log, "Error: Peer acceptor: Too many open files",
                                       [this](auto done) { return run(done); }));
  auto end = plain_end_t::open(socket);
  ASSERT_TRUE(greeted(*end));
}

}  // namespace
