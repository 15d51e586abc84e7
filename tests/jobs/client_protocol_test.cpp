#include "jobs/client_protocol.h"

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include "framework/error.h"

namespace {

using bk::ClientMessage;

// Field key byte of a field number and wire type (numbers below 16).
std::string key(int number, int wire_type) {
  return std::string(1, static_cast<char>(number << 3 | wire_type));
}
std::string varint_field(int number, uint8_t value) {
  return key(number, 0) + std::string(1, static_cast<char>(value));
}

// The error check_required_fields raises, or EC_OK with an empty text.
std::pair<vl::ErrorCode, std::string> check(const ClientMessage& message) {
  try {
    check_required_fields(message);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(&vl::proto_error_category(), &e.code().category());
    return {static_cast<vl::ErrorCode>(e.code().value()), e.what()};
  }
  return {vl::EC_OK, {}};
}

ClientMessage message(ClientMessage::ClientMessageTag tag) {
  ClientMessage m;
  m.set_tag(tag);
  return m;
}

TEST(ClientProtocol, MissingRequiredFieldNamesTheTag) {
  struct case_t {
    ClientMessage message;
    std::string tag;
  };
  std::vector<case_t> missing;
  ClientMessage hello = message(ClientMessage::HELLO);
  hello.set_origin(vl::APP_BRELKIN);
  missing.push_back({hello, "HELLO"});  // no origin_pid
  hello.clear_origin();
  hello.set_origin_pid(42);
  missing.push_back({hello, "HELLO"});  // no origin
  for (auto tag : {ClientMessage::INIT, ClientMessage::GET_DATA_REQUEST, ClientMessage::RESET}) {
    missing.push_back({message(tag), ClientMessage::ClientMessageTag_Name(tag)});
  }
  ClientMessage chunk = message(ClientMessage::DATA_CHUNK);
  chunk.set_job_id(1);
  missing.push_back({chunk, "DATA_CHUNK"});
  chunk.clear_job_id();
  chunk.set_data("x");
  missing.push_back({chunk, "DATA_CHUNK"});
  ClientMessage scan = message(ClientMessage::SCAN_REQUEST);
  scan.set_job_id(1);
  missing.push_back({scan, "SCAN_REQUEST"});
  scan.clear_job_id();
  scan.mutable_scan_options();
  missing.push_back({scan, "SCAN_REQUEST"});

  for (const case_t& c : missing) {
    SCOPED_TRACE(c.message.ShortDebugString());
    auto [code, text] = check(c.message);
    EXPECT_EQ(vl::EC_INVALID_ARGUMENT, code);
    EXPECT_EQ(0u, text.rfind(c.tag + ":", 0)) << text;
  }
}

TEST(ClientProtocol, PresenceCountsNotContent) {
  ClientMessage hello = message(ClientMessage::HELLO);
  hello.set_origin(vl::APP_UNKNOWN);
  hello.set_origin_pid(0);
  ClientMessage chunk = message(ClientMessage::DATA_CHUNK);
  chunk.set_job_id(0);
  chunk.set_data("");
  ClientMessage scan = message(ClientMessage::SCAN_REQUEST);
  scan.set_job_id(0);
  scan.mutable_scan_options();
  for (const ClientMessage& m : {hello, chunk, scan}) {
    SCOPED_TRACE(m.ShortDebugString());
    EXPECT_EQ(vl::EC_OK, check(m).first);
  }
}

TEST(ClientProtocol, HelloWithUnknownOriginFailsTheCheck) {
  // tag HELLO, origin 100000 (no component has it), origin_pid 7.
  const std::string wire = varint_field(1, 1) + key(2, 0) + "\xa0\x8d\x06" + varint_field(3, 7);
  ClientMessage hello;
  ASSERT_TRUE(hello.ParseFromString(wire));
  EXPECT_FALSE(hello.has_origin());
  EXPECT_EQ(vl::EC_INVALID_ARGUMENT, check(hello).first);
}

TEST(ClientProtocol, ClientMessageFieldNumbersOnTheWire) {
  const std::string wire = varint_field(1, 4) + varint_field(2, 6) + varint_field(3, 9) +
                           varint_field(4, 11) + key(5, 2) +
                           std::string(
                               "\x02"
                               "ab") +
                           key(6, 2) + std::string("\x02", 1) + varint_field(2, 1) +
                           varint_field(7, 1) + varint_field(8, 1);
  ClientMessage m;
  ASSERT_TRUE(m.ParseFromString(wire));
  EXPECT_EQ(ClientMessage::SCAN_REQUEST, m.tag());
  EXPECT_EQ(vl::APP_BRELKIN, m.origin());
  EXPECT_EQ(9u, m.origin_pid());
  EXPECT_EQ(11u, m.job_id());
  EXPECT_EQ("ab", m.data());
  EXPECT_TRUE(m.scan_options().cure());
  EXPECT_TRUE(m.flow_control());
  EXPECT_TRUE(m.soft_error());
  // A missing tag or one outside the enumeration does not parse at all.
  EXPECT_FALSE(m.ParseFromString(varint_field(4, 11)));
  EXPECT_FALSE(m.ParseFromString(varint_field(1, 7) + varint_field(4, 11)));
}

TEST(ClientProtocol, ServerMessageFieldNumbersOnTheWire) {
  bk::ServerMessage alarm;
  alarm.set_tag(bk::ServerMessage::ALARM);
  alarm.set_job_id(3);
  alarm.set_soft(true);
  alarm.mutable_error()->set_code(vl::EC_PROTOCOL_VIOLATION);
  // error is field 100: key 0x322 as the varint a2 06.
  EXPECT_EQ(varint_field(1, 4) + varint_field(2, 3) + varint_field(9, 1) + "\xa2\x06\x02" +
                varint_field(1, 12),
            alarm.SerializeAsString());

  bk::ServerMessage window;
  window.set_tag(bk::ServerMessage::ADJUST_WINDOW);
  window.set_window_change(kClientInitialWindow);
  bk::ServerMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(window.SerializeAsString()));
  EXPECT_EQ(50331648, parsed.window_change());
  EXPECT_EQ(varint_field(1, 5), window.SerializeAsString().substr(0, 2));
  EXPECT_EQ(key(6, 0), window.SerializeAsString().substr(2, 1));
}

TEST(ClientProtocol, EmptyScanOptionsScanWithEveryDefault) {
  bk::ScanOptions options;
  // threat_hash is field 21: key 0xa8 0x01.
  ASSERT_TRUE(options.ParseFromString(std::string("\xa8\x01\x02", 3)));
  EXPECT_EQ(3600000u, options.scan_timeout_ms());
  EXPECT_FALSE(options.cure());
  EXPECT_TRUE(options.heuristic_analysis());
  EXPECT_EQ(8u, options.packer_max_level());
  EXPECT_EQ(8u, options.archive_max_level());
  EXPECT_EQ(8u, options.mail_max_level());
  EXPECT_EQ(8u, options.container_max_level());
  EXPECT_EQ(500u, options.max_compression_ratio());
  EXPECT_FALSE(options.list_clean_items());
  EXPECT_FALSE(options.report_component_info());
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(), options.max_size_to_extract());
  EXPECT_EQ(0u, options.min_size_to_scan());
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(), options.max_size_to_scan());
  ASSERT_EQ(1, options.threat_hash_size());
  EXPECT_EQ(bk::SHA256, options.threat_hash(0));
}

}  // namespace
