// Peer connections over plain TCP and over TLS on loopback: the 10 MiB limit in
// both directions, what reaches the delegate, and the ends of a connection's life.
#include "cluster/peer_connection.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wrappers.pb.h>
#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/ssl_settings.h"
#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

struct recording_delegate_t : bk_peer_connection_t::delegate {
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    std::string message;
    const void* data;
    int size;
    while (body.Next(&data, &size)) message.append(static_cast<const char*>(data), size);
    messages.push_back(std::move(message));
  }
  void on_error(const error_code& code) override { errors.push_back(code); }
  void on_send_idle() override { notices += 'i'; }
  void on_send_begin() override { notices += 'b'; }
  void on_sent() override { notices += 's'; }

  std::vector<std::string> messages;
  std::vector<error_code> errors;
  std::string notices;  // 'b' send begin, 's' sent, 'i' idle
};

// A message whose serialised size is exactly `size` (at least 7): a tag byte, the
// length's varint, the value.
google::protobuf::BytesValue message_of_size(std::size_t size) {
  google::protobuf::BytesValue message;
  for (std::size_t prefix = 1; prefix <= 5; ++prefix) {
    if (google::protobuf::io::CodedOutputStream::VarintSize64(size - 1 - prefix) == prefix) {
      message.set_value(std::string(size - 1 - prefix, 'm'));
      break;
    }
  }
  return message;
}

void connect_pair(asio::io_context& io, tcp::socket& near, tcp::socket& far) {
  tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  far.connect(acceptor.local_endpoint());
  acceptor.accept(near);
}

// Each transport joins `near` (the connection's stream) with `far` (driven raw by
// the test), both on the given loop.
struct plain_transport_t {
  using connection_type = bk_peer_connection_plain_t;
  using stream_type = cf_tcp_socket_t;

  explicit plain_transport_t(asio::io_context& io)
      : near(std::make_shared<stream_type>(io)), far(std::make_shared<stream_type>(io)) {
    connect_pair(io, *near, *far);
  }
  tcp::socket& far_socket() { return *far; }
  std::shared_ptr<stream_type> unconnected(asio::io_context& io) {
    return std::make_shared<stream_type>(io, tcp::v4());
  }

  std::shared_ptr<stream_type> near, far;
};

struct tls_transport_t {
  using connection_type = bk_peer_connection_ssl_t;
  using stream_type = cf_ssl_stream_t;

  explicit tls_transport_t(asio::io_context& io) : certs(make_test_certs(dir.path().string())) {
    vl::BrelConfig config;
    config.set_load_balance_use_ssl(true);
    config.set_load_balance_ssl_certificate(certs.server.cert_file);
    config.set_load_balance_ssl_key(certs.server.key_file);
    config.set_load_balance_ssl_ca(certs.ca_file);
    settings = std::make_unique<bk_ssl_settings_t>(config);
    settings->prepare();
    near = std::make_shared<stream_type>(io, settings->context());
    far = std::make_shared<stream_type>(io, settings->context());
    connect_pair(io, near->next_layer(), far->next_layer());
    int succeeded = 0;
    auto count = [&succeeded](const std::exception_ptr& error) { succeeded += !error; };
    bk_ssl_handshake(near, asio::ssl::stream_base::server, count);
    bk_ssl_handshake(far, asio::ssl::stream_base::client, count);
    if (!run_until(io, [&] { return succeeded == 2; }))
      throw std::runtime_error("TLS handshake failed");
  }
  tcp::socket& far_socket() { return far->next_layer(); }
  std::shared_ptr<stream_type> unconnected(asio::io_context& io) {
    auto stream = std::make_shared<stream_type>(io, settings->context());
    stream->next_layer().open(tcp::v4());
    return stream;
  }

  temp_dir_t dir;
  test_certs_t certs;
  std::unique_ptr<bk_ssl_settings_t> settings;
  std::shared_ptr<stream_type> near, far;
};

// The cases every kind of peer connection must meet, over a transport above.
template <class Transport>
class PeerConnectionKindsTest : public ::testing::Test {
 protected:
  using connection_type = typename Transport::connection_type;

  ~PeerConnectionKindsTest() override {
    // As a tie does: close before the delegate goes, then let the aborted
    // completions release the connection.
    connection->close_quietly("test");
    io().restart();
    io().poll();
  }

  asio::io_context& io() { return fx.io(); }

  void start() {
    connection->start(transport.near);
    connection->set_delegate(&delegate);
  }

  bool wait_for(const std::function<bool()>& done) { return run_until(io(), done); }

  void far_write(const std::string& bytes) {
    bool written = false;
    asio::async_write(*transport.far, asio::buffer(bytes),
                      [&](const error_code& code, std::size_t) {
                        EXPECT_FALSE(code) << code.message();
                        written = true;
                      });
    ASSERT_TRUE(wait_for([&] { return written; }));
  }

  // Reads `size` bytes, or what comes before the stream ends (`end` then holds why).
  std::string far_read(std::size_t size, error_code* end = nullptr) {
    std::string bytes(size, '\0');
    bool read = false;
    asio::async_read(*transport.far, asio::buffer(&bytes[0], size),
                     [&](const error_code& code, std::size_t count) {
                       if (end)
                         *end = code;
                       else
                         EXPECT_FALSE(code) << code.message();
                       bytes.resize(count);
                       read = true;
                     });
    EXPECT_TRUE(wait_for([&] { return read; }));
    return bytes;
  }

  bk_inventory_fixture_t fx;
  Transport transport{io()};
  recording_delegate_t delegate;
  std::shared_ptr<connection_type> connection = std::make_shared<connection_type>(fx.inventory());
};

using transports_t = ::testing::Types<plain_transport_t, tls_transport_t>;
struct transport_names_t {
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, plain_transport_t>() ? "Tcp" : "Tls";
  }
};
TYPED_TEST_SUITE(PeerConnectionKindsTest, transports_t, transport_names_t);

TYPED_TEST(PeerConnectionKindsTest, PeerDroppingTcpIsEndOfFile) {
  this->start();
  // A TLS peer that dies sends no close notification either.
  this->transport.far_socket().close();
  ASSERT_TRUE(this->wait_for([&] { return !this->delegate.errors.empty(); }));
  EXPECT_EQ(this->delegate.errors, std::vector<error_code>{make_error_code(asio::error::eof)});
}

TYPED_TEST(PeerConnectionKindsTest, SendAfterCloseQueuesAndReportsNothing) {
  this->start();
  this->connection->close();
  EXPECT_FALSE(this->connection->is_open());
  this->connection->send(message_of_size(16));
  error_code end;
  EXPECT_EQ(this->far_read(1, &end), "");
  EXPECT_TRUE(end);
  EXPECT_EQ(this->delegate.notices, "");
  EXPECT_TRUE(this->delegate.errors.empty());
}

TYPED_TEST(PeerConnectionKindsTest, RemoteEndpointOutlivesClose) {
  this->start();
  const tcp::endpoint far_end = this->transport.far_socket().local_endpoint();
  EXPECT_EQ(this->connection->remote_endpoint(), far_end);
  this->connection->close();
  EXPECT_EQ(this->connection->remote_endpoint(), far_end);
}

TYPED_TEST(PeerConnectionKindsTest, StartWithoutReadablePeerThrowsAndReadsNothing) {
  try {
    this->connection->start(this->transport.unconnected(this->io()));
    ADD_FAILURE() << "started";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("remote_endpoint", 0), 0u) << e.what();
  }
  EXPECT_FALSE(this->connection->is_open());
  // No read holds the connection.
  EXPECT_EQ(this->connection.use_count(), 1);
}

// Over TLS the frames cross many records.
TYPED_TEST(PeerConnectionKindsTest, CarriesTenMebibytesAndRefusesOneByteMore) {
  this->start();
  const auto largest = message_of_size(kPeerLinkLimit);
  this->connection->send(largest);
  EXPECT_TRUE(this->far_read(4 + kPeerLinkLimit) == frame_of(largest.SerializeAsString()));
  EXPECT_EQ(this->delegate.notices, "bsi");
  try {
    this->connection->send(message_of_size(kPeerLinkLimit + 1));
    ADD_FAILURE() << "sent";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
  }

  const std::string body(kPeerLinkLimit, 'p');
  this->far_write(frame_of(body) + length_prefix(kPeerLinkLimit + 1));
  ASSERT_TRUE(this->wait_for([&] { return !this->delegate.errors.empty(); }));
  ASSERT_EQ(this->delegate.messages.size(), 1u);
  EXPECT_TRUE(this->delegate.messages[0] == body);
  EXPECT_EQ(this->delegate.errors,
            std::vector<error_code>{make_error_code(vl::EC_BAD_MESSAGE_SIZE)});
}

}  // namespace
