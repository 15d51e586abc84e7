#include "core/se_connector.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>

#include "core/local_connector.h"
#include "framework/error.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/se_client_ipc.pb.h"
#include "tests/support/failure_of.h"
#include "tests/support/frame.h"
#include "tests/support/full_backlog.h"
#include "tests/support/proto_text.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

using local = boost::asio::local::stream_protocol;

class recording_delegate_t : public bk_se_connector_t::delegate_t {
 public:
  void on_scan_result(std::uint32_t serial, const vl::ScanReport& report) override {
    results.push_back(std::to_string(serial) + " " + report.object());
  }
  void on_link_error(const boost::system::error_code& error) override { errors.push_back(error); }

  std::vector<std::string> results;
  std::vector<boost::system::error_code> errors;
};

// A hand-driven engine end: one accepted connection, frames written and read raw.
class SeConnectorTest : public ::testing::Test {
 protected:
  SeConnectorTest() : acceptor(io, local::endpoint(dir / "se.sock")), engine(io) {}

  // What the connect reported, once it has.
  using outcome_t = std::shared_ptr<std::optional<std::exception_ptr>>;

  std::shared_ptr<bk_se_connector_t> start_connect(const std::string& path, outcome_t& outcome) {
    outcome = std::make_shared<std::optional<std::exception_ptr>>();
    return bk_se_connector_t::connect(io, path, &delegate,
                                      [outcome](const std::exception_ptr& failure) {
                                        EXPECT_FALSE(outcome->has_value()) << "reported twice";
                                        *outcome = failure;
                                      });
  }
  // The connect's failure, or null on success.
  std::exception_ptr connect_outcome(const std::string& path) {
    outcome_t outcome;
    auto link = start_connect(path, outcome);
    // Never from inside the call.
    EXPECT_FALSE(outcome->has_value());
    EXPECT_TRUE(run_until(io, [&] { return outcome->has_value(); }));
    return outcome->value_or(nullptr);
  }
  std::shared_ptr<bk_se_connector_t> connect() {
    outcome_t outcome;
    auto link = start_connect(dir / "se.sock", outcome);
    EXPECT_TRUE(run_until(io, [&] { return outcome->has_value(); }));
    // A failed connect would leave the accept waiting for good.
    if (!outcome->has_value() || outcome->value()) throw std::runtime_error("connect failed");
    acceptor.accept(engine);
    return link;
  }

  void send_raw(const std::string& body) {
    boost::asio::write(engine, boost::asio::buffer(frame_of(body)));
  }
  static std::string message(const std::string& text) {
    return from_text<se::ServerMessage>(text).SerializePartialAsString();
  }
  static std::string result(std::uint32_t serial, const std::string& object) {
    return message("tag: SCAN_FILE_RESULT serial: " + std::to_string(serial) +
                   " scan_report { object: '" + object + "' }");
  }

  // Reads what the link wrote, running the loop so that its write can proceed.
  std::string read_exactly(std::size_t size) {
    std::string data(size, '\0');
    std::size_t got = 0;
    engine.non_blocking(true);
    EXPECT_TRUE(run_until(io, [&] {
      boost::system::error_code error;
      got += engine.read_some(boost::asio::buffer(&data[got], size - got), error);
      return got == size;
    }));
    return data;
  }
  std::string read_request() {
    std::uint32_t length = 0;
    std::memcpy(&length, read_exactly(sizeof length).data(), sizeof length);
    se::ClientMessage message;
    EXPECT_TRUE(message.ParseFromString(read_exactly(length)));
    return message.ShortDebugString();
  }

  boost::asio::io_context io;
  temp_dir_t dir;
  local::acceptor acceptor;
  local::socket engine;
  recording_delegate_t delegate;
};

TEST_F(SeConnectorTest, RefusesOverlongSocketPathAndReportsFailedConnect) {
  const std::string prefix = dir.path().string() + "/";
  const std::string longest = prefix + std::string(107 - prefix.size(), 'a');
  auto failure = failure_of(
      [&] { bk_se_connector_t::connect(io, longest + "a", &delegate, [](const auto&) {}); });
  EXPECT_EQ(exception_ptr_to_error_code(failure),
            boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));
  // 107 bytes fit; nothing listens there, so it is the connect that fails.
  failure = connect_outcome(longest);
  EXPECT_EQ(exception_ptr_text(failure), "connect: No such file or directory: \"" + longest + "\"");
  local::acceptor listener(io, local::endpoint(longest));
  EXPECT_FALSE(connect_outcome(longest));
}

TEST_F(SeConnectorTest, FullBacklogHoldsTheConnectButNotTheEventLoopAndAClosedOneStaysQuiet) {
  acceptor.listen(0);
  full_backlog_t backlog(dir / "se.sock");
  outcome_t outcome, closed_outcome;
  auto link = start_connect(dir / "se.sock", outcome);
  start_connect(dir / "se.sock", closed_outcome)->close();
  // Others are served meanwhile.
  ASSERT_TRUE(run_posted(io));
  EXPECT_FALSE(outcome->has_value());
  EXPECT_FALSE(link->is_open());

  // The engine takes what waits before it: then ours gets through.
  for (std::size_t i = 0; i < backlog.size(); ++i) {
    local::socket earlier(io);
    acceptor.accept(earlier);
  }
  ASSERT_TRUE(run_until(io, [&] { return outcome->has_value(); }));
  ASSERT_FALSE(outcome->value_or(nullptr));
  acceptor.accept(engine);
  // Every option the client left out goes as the client protocol's default.
  link->send_scan(3, bk::ScanOptions(), "/spool/f");
  EXPECT_EQ(read_request(),
            "tag: SCAN_FILE_REQUEST serial: 3 scan_file_request { path: \"/spool/f\" "
            "scan_timeout_ms: 3600000 cure: false heuristic_analysis: true packer_max_level: 8 "
            "archive_max_level: 8 mail_max_level: 8 container_max_level: 8 "
            "max_compression_ratio: 500 max_size_to_extract: 18446744073709551615 "
            "list_clean_items: false report_component_info: false }");
  EXPECT_FALSE(closed_outcome->has_value());
}

TEST_F(SeConnectorTest, ClientValuesReachTheEngineAndResultsComeBackInOrder) {
  const auto options = from_text<bk::ScanOptions>(
      "scan_timeout_ms: 1234 cure: true heuristic_analysis: false packer_max_level: 1 "
      "archive_max_level: 2 mail_max_level: 3 container_max_level: 4 max_compression_ratio: 5 "
      "max_size_to_extract: 6 list_clean_items: true report_component_info: true "
      // Limits the daemon applies itself; the engine never sees them.
      "min_size_to_scan: 7 max_size_to_scan: 8 threat_hash: SHA256");
  auto link = connect();
  link->send_scan(7, options, "/spool/job");
  EXPECT_EQ(read_request(),
            "tag: SCAN_FILE_REQUEST serial: 7 scan_file_request { path: \"/spool/job\" "
            "scan_timeout_ms: 1234 cure: true heuristic_analysis: false packer_max_level: 1 "
            "archive_max_level: 2 mail_max_level: 3 container_max_level: 4 "
            "max_compression_ratio: 5 max_size_to_extract: 6 list_clean_items: true "
            "report_component_info: true }");

  send_raw(result(5, "/a"));
  send_raw(result(0, "/b"));
  engine.close();
  ASSERT_TRUE(run_until(io, [&] { return !delegate.errors.empty(); }));
  EXPECT_EQ((std::vector<std::string>{"5 /a", "0 /b"}), delegate.results);
  EXPECT_EQ(make_error_code(vl::EC_LINK_DISCONNECTED), delegate.errors.at(0));
}

// Whatever the engine sends, the daemon goes on: the link reports the fault as a
// link failure and closes, and nothing is thrown out of the event loop.
TEST_F(SeConnectorTest, MalformedMessagesFailTheLinkAndCloseIt) {
  const struct {
    std::string body;
    vl::ErrorCode expected;
  } cases[] = {
      {"\xff\xff\xff", vl::EC_BAD_MESSAGE_FORMAT},
      {message("serial: 1 scan_report { object: '/x' }"), vl::EC_BAD_MESSAGE_FORMAT},
      {message("tag: SCAN_FILE_INFO serial: 1"), vl::EC_UNEXPECTED_MESSAGE},
      {message("tag: SCAN_FILE_RESULT scan_report { object: '/x' }"), vl::EC_PROTOCOL_VIOLATION},
      {message("tag: SCAN_FILE_RESULT serial: 1"), vl::EC_PROTOCOL_VIOLATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    delegate = recording_delegate_t();
    auto link = connect();
    send_raw(c.body);
    // A valid result behind the bad one is not read any more.
    send_raw(result(9, "/late"));
    ASSERT_TRUE(run_until(io, [&] { return !delegate.errors.empty(); }));
    EXPECT_EQ(make_error_code(c.expected), delegate.errors.at(0));
    EXPECT_FALSE(link->is_open());
    // Every completion the close made has run.
    ASSERT_TRUE(run_posted(io));
    EXPECT_TRUE(delegate.results.empty());
    EXPECT_EQ(1u, delegate.errors.size());
    engine.close();
  }
  // Closed by its owner, a link reports nothing more.
  delegate = recording_delegate_t();
  auto link = connect();
  send_raw(result(1, "/x"));
  link->close();
  engine.close();
  ASSERT_TRUE(run_posted(io));
  EXPECT_TRUE(delegate.results.empty() && delegate.errors.empty());
}

}  // namespace

namespace {

// A listener that never makes room does not hold the connect for ever: the
// requests waiting on it are failed instead.
TEST(LocalConnector, GivesUpOnABacklogThatStaysFull) {
  boost::asio::io_context io;
  temp_dir_t dir;
  local::acceptor acceptor(io, local::endpoint(dir / "full.sock"));
  acceptor.listen(0);
  full_backlog_t backlog(dir / "full.sock");
  auto socket = std::make_shared<cf_local_socket_t>(io);
  std::optional<boost::system::error_code> result;
  bk_local_connector_t::start(
      socket, local::endpoint(dir / "full.sock"),
      [&](const boost::system::error_code& error) { result = error; },
      std::chrono::milliseconds(50));
  ASSERT_TRUE(run_until(io, [&] { return result.has_value(); }));
  EXPECT_EQ(*result, boost::asio::error::timed_out);
  EXPECT_FALSE(socket->is_open());
}

}  // namespace
