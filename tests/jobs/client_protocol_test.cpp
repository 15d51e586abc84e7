#include "jobs/client_protocol.h"

#include <string>

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "tests/support/proto_text.h"

namespace {

using bk::ClientMessage;

// The code and text check_required_fields throws, or EC_OK.
std::pair<vl::ErrorCode, std::string> check(const ClientMessage& message) {
  try {
    check_required_fields(message);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(&vl::proto_error_category(), &e.code().category());
    return {static_cast<vl::ErrorCode>(e.code().value()), e.what()};
  }
  return {vl::EC_OK, {}};
}

TEST(ClientProtocol, MissingRequiredFieldNamesTheTagAndPresenceIsWhatCounts) {
  const std::pair<const char*, const char*> missing[] = {
      {"tag: HELLO origin: APP_BRELKIN", "HELLO"},
      {"tag: HELLO origin_pid: 42", "HELLO"},
      {"tag: INIT", "INIT"},
      {"tag: GET_DATA_REQUEST", "GET_DATA_REQUEST"},
      {"tag: RESET", "RESET"},
      {"tag: DATA_CHUNK job_id: 1", "DATA_CHUNK"},
      {"tag: DATA_CHUNK data: 'x'", "DATA_CHUNK"},
      {"tag: SCAN_REQUEST job_id: 1", "SCAN_REQUEST"},
      {"tag: SCAN_REQUEST scan_options {}", "SCAN_REQUEST"},
  };
  for (const auto& [text, tag] : missing) {
    auto [code, what] = check(from_text<ClientMessage>(text));
    EXPECT_EQ(vl::EC_INVALID_ARGUMENT, code) << text;
    EXPECT_EQ(0u, what.rfind(std::string(tag) + ":", 0)) << what;
  }
  for (const char* text :
       {"tag: HELLO origin: APP_UNKNOWN origin_pid: 0", "tag: DATA_CHUNK job_id: 0 data: ''",
        "tag: SCAN_REQUEST job_id: 0 scan_options {}"}) {
    EXPECT_EQ(vl::EC_OK, check(from_text<ClientMessage>(text)).first) << text;
  }
  // An origin no component has (100000) never parses as present.
  ClientMessage hello;
  ASSERT_TRUE(hello.ParseFromString(std::string("\x08\x01\x10\xa0\x8d\x06\x18\x07", 8)));
  EXPECT_EQ(vl::EC_INVALID_ARGUMENT, check(hello).first);
}

}  // namespace
