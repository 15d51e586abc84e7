#include "core/se_connector.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/exception.hpp>

#include "framework/error.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/se_client_ipc.pb.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

using local = boost::asio::local::stream_protocol;

class recording_delegate_t : public bk_se_connector_t::delegate_t {
 public:
  void on_scan_result(std::uint32_t serial, const vl::ScanReport& report) override {
    serials.push_back(serial);
    objects.push_back(report.object());
  }
  void on_link_error(const boost::system::error_code& error) override { errors.push_back(error); }

  std::vector<std::uint32_t> serials;
  std::vector<std::string> objects;
  std::vector<boost::system::error_code> errors;
};

// A hand-driven engine end: one accepted connection, frames written and read raw.
class SeConnectorTest : public ::testing::Test {
 protected:
  SeConnectorTest() : acceptor(io, local::endpoint(dir / "se.sock")), engine(io) {}

  std::shared_ptr<bk_se_connector_t> connect() {
    auto link = bk_se_connector_t::connect(io, dir / "se.sock", &delegate);
    acceptor.accept(engine);
    return link;
  }

  void send_raw(const std::string& body) {
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += body;
    boost::asio::write(engine, boost::asio::buffer(frame));
  }

  void send(const se::ServerMessage& message) { send_raw(message.SerializeAsString()); }

  static se::ServerMessage result(std::uint32_t serial, const std::string& object) {
    se::ServerMessage message;
    message.set_tag(se::ServerMessage::SCAN_FILE_RESULT);
    message.set_serial(serial);
    message.mutable_scan_report()->set_object(object);
    return message;
  }

  // Reads what the link wrote, running the loop so that its write can proceed.
  std::string read_exactly(std::size_t size) {
    std::string data;
    EXPECT_TRUE(run_until(io, [&] {
      boost::system::error_code error;
      const std::size_t available = engine.available(error);
      if (available > 0) {
        std::string chunk(std::min(available, size - data.size()), '\0');
        boost::asio::read(engine, boost::asio::buffer(&chunk[0], chunk.size()));
        data += chunk;
      }
      return data.size() == size;
    }));
    return data;
  }

  se::ClientMessage read_request() {
    std::uint32_t length = 0;
    const std::string header = read_exactly(sizeof length);
    std::memcpy(&length, header.data(), sizeof length);
    se::ClientMessage message;
    EXPECT_TRUE(message.ParseFromString(read_exactly(length)));
    return message;
  }

  // True once the link has closed its end.
  bool engine_sees_end_of_file() {
    return run_until(io, [&] {
      char byte;
      boost::system::error_code error;
      engine.non_blocking(true);
      engine.read_some(boost::asio::buffer(&byte, 1), error);
      return error == boost::asio::error::eof;
    });
  }

  boost::asio::io_context io;
  temp_dir_t dir;
  local::acceptor acceptor;
  local::socket engine;
  recording_delegate_t delegate;
};

TEST_F(SeConnectorTest, RefusesOverlongSocketPathAndReportsFailedConnect) {
  const std::string prefix = dir.path().string() + "/";
  ASSERT_LT(prefix.size(), 100u);
  const std::string longest = prefix + std::string(107 - prefix.size(), 'a');
  try {
    bk_se_connector_t::connect(io, longest + "a", &delegate);
    FAIL() << "a 108-byte path was accepted";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(boost::system::error_code(ENAMETOOLONG, boost::system::system_category()), e.code());
  }

  // 107 bytes fit; nothing listens there, so it is the connect that fails.
  try {
    bk_se_connector_t::connect(io, longest, &delegate);
    FAIL() << "connected to nothing";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("connect"));
    EXPECT_EQ(longest, e.path1().string());
  }

  local::acceptor listener(io, local::endpoint(longest));
  EXPECT_TRUE(bk_se_connector_t::connect(io, longest, &delegate)->is_open());
}

TEST_F(SeConnectorTest, DefaultOptionsReachTheEngineAsClientDefaultsFieldByField) {
  se::ClientMessage message;
  bk_se_connector_t::build_scan_request(42, bk::ScanOptions(), "/spool/f", message);
  EXPECT_EQ(se::ClientMessage::SCAN_FILE_REQUEST, message.tag());
  ASSERT_TRUE(message.has_serial());
  EXPECT_EQ(42u, message.serial());
  EXPECT_FALSE(message.has_priority());
  EXPECT_FALSE(message.has_scan_boot_request());
  EXPECT_FALSE(message.has_shell_message());
  ASSERT_TRUE(message.has_scan_file_request());
  const se::ScanFileRequest& r = message.scan_file_request();
  EXPECT_EQ("/spool/f", r.path());
  // Every copied field is on the wire, with the client protocol's defaults.
  ASSERT_TRUE(r.has_scan_timeout_ms());
  EXPECT_EQ(3600000u, r.scan_timeout_ms());
  ASSERT_TRUE(r.has_cure());
  EXPECT_FALSE(r.cure());
  ASSERT_TRUE(r.has_heuristic_analysis());
  EXPECT_TRUE(r.heuristic_analysis());
  ASSERT_TRUE(r.has_packer_max_level());
  EXPECT_EQ(8u, r.packer_max_level());
  ASSERT_TRUE(r.has_archive_max_level());
  EXPECT_EQ(8u, r.archive_max_level());
  ASSERT_TRUE(r.has_mail_max_level());
  EXPECT_EQ(8u, r.mail_max_level());
  ASSERT_TRUE(r.has_container_max_level());
  EXPECT_EQ(8u, r.container_max_level());
  ASSERT_TRUE(r.has_max_compression_ratio());
  EXPECT_EQ(500u, r.max_compression_ratio());
  ASSERT_TRUE(r.has_max_size_to_extract());
  EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), r.max_size_to_extract());
  ASSERT_TRUE(r.has_list_clean_items());
  EXPECT_FALSE(r.list_clean_items());
  ASSERT_TRUE(r.has_report_component_info());
  EXPECT_FALSE(r.report_component_info());
  EXPECT_FALSE(r.has_info_interval_ms());
  EXPECT_FALSE(r.has_shell_trace());
}

TEST_F(SeConnectorTest, ClientValuesReachTheEngineOverTheWire) {
  bk::ScanOptions options;
  options.set_scan_timeout_ms(1234);
  options.set_cure(true);
  options.set_heuristic_analysis(false);
  options.set_packer_max_level(1);
  options.set_archive_max_level(2);
  options.set_mail_max_level(3);
  options.set_container_max_level(4);
  options.set_max_compression_ratio(5);
  options.set_list_clean_items(true);
  options.set_report_component_info(true);
  options.set_max_size_to_extract(6);
  // Limits the daemon applies itself; the engine never sees them.
  options.set_min_size_to_scan(7);
  options.set_max_size_to_scan(8);
  options.add_threat_hash(bk::SHA256);

  auto link = connect();
  link->send_scan(7, options, "/spool/job");
  const se::ClientMessage message = read_request();
  EXPECT_EQ(7u, message.serial());
  const se::ScanFileRequest& r = message.scan_file_request();
  EXPECT_EQ("/spool/job", r.path());
  EXPECT_EQ(1234u, r.scan_timeout_ms());
  EXPECT_TRUE(r.cure());
  ASSERT_TRUE(r.has_heuristic_analysis());
  EXPECT_FALSE(r.heuristic_analysis());
  EXPECT_EQ(1u, r.packer_max_level());
  EXPECT_EQ(2u, r.archive_max_level());
  EXPECT_EQ(3u, r.mail_max_level());
  EXPECT_EQ(4u, r.container_max_level());
  EXPECT_EQ(5u, r.max_compression_ratio());
  EXPECT_EQ(6u, r.max_size_to_extract());
  EXPECT_TRUE(r.list_clean_items());
  EXPECT_TRUE(r.report_component_info());
  EXPECT_TRUE(r.unknown_fields().empty());
  EXPECT_TRUE(message.unknown_fields().empty());
}

TEST_F(SeConnectorTest, PassesResultsOnInOrderSerialZeroIncluded) {
  auto link = connect();
  send(result(5, "/a"));
  send(result(0, "/b"));
  ASSERT_TRUE(run_until(io, [&] { return delegate.serials.size() == 2; }));
  EXPECT_EQ((std::vector<std::uint32_t>{5, 0}), delegate.serials);
  EXPECT_EQ((std::vector<std::string>{"/a", "/b"}), delegate.objects);
  EXPECT_TRUE(delegate.errors.empty());
}

TEST_F(SeConnectorTest, EngineClosingIsLinkDisconnected) {
  auto link = connect();
  engine.close();
  ASSERT_TRUE(run_until(io, [&] { return !delegate.errors.empty(); }));
  EXPECT_EQ(make_error_code(vl::EC_LINK_DISCONNECTED), delegate.errors.at(0));
}

// Whatever the engine sends, the daemon goes on: the link reports the fault as a
// link failure and closes, and nothing is thrown out of the event loop.
TEST_F(SeConnectorTest, MalformedMessagesFailTheLinkAndCloseIt) {
  se::ServerMessage other_tag;
  other_tag.set_tag(se::ServerMessage::SCAN_FILE_INFO);
  other_tag.set_serial(1);
  se::ServerMessage no_serial = result(1, "/x");
  no_serial.clear_serial();
  se::ServerMessage no_report = result(1, "/x");
  no_report.clear_scan_report();
  se::ServerMessage no_tag = result(1, "/x");
  no_tag.clear_tag();
  const struct {
    std::string body;
    vl::ErrorCode expected;
  } cases[] = {
      {std::string("\xff\xff\xff", 3), vl::EC_BAD_MESSAGE_FORMAT},
      {no_tag.SerializePartialAsString(), vl::EC_BAD_MESSAGE_FORMAT},
      {other_tag.SerializeAsString(), vl::EC_UNEXPECTED_MESSAGE},
      {no_serial.SerializeAsString(), vl::EC_PROTOCOL_VIOLATION},
      {no_report.SerializeAsString(), vl::EC_PROTOCOL_VIOLATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    delegate = recording_delegate_t();
    auto link = connect();
    send_raw(c.body);
    // A valid result behind the bad one is not read any more.
    send(result(9, "/late"));
    ASSERT_TRUE(run_until(io, [&] { return !delegate.errors.empty(); }));
    EXPECT_EQ(make_error_code(c.expected), delegate.errors.at(0));
    EXPECT_FALSE(link->is_open());
    EXPECT_TRUE(engine_sees_end_of_file());
    EXPECT_TRUE(delegate.serials.empty());
    EXPECT_EQ(1u, delegate.errors.size());
    engine.close();
  }
}

TEST_F(SeConnectorTest, ClosedLinkReportsNothingMore) {
  auto link = connect();
  send(result(1, "/x"));
  link->close();
  engine.close();
  // Let every pending completion run.
  run_until(
      io, [] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(delegate.serials.empty());
  EXPECT_TRUE(delegate.errors.empty());
}

}  // namespace
