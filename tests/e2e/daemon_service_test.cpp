// The daemon under a scripted configuration daemon: start-up, the configuration
// link's rules, signals and the ways the service ends.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

using message_t = vl::Brel2MarrodMessage;

class DaemonServiceTest : public ::testing::Test {
 protected:
  // Starts the daemon and hands it its first configuration (revision 1).
  void start_configured() {
    daemon.start();
    ASSERT_TRUE(daemon.answer_config(1, make_test_config(dir / "spool")));
    message_t info;
    ASSERT_TRUE(daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info)) << daemon.output();
  }

  temp_dir_t dir;
  marrod_harness_t daemon{brelkin_program()};
};

TEST_F(DaemonServiceTest, AsksForTheConfigurationFirstAndEndsOnSigterm) {
  daemon.start();
  message_t first;
  ASSERT_TRUE(daemon.next(first));
  EXPECT_EQ(first.tag(), message_t::GET_CONFIG_REQUEST);
  EXPECT_FALSE(first.has_config_revision());

  // Before any configuration: the buffered banner comes out with the exit line.
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 107);
  EXPECT_NE(daemon.output().find("Notice: Brelkin "), std::string::npos) << daemon.output();
  EXPECT_NE(daemon.output().find("Termination signal received, exiting..."), std::string::npos);
  EXPECT_NE(daemon.output().find("Exit with status 107 (Process terminated by signal)"),
            std::string::npos)
      << daemon.output();
}

TEST_F(DaemonServiceTest, SigintEndsLikeSigtermWhenConfigured) {
  start_configured();
  daemon.signal(SIGINT);
  EXPECT_EQ(daemon.wait_exit(), 107);
  EXPECT_NE(daemon.output().find("Exit with status 107 (Process terminated by signal)"),
            std::string::npos);
}

TEST(DaemonMonitorTest, RefusesADescriptorTextThatIsNoNumber) {
  for (const char* text : {"12x", " 5", "2147483648"}) {
    marrod_harness_t daemon{brelkin_program()};
    daemon.set_monitor_text(text);
    daemon.start();
    EXPECT_EQ(daemon.wait_exit(), 125) << text;
    EXPECT_NE(daemon.output().find("Error: bad lexical cast"), std::string::npos)
        << daemon.output();
  }
}

TEST(DaemonMonitorTest, ADescriptorThatIsNoSocketEndsTheProcess) {
  marrod_harness_t daemon{brelkin_program()};
  daemon.set_monitor_text("-1");
  daemon.start();
  EXPECT_EQ(daemon.wait_exit(), 125);
  EXPECT_NE(daemon.output().find("Error: assign: Bad file descriptor"), std::string::npos)
      << daemon.output();
}

TEST_F(DaemonServiceTest, EndOfFileOnTheLinkExits1) {
  start_configured();
  daemon.close_link();
  EXPECT_EQ(daemon.wait_exit(), 1);
  EXPECT_NE(daemon.output().find("Error: MarroD connection: End of file"), std::string::npos)
      << daemon.output();
  EXPECT_NE(daemon.output().find("Exit with status 1 (Error on monitor channel)"),
            std::string::npos);
}

TEST_F(DaemonServiceTest, ConfigurationWithoutUsableRevisionIsAViolation) {
  daemon.start();
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  daemon.send_config(0, make_test_config(dir / "spool"));
  EXPECT_EQ(daemon.wait_exit(), 12);
  EXPECT_NE(daemon.output().find("Error: GET_CONFIG_RESPONSE: Protocol violation"),
            std::string::npos)
      << daemon.output();

  marrod_harness_t second{brelkin_program()};
  second.start();
  ASSERT_TRUE(second.wait_for(message_t::GET_CONFIG_REQUEST, request));
  vl::Marrod2BrelMessage without_config;
  without_config.set_tag(vl::Marrod2BrelMessage::GET_CONFIG_RESPONSE);
  without_config.set_config_revision(3);
  second.send(without_config);
  EXPECT_EQ(second.wait_exit(), 12);
}

TEST_F(DaemonServiceTest, SocketPathResponseWithNeitherPathNorErrorIsAViolation) {
  start_configured();
  vl::Marrod2BrelMessage empty;
  empty.set_tag(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE);
  daemon.send(empty);
  EXPECT_EQ(daemon.wait_exit(), 12);
  EXPECT_NE(daemon.output().find("GET_LUMEND_RESPONSE: Protocol violation"), std::string::npos);
}

TEST_F(DaemonServiceTest, SighupAsksAgainAndARepeatedRevisionChangesNothing) {
  start_configured();
  daemon.signal(SIGHUP);
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  EXPECT_TRUE(daemon.wait_output("SIGHUP received, config will be ordered from MarroD"));
  daemon.send_config(1, make_test_config(dir / "spool"));
  // A second SIGHUP is answered as well: the handler was armed again.
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  // The repeated revision was not applied: no new application information.
  EXPECT_TRUE(daemon.nothing_within(std::chrono::milliseconds(200)));

  daemon.send_config(2, make_test_config(dir / "spool"));
  message_t info;
  ASSERT_TRUE(daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info));
  EXPECT_EQ(info.config_revision(), 2u);
}

TEST_F(DaemonServiceTest, WithoutEngineOrPeersAppInfoGoesOutAtOnce) {
  daemon.start();
  ASSERT_TRUE(daemon.answer_config(7, make_test_config(dir / "spool")));
  message_t info;
  // Well within the delay that an engine or a peer would impose.
  ASSERT_TRUE(daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info, std::chrono::seconds(3)));
  EXPECT_EQ(info.config_revision(), 7u);
  ASSERT_TRUE(info.has_info());
  EXPECT_EQ(info.info().local_se_forks(), 0u);
  EXPECT_EQ(info.info().remote_se_forks(), 0u);
  EXPECT_FALSE(info.has_stat());
}

TEST_F(DaemonServiceTest, MalformedMessageEndsWithBadFormat) {
  start_configured();
  // A frame whose body is no Marrod2BrelMessage (a lone tag without its value).
  vl::Marrod2BrelMessage message;
  message.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
  message.set_socket_path("/x");
  message.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
  // A response nobody asked for is harmless.
  daemon.send(message);
  EXPECT_TRUE(daemon.nothing_within(std::chrono::milliseconds(100)));
  vl::Marrod2BrelMessage no_tag;
  no_tag.set_socket_path("/x");
  // Serialising without the required tag: the daemon cannot parse it.
  ASSERT_FALSE(no_tag.IsInitialized());
  daemon.send(no_tag);
  EXPECT_EQ(daemon.wait_exit(), 8);
  EXPECT_NE(daemon.output().find("Error: Invalid IPC message format"), std::string::npos)
      << daemon.output();
  // The link's own line is the only one: the parser's complaint stays out of the log.
  EXPECT_EQ(daemon.output().find("Can't parse"), std::string::npos) << daemon.output();
}

}  // namespace
