// The peer acceptor of a real central object against plain and TLS peer clients on
// loopback: who is let in and who is turned away, what the TLS listener refuses,
// when a reconfiguration keeps or moves the listener, and a failing accept that is
// retried after a pause, retried at once or ends the daemon, as its error says.
#include "cluster/peer_acceptor.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_socket.h"
#include "cluster/ssl_settings.h"
#include "framework/basic_ipc_link.h"
#include "framework/error.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/failure_of.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/link_end.h"
#include "tests/support/peer_end.h"
#include "tests/support/recording_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;
using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;
using plain_end_t = link_end_t<cf_tcp_ipc_link_t, server_t>;
using tls_end_t = link_end_t<cf_ssl_ipc_link_t, server_t>;

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

  // A listener on 127.0.0.1 (`port` 0: any) for peers from `allowed`.
  vl::BrelConfig config(unsigned short port = 0, const std::string& allowed = "127.0.0.1",
                        bool tls = false) {
    vl::BrelConfig c;
    c.mutable_load_balance_server_socket()->set_address("127.0.0.1");
    c.mutable_load_balance_server_socket()->set_port(port);
    c.mutable_load_balance_allow_from()->add_ip()->set_address(allowed);
    c.set_load_balance_use_ssl(tls);
    c.set_load_balance_ssl_certificate(certs.server.cert_file);
    c.set_load_balance_ssl_key(certs.server.key_file);
    c.set_load_balance_ssl_ca(certs.ca_file);
    return c;
  }
  vl::BrelConfig tls_config(unsigned short port = 0) { return config(port, "127.0.0.1", true); }
  // As the central object applies them: the acceptor first, then the cluster.
  void first(const vl::BrelConfig& c) {
    acceptor().start(c);
    fx.inventory().cluster->restart(c);
  }
  void next(const vl::BrelConfig& c) {
    acceptor().reconfigure(c);
    fx.inventory().cluster->restart(c);
  }
  tcp::endpoint listening() { return acceptor().local_endpoint().value_or(tcp::endpoint()); }

  // A TCP connection from `from` to the listener, waiting in its queue on return.
  std::shared_ptr<cf_tcp_socket_t> dial(const std::string& from = "127.0.0.1") {
    auto socket = std::make_shared<cf_tcp_socket_t>(fx.io());
    socket->open(tcp::v4());
    socket->bind(tcp::endpoint(boost::asio::ip::make_address(from), 0));
    socket->connect(listening());
    sockets_.push_back(socket);
    return socket;
  }
  // With the CA's client certificate unless another context is given.
  std::shared_ptr<tls_client_t> connect_tls(ssl::context* context = nullptr) {
    auto client = dial_tls(context);
    handshake(client);
    return client;
  }
  // Connected over TCP, waiting in the listener's queue; no handshake yet.
  std::shared_ptr<tls_client_t> dial_tls(ssl::context* context = nullptr) {
    if (!context) {
      vl::BrelConfig c = tls_config();
      c.set_load_balance_ssl_certificate(certs.client.cert_file);
      c.set_load_balance_ssl_key(certs.client.key_file);
      client_settings_ = std::make_unique<bk_ssl_settings_t>(c);
      client_settings_->prepare();
      context = &client_settings_->context();
    }
    auto client = std::make_shared<tls_client_t>();
    client->stream = std::make_shared<cf_ssl_stream_t>(fx.io(), *context);
    client->stream->next_layer().connect(listening());
    sockets_.push_back(
        std::shared_ptr<cf_tcp_socket_t>(client->stream, &client->stream->next_layer()));
    return client;
  }
  void handshake(const std::shared_ptr<tls_client_t>& client) {
    client->stream->async_handshake(ssl::stream_base::client,
                                    [client](const boost::system::error_code& error) {
                                      client->done = true;
                                      client->error = error;
                                      if (!error) client->end = tls_end_t::open(client->stream);
                                    });
  }

  bool run(const std::function<bool()>& done) { return fx.run_until(done); }
  // The first message is STATUS; the peer then says HELLO.
  template <class End>
  bool greeted(End& end) {
    if (!run([&] { return !end.messages.empty() || end.ended; })) return false;
    if (end.messages.empty() || end.messages.front().tag() != server_t::STATUS) return false;
    end.messages.pop_front();
    client_t hello = peer_message(client_t::HELLO, 0);
    hello.set_protocol_version(1);
    end.send(hello);
    return true;
  }
  bool greeted(tls_client_t& client) {
    return run([&] { return client.done; }) && client.end && greeted(*client.end);
  }
  // The link still carries requests: an unknown job draws its alarm.
  template <class End>
  bool answers(End& end) {
    const uint32_t job_id = ++last_job_;
    end.send(peer_message(client_t::GET_DATA_REQUEST, job_id));
    return run([&] {
             return end.ended || (!end.messages.empty() && end.messages.back().job_id() == job_id);
           }) &&
           !end.ended && end.messages.back().tag() == server_t::ALARM;
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  temp_dir_t dir;
  test_certs_t certs = make_test_certs(dir.path().string());

 private:
  std::unique_ptr<bk_ssl_settings_t> client_settings_;
  std::vector<std::shared_ptr<cf_tcp_socket_t>> sockets_;
  uint32_t last_job_ = 0;
};

TEST_F(PeerAcceptorTest, LetsInOnlyAllowedAddressesAndEvictsThoseNoLongerAllowed) {
  first(config());
  auto stranger = plain_end_t::open(dial("127.0.0.2"), kPeerLinkLimit);
  ASSERT_TRUE(run([&] { return stranger->ended; }));
  EXPECT_TRUE(stranger->messages.empty());

  auto allowed = peer_end_t::connect(fx.io(), listening());
  ASSERT_TRUE(greeted(*allowed));
  ASSERT_TRUE(answers(*allowed));
  next(config(0, "127.0.0.2"));
  ASSERT_TRUE(run([&] { return allowed->ended; }));
}

TEST_F(PeerAcceptorTest, LogsWhereItListensAndWhomItRefuses) {
  first(config());
  EXPECT_TRUE(log->has_line("Info: Peer acceptor on " + endpoint_text(listening()) + " started"));
  auto stranger = dial("127.0.0.2");
  const std::string refused =
      "Warning: Connection from " + endpoint_text(stranger->local_endpoint()) + " is not allowed";
  auto end = plain_end_t::open(stranger, kPeerLinkLimit);
  ASSERT_TRUE(run([&] { return end->ended; }));
  EXPECT_TRUE(log->has_line(refused));
}

TEST_F(PeerAcceptorTest, RefusesPeersThatFailOrStallTheHandshakeAndLetsAGoodOneIn) {
  first(tls_config());
  // No client certificate.
  ssl::context bare(ssl::context::tls_client);
  auto anonymous = connect_tls(&bare);
  const std::string anonymous_at = endpoint_text(anonymous->stream->next_layer().local_endpoint());
  ASSERT_TRUE(run([&] { return anonymous->done; }));
  EXPECT_TRUE(anonymous->error);
  ASSERT_TRUE(
      run([&] { return log->has("Warning: SSL handshake with " + anonymous_at + " failed: "); }));

  // Connects and never speaks.
  acceptor().set_handshake_timeout(200ms);
  auto silent = peer_end_t::connect(fx.io(), listening());
  ASSERT_TRUE(run([&] { return silent->ended; }));
  EXPECT_TRUE(log->has_line("Warning: SSL handshake with " +
                            endpoint_text(silent->socket()->local_endpoint()) +
                            " failed: SSL handshake timed out"));

  auto good = connect_tls();
  ASSERT_TRUE(greeted(*good));
  ASSERT_TRUE(answers(*good->end));
}

TEST_F(PeerAcceptorTest, LogsEachTlsPeerItLetsIn) {
  first(tls_config());
  auto good = connect_tls();
  ASSERT_TRUE(greeted(*good));
  EXPECT_TRUE(log->has("Debug: Accepted SSL-connection from " +
                       endpoint_text(good->stream->next_layer().local_endpoint())));
}

TEST_F(PeerAcceptorTest, PeerStruckOffTheListDuringItsHandshakeIsTurnedAwayAfterIt) {
  first(tls_config());
  auto struck = dial_tls();
  const tcp::endpoint struck_at = struck->stream->next_layer().local_endpoint();
  // The listener takes connections in order: once the stranger dialled after it
  // was turned away, the first one was let in and waits for its handshake.
  auto stranger = dial("127.0.0.2");
  const std::string stranger_at = endpoint_text(stranger->local_endpoint());
  ASSERT_TRUE(run([&] { return log->has("Connection from " + stranger_at + " is not allowed"); }));
  EXPECT_FALSE(log->has("Connection from " + endpoint_text(struck_at)));

  next(config(0, "127.0.0.2", true));
  handshake(struck);
  ASSERT_TRUE(run([&] {
    return struck->done && (!struck->end || struck->end->ended || !struck->end->messages.empty());
  }));
  EXPECT_TRUE(!struck->end || struck->end->messages.empty()) << "The peer got a link";
  EXPECT_TRUE(
      log->has_line("Warning: Connection from " + endpoint_text(struck_at) + " is not allowed"));
  EXPECT_FALSE(fx.inventory().cluster->is_peer_in_connected(struck_at));
}

TEST_F(PeerAcceptorTest, SameSettingsKeepTheListenerAndANewPortMovesIt) {
  first(tls_config());
  const tcp::endpoint before = listening();
  auto early = connect_tls();
  ASSERT_TRUE(greeted(*early));
  // Waits in the listener's queue across the reconfiguration; a restart would reset it.
  auto queued = connect_tls();
  next(tls_config());
  EXPECT_EQ(listening(), before);
  ASSERT_TRUE(greeted(*queued));
  ASSERT_TRUE(answers(*early->end));

  // Another port: the old one refuses, links already accepted stay.
  const tcp::endpoint any(boost::asio::ip::address_v4::loopback(), 0);
  const unsigned short port = tcp::acceptor(fx.io(), any).local_endpoint().port();
  next(tls_config(port));
  boost::system::error_code refused;
  tcp::socket(fx.io()).connect(before, refused);
  EXPECT_EQ(refused, boost::asio::error::connection_refused);
  ASSERT_TRUE(greeted(*connect_tls()));
  ASSERT_TRUE(answers(*early->end));
}

TEST_F(PeerAcceptorTest, ServerSocketAddedLaterListensWithTheSettingsKept) {
  vl::BrelConfig without = tls_config();
  without.clear_load_balance_server_socket();
  first(without);
  EXPECT_FALSE(acceptor().local_endpoint());

  next(tls_config());
  auto peer = connect_tls();
  ASSERT_TRUE(greeted(*peer));
}

TEST_F(PeerAcceptorTest, ANewCaPathRestartsTheListenerOnItsPortAndKeepsItsLinks) {
  const tcp::endpoint any(boost::asio::ip::address_v4::loopback(), 0);
  const unsigned short port = tcp::acceptor(fx.io(), any).local_endpoint().port();
  first(tls_config(port));
  auto early = connect_tls();
  ASSERT_TRUE(greeted(*early));

  // The same CA by another path: a connection waiting in the old listener's queue
  // is reset, the new listener takes the next one.
  vl::BrelConfig hashed = tls_config(port);
  hashed.set_load_balance_ssl_ca(certs.hashed_dir);
  auto reset = connect_tls();
  next(hashed);
  ASSERT_TRUE(run([&] { return reset->done; }));
  EXPECT_TRUE(reset->error);
  EXPECT_EQ(listening().port(), port);
  auto renewed = connect_tls();
  ASSERT_TRUE(greeted(*renewed));
  ASSERT_TRUE(answers(*early->end));
}

TEST_F(PeerAcceptorTest, FailedAcceptIsLoggedAndRetried) {
  acceptor().set_accept_retry_delay(20ms);
  first(config());
  auto socket = dial();
  ASSERT_TRUE(run_short_of_descriptors(*log, "Error: Peer acceptor: Too many open files",
                                       [this](auto done) { return run(done); }));
  auto end = plain_end_t::open(socket, kPeerLinkLimit);
  ASSERT_TRUE(greeted(*end));
}

// One accept fails with `error`; what the acceptor does next depends on its kind.
struct accept_failure_t {
  const char* name;
  int error;
  enum outcome_t { after_pause, at_once, ends } outcome;
};
// Names the case in gtest's messages.
void PrintTo(const accept_failure_t& failure, std::ostream* out) {
  *out << failure.name;
}

class PeerAcceptFailureTest : public PeerAcceptorTest,
                              public ::testing::WithParamInterface<accept_failure_t> {};

TEST_P(PeerAcceptFailureTest, ShortageWaitsLostConnectionDoesNotBrokenListenerEndsTheDaemon) {
  const accept_failure_t& failure = GetParam();
  const boost::system::error_code error(failure.error, boost::system::system_category());
  // Long enough to tell an accept after the pause from one at once.
  const auto pause = failure.outcome == accept_failure_t::at_once
                         ? std::chrono::steady_clock::duration(std::chrono::hours(1))
                         : std::chrono::steady_clock::duration(100ms);
  acceptor().set_accept_retry_delay(pause);
  acceptor().fail_next_accept(error);
  const auto started = std::chrono::steady_clock::now();
  first(config());
  auto socket = dial();

  if (failure.outcome == accept_failure_t::ends) {
    const std::exception_ptr thrown = failure_of([this] { run([] { return false; }); });
    ASSERT_TRUE(thrown) << "the failure did not leave the event loop";
    EXPECT_EQ(exception_ptr_text(thrown), "Peer acceptor: " + error.message());
    // What the daemon's exit status becomes.
    EXPECT_EQ(exception_ptr_to_error_enum(thrown), vl::EC_INVALID_ARGUMENT);
    return;
  }
  // The peer waiting in the queue is taken by the accept after the failed one.
  auto end = plain_end_t::open(socket, kPeerLinkLimit);
  ASSERT_TRUE(greeted(*end));
  const char* level = failure.outcome == accept_failure_t::at_once ? "Debug" : "Error";
  EXPECT_TRUE(log->has(std::string(level) + ": Peer acceptor: " + error.message()));
  if (failure.outcome == accept_failure_t::after_pause) {
    EXPECT_GE(std::chrono::steady_clock::now() - started, pause);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, PeerAcceptFailureTest,
    ::testing::Values(accept_failure_t{"OutOfMemory", ENOMEM, accept_failure_t::after_pause},
                      accept_failure_t{"HostUnreachable", EHOSTUNREACH, accept_failure_t::at_once},
                      accept_failure_t{"InvalidArgument", EINVAL, accept_failure_t::ends}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
