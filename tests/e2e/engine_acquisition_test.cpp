// The daemon asks for the scanning engine at its first configuration and reports
// its engine processes as soon as that acquisition ends, connected or not.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

using message_t = vl::Brel2MarrodMessage;

class EngineAcquisitionTest : public ::testing::Test {
 protected:
  // Starts the daemon with the engine installed and started at once, and waits for
  // its request of the engine's socket path.
  void start_with_engine() {
    vl::BrelConfig config = make_test_config(dir / "spool");
    config.set_is_se_installed(true);
    config.set_se_max_forks(3);
    config.set_actual_start(false);
    daemon.start();
    ASSERT_TRUE(daemon.answer_config(1, config));
    message_t request;
    ASSERT_TRUE(daemon.wait_for(message_t::GET_SE_REQUEST, request)) << daemon.output();
  }

  void expect_app_info_long_before_its_delay() {
    message_t info;
    ASSERT_TRUE(daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info, std::chrono::seconds(3)))
        << daemon.output();
    EXPECT_EQ(3u, info.info().local_se_forks());
  }

  temp_dir_t dir;
  marrod_harness_t daemon{brelkin_program()};
};

TEST_F(EngineAcquisitionTest, ConnectedEngineIsReportedAtOnce) {
  // A listening socket is all the connect needs.
  boost::asio::io_context io;
  boost::asio::local::stream_protocol::acceptor engine(
      io, boost::asio::local::stream_protocol::endpoint(dir / "se.sock"));
  ASSERT_NO_FATAL_FAILURE(start_with_engine());
  vl::Marrod2BrelMessage response;
  response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
  response.set_socket_path(dir / "se.sock");
  daemon.send(response);
  expect_app_info_long_before_its_delay();
  EXPECT_EQ(std::string::npos, daemon.output().find("Cannot get ScanEngine"));
}

TEST_F(EngineAcquisitionTest, UnavailableEngineIsLoggedAndReportedAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start_with_engine());
  vl::Marrod2BrelMessage response;
  response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
  response.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
  response.mutable_error()->set_what("engine not running");
  daemon.send(response);
  expect_app_info_long_before_its_delay();
  EXPECT_TRUE(daemon.wait_output("Warning: Cannot get ScanEngine: engine not running"))
      << daemon.output();
}

}  // namespace
