// A peer connection over loopback TCP (the TLS one is the same template over
// another stream): the 10 MiB limit in both directions.
#include "cluster/peer_connection.h"

#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wrappers.pb.h>
#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"

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

class PeerConnectionTest : public ::testing::Test {
 protected:
  PeerConnectionTest() {
    tcp::acceptor acceptor(fx.io(), {asio::ip::address_v4::loopback(), 0});
    far.connect(acceptor.local_endpoint());
    acceptor.accept(*near);
  }
  ~PeerConnectionTest() override {
    // As a tie does: close before the delegate goes, then let the aborted
    // completions release the connection.
    connection->close_quietly("test");
    fx.io().restart();
    fx.io().poll();
  }
  void start() {
    connection->start(near);
    connection->set_delegate(&delegate);
  }

  bk_inventory_fixture_t fx;
  std::shared_ptr<cf_tcp_socket_t> near = std::make_shared<cf_tcp_socket_t>(fx.io());
  tcp::socket far{fx.io()};
  recording_delegate_t delegate;
  std::shared_ptr<bk_peer_connection_plain_t> connection =
      std::make_shared<bk_peer_connection_plain_t>(fx.inventory());
};

TEST_F(PeerConnectionTest, CarriesTenMebibytesAndRefusesOneByteMore) {
  start();
  const auto largest = message_of_size(kPeerLinkLimit);
  connection->send(largest);
  std::string sent(4 + kPeerLinkLimit, '\0');
  bool read = false;
  asio::async_read(far, asio::buffer(&sent[0], sent.size()),
                   [&](const error_code&, std::size_t) { read = true; });
  ASSERT_TRUE(fx.run_until([&] { return read; }));
  EXPECT_TRUE(sent == frame_of(largest.SerializeAsString()));
  EXPECT_EQ(delegate.notices, "bsi");
  try {
    connection->send(message_of_size(kPeerLinkLimit + 1));
    ADD_FAILURE() << "sent";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
  }

  const std::string body(kPeerLinkLimit, 'p');
  const std::string bytes = frame_of(body) + length_prefix(kPeerLinkLimit + 1);
  asio::async_write(far, asio::buffer(bytes), [](const error_code&, std::size_t) {});
  ASSERT_TRUE(fx.run_until([&] { return !delegate.errors.empty(); }));
  ASSERT_EQ(delegate.messages.size(), 1u);
  EXPECT_TRUE(delegate.messages[0] == body);
  EXPECT_EQ(delegate.errors, std::vector<error_code>{make_error_code(vl::EC_BAD_MESSAGE_SIZE)});
}

}  // namespace
