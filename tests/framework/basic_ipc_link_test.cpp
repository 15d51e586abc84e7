#include "framework/basic_ipc_link.h"

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wrappers.pb.h>
#include <gtest/gtest.h>
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

// A small limit keeps most tests fast; the real limits have their own cases.
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
  std::string pause_on;  // the body on whose delivery the link pauses itself

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

// The same link over each stream the daemon uses: a UNIX socket pair, TCP over
// loopback and TLS over that, each at its real limit. TLS carries the frames in
// records of its own and ends with close_notify.

struct local_transport_t {
  using link_type = cf_local_ipc_link_t;
  using stream_type = cf_local_socket_t;
  static constexpr std::uint32_t real_limit = kIpcLinkLimit;

  explicit local_transport_t(asio::io_context& io)
      : near(std::make_shared<stream_type>(io)), far(std::make_shared<stream_type>(io)) {
    asio::local::connect_pair(*near, *far);
  }
  void end_far() { far->close(); }

  std::shared_ptr<stream_type> near, far;
};

void join(asio::io_context& io, asio::ip::tcp::socket& near, asio::ip::tcp::socket& far) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  far.connect(acceptor.local_endpoint());
  acceptor.accept(near);
  near.set_option(asio::ip::tcp::no_delay(true));
  far.set_option(asio::ip::tcp::no_delay(true));
}

struct tcp_transport_t {
  using link_type = cf_tcp_ipc_link_t;
  using stream_type = cf_tcp_socket_t;
  static constexpr std::uint32_t real_limit = kPeerLinkLimit;

  explicit tcp_transport_t(asio::io_context& io)
      : near(std::make_shared<stream_type>(io)), far(std::make_shared<stream_type>(io)) {
    join(io, *near, *far);
  }
  void end_far() { far->close(); }

  std::shared_ptr<stream_type> near, far;
};

struct tls_transport_t {
  using link_type = cf_ssl_ipc_link_t;
  using stream_type = cf_ssl_stream_t;
  static constexpr std::uint32_t real_limit = kPeerLinkLimit;

  explicit tls_transport_t(asio::io_context& io) : certs(make_test_certs(dir.path().string())) {
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

template <class Transport>
class BasicIpcLinkTransportTest : public ::testing::Test {
 protected:
  using link_type = test_link_t<typename Transport::link_type>;

  void start_link(std::uint32_t limit = kSmallLimit) {
    link = std::make_shared<link_type>(limit, record);
    link->start(transport.near);
  }
  bool wait_for(const std::function<bool()>& done) { return run_until(io, done); }
  bool released() {
    std::weak_ptr<link_type> weak = link;
    link.reset();
    return wait_for([&] { return weak.expired(); });
  }

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
  std::shared_ptr<link_type> link;
};

struct transport_names_t {
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, local_transport_t>() ? "Local"
           : std::is_same<T, tcp_transport_t>() ? "Tcp"
                                                : "Tls";
  }
};

// The cases that need only the UNIX socket pair of the daemon's local links.
class BasicIpcLinkTest : public BasicIpcLinkTransportTest<local_transport_t> {
 protected:
  using link_t = link_type;

  bool wait_messages(std::size_t n) {
    return wait_for([&] { return record->messages.size() >= n; });
  }

  // `near` is given to the link under test, `far` is driven raw by the test.
  std::shared_ptr<cf_local_socket_t>& near = transport.near;
  std::shared_ptr<cf_local_socket_t>& far = transport.far;
};

TEST_F(BasicIpcLinkTest, ExchangesOneByteAndExactlyTheLimitAndRefusesOneMore) {
  // Past the look-ahead: a long frame is read to its end and no further.
  constexpr std::uint32_t kLimit = 1024 * 1024;
  start_link(kLimit);
  const std::string largest = patterned(kLimit);
  // The first frame trickles in, its header split too.
  const std::string first = frame_of("x");
  for (char byte : first) far_write(std::string(1, byte));
  far_write(frame_of(largest));
  ASSERT_TRUE(wait_messages(2));
  EXPECT_EQ(record->messages[0], "x");
  EXPECT_TRUE(record->messages[1] == largest);
  EXPECT_EQ(record->blocks, 2);

  const auto message = message_of_size(kLimit);
  link->async_send_message(message);
  EXPECT_TRUE(far_read(4 + kLimit) == frame_of(message.SerializeAsString()));

  // A refused header stops the loop: no read holds the link any more.
  far_write(length_prefix(kLimit + 1));
  ASSERT_TRUE(wait_for([&] { return !record->errors.empty(); }));
  EXPECT_EQ(record->errors.front(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
  EXPECT_EQ(link.use_count(), 1);
  far_write(frame_of("late"));
  EXPECT_EQ(link.use_count(), 1);
  EXPECT_EQ(record->errors.size(), 1u);
  EXPECT_EQ(record->messages.size(), 2u);
}

TEST_F(BasicIpcLinkTest, QueuedSendsLeaveTogetherInOrderAndAnOversizedOneQueuesNothing) {
  link = std::make_shared<link_t>(kSmallLimit, record);
  std::string expected;
  auto send = [&](std::size_t size) {
    const auto message = message_of_size(size);
    link->async_send_message(message);
    expected += frame_of(message.SerializeAsString());
  };
  // Before the link has its socket, a send waits in the queue.
  send(5);
  link->start(near);
  send(6);
  // The first write is out; the rest wait for its completion.
  EXPECT_EQ(record->notices, "b");
  send(7);
  try {
    link->async_send_message(message_of_size(kSmallLimit + 1));
    FAIL() << "an oversized message was queued";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_BAD_MESSAGE_SIZE));
    EXPECT_NE(std::string(e.what()).find("async_send_message"), std::string::npos);
  }
  send(8);
  ASSERT_TRUE(wait_for([&] { return record->notices.size() == 5; }));
  EXPECT_EQ(record->notices, "bsbsi");
  EXPECT_EQ(far_read(expected.size()), expected);

  far->close();
  ASSERT_TRUE(wait_for([&] { return !record->errors.empty(); }));
  EXPECT_EQ(record->errors, std::vector<error_code>{error_code(asio::error::eof)});
}

TEST_F(BasicIpcLinkTest, ClosingInOnMessageEndsTheLoopQuietly) {
  start_link();
  link->close_on_message = true;
  far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(wait_messages(1));
  EXPECT_EQ(link.use_count(), 1);
  EXPECT_EQ(record->messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(record->errors.empty());
}

TEST_F(BasicIpcLinkTest, ClosedPausedLinkWithAWriteOutGetsNoLateCallAndIsReleased) {
  // A body larger than any socket buffer keeps the write outstanding: the far end
  // does not read.
  constexpr std::uint32_t kLarge = 16 * 1024 * 1024;
  start_link(kLarge);
  link->pause_on = "one";
  far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(wait_messages(1));
  link->async_send_message(message_of_size(kLarge));
  ASSERT_EQ(record->notices, "b");
  link->close();
  EXPECT_FALSE(link->is_open());
  // Queued on a closed link; its write is never reported, nor the frame that waits.
  link->async_send_message(message_of_size(10));
  link->resume_reading();
  ASSERT_TRUE(released());
  EXPECT_EQ(record->notices, "b");
  EXPECT_TRUE(record->errors.empty());
  EXPECT_EQ(record->messages, std::vector<std::string>{"one"});
}

TEST_F(BasicIpcLinkTest, PausedLinkKeepsFramesResumesInOrderAndHearsAHangUpAtOnce) {
  start_link();
  link->pause_on = "one";
  far_write(frame_of("one") + frame_of("two") + frame_of("three"));
  ASSERT_TRUE(wait_messages(1));
  // Marker: a frame sent and received while the link waits.
  link->async_send_message(message_of_size(5));
  far_read(4 + 5);
  EXPECT_EQ(record->messages, std::vector<std::string>{"one"});
  far_write(frame_of("four"));
  link->resume_reading();
  // A pause and a resume before the frames follow change nothing, and the frames
  // never follow from inside the call.
  link->pause_reading();
  link->resume_reading();
  EXPECT_EQ(record->messages.size(), 1u);
  ASSERT_TRUE(wait_messages(4));
  EXPECT_EQ(record->messages, (std::vector<std::string>{"one", "two", "three", "four"}));

  // Paused again with a frame waiting, the peer goes with an answer unread, as a
  // client that never reads does: the link hears of it before the frame.
  link->pause_on = "five";
  far_write(frame_of("five") + frame_of("six"));
  ASSERT_TRUE(wait_messages(5));
  link->async_send_message(message_of_size(5));
  ASSERT_TRUE(wait_for([&] { return record->notices == "bsibsi"; }));
  far->close();
  ASSERT_TRUE(wait_for([&] { return !record->errors.empty(); }));
  EXPECT_EQ(record->errors, std::vector<error_code>{error_code(asio::error::connection_reset)});
  EXPECT_EQ(record->messages.size(), 5u);
}

template <class Transport>
class BasicIpcLinkAtItsLimitTest : public BasicIpcLinkTransportTest<Transport> {};
using all_transports_t = ::testing::Types<local_transport_t, tcp_transport_t, tls_transport_t>;
TYPED_TEST_SUITE(BasicIpcLinkAtItsLimitTest, all_transports_t, transport_names_t);

TYPED_TEST(BasicIpcLinkAtItsLimitTest, ExchangesOneByteAndExactlyTheLimitAndRefusesOneMore) {
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

// The UNIX link's cases above, over the peer links' streams.
template <class Transport>
class BasicIpcLinkOverTheNetworkTest : public BasicIpcLinkTransportTest<Transport> {};
using network_transports_t = ::testing::Types<tcp_transport_t, tls_transport_t>;
TYPED_TEST_SUITE(BasicIpcLinkOverTheNetworkTest, network_transports_t, transport_names_t);

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, RefusesEmptyFrameAndStopsReading) {
  this->start_link();
  this->far_write(length_prefix(0));
  this->expect_refused_and_stopped();
  EXPECT_TRUE(this->record->messages.empty());
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, ReassemblesFrameSplitOverManyWrites) {
  this->start_link();
  const std::string frame = frame_of(patterned(100));
  for (std::size_t at = 0; at < frame.size(); at += 7) this->far_write(frame.substr(at, 7));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  EXPECT_EQ(this->record->messages, std::vector<std::string>{patterned(100)});
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest,
           QueuedSendsLeaveTogetherInOrderAndAnOversizedOneQueuesNothing) {
  this->link = std::make_shared<typename TestFixture::link_type>(kSmallLimit, this->record);
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

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, ReportsEndOfFileAsEof) {
  this->start_link();
  this->transport.end_far();
  ASSERT_TRUE(this->wait_for([&] { return !this->record->errors.empty(); }));
  EXPECT_EQ(this->record->errors, std::vector<error_code>{error_code(asio::error::eof)});
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, ClosingInOnMessageEndsTheLoopQuietly) {
  this->start_link();
  this->link->close_on_message = true;
  this->far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  EXPECT_EQ(this->link.use_count(), 1);
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(this->record->errors.empty());
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, ClosedLinkGetsNoLateCallAndIsReleased) {
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
  ASSERT_TRUE(this->released());
  EXPECT_EQ(this->record->notices, "b");
  EXPECT_TRUE(this->record->errors.empty());
  EXPECT_TRUE(this->record->messages.empty());
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest,
           PausedLinkKeepsReceivedFramesAndResumeHandsThemOutInOrder) {
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

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, ClosingAPausedLinkIsQuietAndLetsItGo) {
  this->start_link();
  this->link->pause_on = "one";
  this->far_write(frame_of("one") + frame_of("two"));
  ASSERT_TRUE(this->wait_for([&] { return !this->record->messages.empty(); }));
  this->link->close();
  this->link->resume_reading();
  ASSERT_TRUE(this->released());
  EXPECT_EQ(this->record->messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(this->record->errors.empty());
}

TYPED_TEST(BasicIpcLinkOverTheNetworkTest, APeerHangingUpOnAPausedLinkIsReportedAtOnce) {
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
