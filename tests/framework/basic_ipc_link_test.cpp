#include "framework/basic_ipc_link.h"

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wrappers.pb.h>
#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/write.hpp>

#include "tests/support/frame.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// A small limit keeps most tests fast; the real limits have their own test.
constexpr std::uint32_t kSmallLimit = 4096;

// What a link reported; outlives the link so tests can check a destroyed link's record.
struct link_record_t {
  std::vector<std::string> messages;
  int blocks = 0;  // blocks the body streams yielded, one per message
  std::vector<error_code> errors;
  std::string notices;  // 'b' send begin, 's' sent, 'i' idle
};

template <class Link>
class test_link_t : public Link, public std::enable_shared_from_this<test_link_t<Link>> {
 public:
  test_link_t(std::uint32_t limit, std::shared_ptr<link_record_t> record)
      : Link(limit), record_(std::move(record)) {}

  void start(std::shared_ptr<typename Link::stream_type> stream) {
    this->set_socket(std::move(stream));
    this->read_header();
  }
  void close() {
    error_code ignored;
    this->socket()->lowest_layer().close(ignored);
  }
  bool close_on_message = false;
  // The body on whose delivery the link pauses itself.
  std::string pause_on;

 protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    std::string message;
    const void* data;
    int size;
    for (; body.Next(&data, &size); ++record_->blocks)
      message.append(static_cast<const char*>(data), size);
    if (message == pause_on) this->pause_reading();
    record_->messages.push_back(std::move(message));
    if (close_on_message) close();
  }
  void on_error(const error_code& code) override { record_->errors.push_back(code); }
  std::shared_ptr<Link> shared_this() override { return this->shared_from_this(); }
  void on_send_begin() override { record_->notices += 'b'; }
  void on_sent() override { record_->notices += 's'; }
  void on_send_idle() override { record_->notices += 'i'; }

 private:
  std::shared_ptr<link_record_t> record_;
};

// Joins the two ends of a transport: a socket pair, or TCP over loopback.
void join(asio::io_context&, cf_local_socket_t& near, cf_local_socket_t& far) {
  asio::local::connect_pair(near, far);
}
void join(asio::io_context& io, asio::ip::tcp::socket& near, asio::ip::tcp::socket& far) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  far.connect(acceptor.local_endpoint());
  acceptor.accept(near);
  near.set_option(asio::ip::tcp::no_delay(true));
  far.set_option(asio::ip::tcp::no_delay(true));
}

// Transports: each connects `near` (given to the link under test) with `far` (driven
// raw by the test) on the given loop.
template <class Link, std::uint32_t Limit>
struct plain_transport_t {
  using link_type = Link;
  using stream_type = typename Link::stream_type;
  static constexpr std::uint32_t real_limit = Limit;

  explicit plain_transport_t(asio::io_context& io)
      : near(std::make_shared<stream_type>(io)), far(std::make_shared<stream_type>(io)) {
    join(io, *near, *far);
  }
  void end_far() { far->close(); }

  std::shared_ptr<stream_type> near, far;
};
using local_transport_t = plain_transport_t<cf_local_ipc_link_t, kIpcLinkLimit>;
using tcp_transport_t = plain_transport_t<cf_tcp_ipc_link_t, kPeerLinkLimit>;

struct ssl_transport_t {
  using link_type = cf_ssl_ipc_link_t;
  using stream_type = cf_ssl_stream_t;
  static constexpr std::uint32_t real_limit = kPeerLinkLimit;

  explicit ssl_transport_t(asio::io_context& io) : certs(make_test_certs(dir.path().string())) {
    server_context.use_certificate_chain_file(certs.server.cert_file);
    server_context.use_private_key_file(certs.server.key_file, asio::ssl::context::pem);
    near = std::make_shared<stream_type>(io, server_context);
    far = std::make_shared<stream_type>(io, client_context);
    join(io, near->next_layer(), far->next_layer());
    std::vector<error_code> codes;
    near->async_handshake(asio::ssl::stream_base::server,
                          [&](const error_code& code) { codes.push_back(code); });
    far->async_handshake(asio::ssl::stream_base::client,
                         [&](const error_code& code) { codes.push_back(code); });
    if (!run_until(io, [&] { return codes.size() == 2; }) || codes[0] || codes[1])
      throw std::runtime_error("handshake failed");
  }
  // A TLS peer ends its stream with close_notify; it waits for ours, which never comes.
  void end_far() {
    far->async_shutdown([](const error_code&) {});
  }

  temp_dir_t dir;
  test_certs_t certs;
  asio::ssl::context server_context{asio::ssl::context::tls};
  asio::ssl::context client_context{asio::ssl::context::tls};
  std::shared_ptr<stream_type> near, far;
};

// A body whose bytes depend on their position, so misplaced bytes show.
std::string patterned(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131 + i / 251);
  return body;
}

// A message whose serialised size is exactly `size` (at least 3): a tag byte, the
// length's varint, the value.
google::protobuf::BytesValue message_of_size(std::size_t size) {
  google::protobuf::BytesValue message;
  for (std::size_t prefix = 1; prefix <= 5; ++prefix) {
    if (google::protobuf::io::CodedOutputStream::VarintSize64(size - 1 - prefix) == prefix) {
      message.set_value(patterned(size - 1 - prefix));
      break;
    }
  }
  EXPECT_EQ(message.ByteSizeLong(), size);
  return message;
}

template <class Transport>
class BasicIpcLinkTest : public ::testing::Test {
 protected:
  using link_type = typename Transport::link_type;

  void start_link(std::uint32_t limit = kSmallLimit) {
    link = std::make_shared<test_link_t<link_type>>(limit, record);
    link->start(transport.near);
  }

  bool wait_for(const std::function<bool()>& done) { return run_until(io, done); }

  void far_write(const std::string& bytes) {
    bool written = false;
    asio::async_write(*transport.far, asio::buffer(bytes),
                      [&](const error_code& code, std::size_t) {
                        EXPECT_FALSE(code) << code.message();
                        written = true;
                      });
    ASSERT_TRUE(wait_for([&] { return written; }));
  }

  std::string far_read(std::size_t size) {
    std::string bytes(size, '\0');
    bool read = false;
    asio::async_read(*transport.far, asio::buffer(&bytes[0], size),
                     [&](const error_code& code, std::size_t) {
                       EXPECT_FALSE(code) << code.message();
                       read = true;
                     });
    EXPECT_TRUE(wait_for([&] { return read; }));
    return bytes;
  }

  // A refused header stops the loop: no read holds the link any more.
  void expect_refused_and_stopped() {
    ASSERT_TRUE(wait_for([&] { return !record->errors.empty(); }));
    EXPECT_EQ(record->errors.front(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
    EXPECT_EQ(link.use_count(), 1);
    far_write(frame_of("late"));
    EXPECT_EQ(link.use_count(), 1);
    EXPECT_EQ(record->errors.size(), 1u);
  }

  asio::io_context io;
  Transport transport{io};
  std::shared_ptr<link_record_t> record = std::make_shared<link_record_t>();
  std::shared_ptr<test_link_t<link_type>> link;
};

using transports_t = ::testing::Types<local_transport_t, tcp_transport_t, ssl_transport_t>;
struct transport_names_t {
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, local_transport_t>() ? "Local"
           : std::is_same<T, tcp_transport_t>() ? "Tcp"
                                                : "Tls";
  }
};
TYPED_TEST_SUITE(BasicIpcLinkTest, transports_t, transport_names_t);

TYPED_TEST(BasicIpcLinkTest, ExchangesOneByteAndExactlyTheLimitAndRefusesOneMore) {
  constexpr std::uint32_t kLimit = TypeParam::real_limit;
  this->start_link(kLimit);
  const std::string largest = patterned(kLimit);
  this->far_write(frame_of("x") + frame_of(largest));
  ASSERT_TRUE(this->wait_for([&] { return this->record->messages.size() == 2; }));
  EXPECT_EQ(this->record->messages[0], "x");
  EXPECT_TRUE(this->record->messages[1] == largest);
  EXPECT_EQ(this->record->blocks, 2);

  const auto message = message_of_size(kLimit);
  this->link->async_send_message(message);
  EXPECT_TRUE(this->far_read(4 + kLimit) == frame_of(message.SerializeAsString()));

  this->far_write(length_prefix(kLimit + 1));
  this->expect_refused_and_stopped();
  EXPECT_EQ(this->record->messages.size(), 2u);
}

TYPED_TEST(BasicIpcLinkTest, ReassemblesFrameSplitOverManyWrites) {
  this->start_link();
  const std::string frame = frame_of(patterned(100));
  for (std::size_t at = 0; at < frame.size(); at += 7) this->far_write(frame.substr(at, 7));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  EXPECT_EQ(this->record->messages, std::vector<std::string>{patterned(100)});
}

TYPED_TEST(BasicIpcLinkTest, QueuedSendsLeaveTogetherInOrderAndAnOversizedOneQueuesNothing) {
  this->link =
      std::make_shared<test_link_t<typename TestFixture::link_type>>(kSmallLimit, this->record);
  std::string expected;
  auto send = [&](std::size_t size) {
    const auto message = message_of_size(size);
    this->link->async_send_message(message);
    expected += frame_of(message.SerializeAsString());
  };
  // Before the link has its socket, a send waits in the queue.
  send(5);
  this->link->start(this->transport.near);
  send(6);
  // The first write is out; the rest wait for its completion.
  EXPECT_EQ(this->record->notices, "b");
  send(7);
  try {
    this->link->async_send_message(message_of_size(kSmallLimit + 1));
    FAIL() << "an oversized message was queued";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
    EXPECT_NE(std::string(e.what()).find("async_send_message"), std::string::npos);
  }
  send(8);
  ASSERT_TRUE(this->wait_for([&] { return this->record->notices.size() == 5; }));
  EXPECT_EQ(this->record->notices, "bsbsi");
  EXPECT_EQ(this->far_read(expected.size()), expected);
}

TYPED_TEST(BasicIpcLinkTest, ReportsEndOfFileAsEof) {
  this->start_link();
  this->transport.end_far();
  ASSERT_TRUE(this->wait_for([&] { return !this->record->errors.empty(); }));
  EXPECT_EQ(this->record->errors, std::vector<error_code>{error_code(asio::error::eof)});
}

TYPED_TEST(BasicIpcLinkTest, ClosingInOnMessageEndsTheLoopQuietly) {
  this->start_link();
  this->link->close_on_message = true;
  this->far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  EXPECT_EQ(this->link.use_count(), 1);
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(this->record->errors.empty());
}

TYPED_TEST(BasicIpcLinkTest, ClosedLinkGetsNoLateCallAndIsReleased) {
  // A body larger than any socket buffer keeps the write outstanding: the far end
  // does not read.
  constexpr std::uint32_t kLarge = 16 * 1024 * 1024;
  this->start_link(kLarge);
  this->link->async_send_message(message_of_size(kLarge));
  ASSERT_EQ(this->record->notices, "b");
  this->link->close();
  EXPECT_FALSE(this->link->is_open());
  // Queued on a closed link; its write is never reported.
  this->link->async_send_message(message_of_size(10));
  std::weak_ptr<test_link_t<typename TestFixture::link_type>> weak = this->link;
  this->link.reset();
  ASSERT_TRUE(this->wait_for([&] { return weak.expired(); }));
  EXPECT_EQ(this->record->notices, "b");
  EXPECT_TRUE(this->record->errors.empty());
  EXPECT_TRUE(this->record->messages.empty());
}

TYPED_TEST(BasicIpcLinkTest, PausedLinkKeepsReceivedFramesAndResumeHandsThemOutInOrder) {
  this->start_link();
  this->link->pause_on = "one";
  this->far_write(frame_of("one") + frame_of("two") + frame_of("three"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  // Marker: a frame sent and received while the link waits.
  this->link->async_send_message(message_of_size(5));
  this->far_read(4 + 5);
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
  this->far_write(frame_of("four"));
  this->link->resume_reading();
  // A pause and a resume before the frames follow change nothing, and the frames
  // never follow from inside the call.
  this->link->pause_reading();
  this->link->resume_reading();
  EXPECT_EQ(this->record->messages.size(), 1u);
  ASSERT_TRUE(this->wait_for([&] { return this->record->messages.size() == 4; }));
  EXPECT_EQ(this->record->messages, (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_TRUE(this->record->errors.empty());
}

TYPED_TEST(BasicIpcLinkTest, ClosingAPausedLinkIsQuietAndLetsItGo) {
  this->start_link();
  this->link->pause_on = "one";
  this->far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  this->link->close();
  this->link->resume_reading();
  std::weak_ptr<test_link_t<typename TestFixture::link_type>> weak = this->link;
  this->link.reset();
  ASSERT_TRUE(this->wait_for([&] { return weak.expired(); }));
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(this->record->errors.empty());
}

TYPED_TEST(BasicIpcLinkTest, APeerHangingUpOnAPausedLinkIsReportedAtOnce) {
  this->start_link();
  this->link->pause_on = "one";
  this->far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  // The peer goes with an answer unread, as a client that never reads does.
  this->link->async_send_message(message_of_size(5));
  ASSERT_TRUE(this->wait_for([&] { return this->record->notices == "bsi"; }));
  this->transport.far->lowest_layer().close();
  ASSERT_TRUE(this->wait_for([&] { return !this->record->errors.empty(); }));
  EXPECT_EQ(this->record->errors,
            std::vector<error_code>{error_code(asio::error::connection_reset)});
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
}

TEST(IpcBuffer, KeepsContentAndStorageAndStopsAtThirtyTwoBits) {
  cf_ipc_buffer_t buffer;
  buffer.resize(10, false);
  std::memcpy(buffer.data(), "0123456789", 10);
  buffer.resize(40, false);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 10), "0123456789");
  const std::uint8_t* storage = buffer.data();
  buffer.resize(0, true);
  buffer.resize(40, true);
  EXPECT_EQ(buffer.data(), storage);

  constexpr std::uint32_t kMax = cf_ipc_buffer_t::max_size;
  EXPECT_TRUE(cf_ipc_buffer_t::fits(kMax - 10, 10));
  EXPECT_FALSE(cf_ipc_buffer_t::fits(kMax - 10, 11));
  EXPECT_FALSE(cf_ipc_buffer_t::fits(kMax, ~std::uint64_t{0}));
  EXPECT_EQ(cf_ipc_buffer_t::grown_capacity(0xC0000000u, 0xC0000001u), kMax);
}

}  // namespace
