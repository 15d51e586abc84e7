// The stand-in configuration daemon running the real velmo-brelkin (or a scripted
// program in its place): its file, revisions on SIGHUP, restarts and statuses.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = boost::filesystem;

class StandMarrodTest : public ::testing::Test {
 protected:
  void write_config(const std::string& spool, const std::string& extra = "") {
    std::ofstream(config_path) << "log_level: LOG_LEVEL_DEBUG\n"
                               << "actual_log { type: STDERR }\n"
                               << "run_as_user { uid: " << ::getuid() << " }\n"
                               << "spool_dir: \"" << spool << "\"\n"
                               << extra;
  }
  // Starts a stand-in with the configuration file and `args`; it plays the link.
  marrod_harness_t& start(std::vector<std::string> args = {}) {
    runs.push_back(std::make_unique<marrod_harness_t>(BRELKIN_BINARY_DIR "/stand-marrod", io));
    runs.back()->without_link();
    args.insert(args.begin(), {"--config", config_path});
    runs.back()->start(args);
    return *runs.back();
  }
  // Runs the loop until `stand` has written `text`.
  bool wait_output(const marrod_harness_t& stand, const std::string& text) {
    return run_until(io, [&] { return stand.output().find(text) != std::string::npos; });
  }

  boost::asio::io_context io;
  temp_dir_t dir;
  const std::string config_path = dir / "brelkin.conf";
  // Declared after io: the stand-ins go first.
  std::vector<std::unique_ptr<marrod_harness_t>> runs;
};

TEST_F(StandMarrodTest, ConfiguresTheDaemonAndPushesTheNextRevisionOnSighup) {
  const std::string engine_on = "is_se_installed: true\nse_max_forks: 2\n";
  write_config(dir / "spool", engine_on);
  // A listening socket is all the engine's connect needs.
  boost::asio::local::stream_protocol::acceptor engine(
      io, boost::asio::local::stream_protocol::endpoint(dir / "engine.sock"));
  auto& stand = start({"--se-socket", dir / "engine.sock"});
  ASSERT_TRUE(wait_output(stand, "engine socket path asked for: " + (dir / "engine.sock")))
      << stand.output();
  ASSERT_TRUE(wait_output(stand,
                          "application information: configuration revision 1, local engine forks "
                          "2, remote engine forks 0"))
      << stand.output();
  EXPECT_TRUE(fs::is_directory(dir / "spool"));

  write_config(dir / "second", engine_on);
  stand.signal(SIGHUP);
  ASSERT_TRUE(wait_output(stand, "application information: configuration revision 2,"))
      << stand.output();
  EXPECT_TRUE(fs::is_directory(dir / "second"));
  // A bad file is reported and the revision kept.
  std::ofstream(config_path) << "spool_dir: \"" << (dir / "third") << "\"\nlog_level: LOUD\n";
  stand.signal(SIGHUP);
  ASSERT_TRUE(wait_output(stand, "Unknown enumeration value of \"LOUD\"")) << stand.output();
  EXPECT_TRUE(wait_output(stand, "brelkin.conf:3:1: "));
  EXPECT_TRUE(wait_output(stand, "the configuration stays at revision 2"));
  EXPECT_FALSE(fs::exists(dir / "third"));

  // The daemon still runs and is still served: a signal passed on ends it.
  stand.signal(SIGTERM);
  EXPECT_EQ(stand.wait_exit(), 107);
  EXPECT_TRUE(wait_output(stand, "passing SIGTERM on to velmo-brelkin"));
  EXPECT_TRUE(
      wait_output(stand, "velmo-brelkin exited with status 107 (Process terminated by signal)"))
      << stand.output();
}

TEST_F(StandMarrodTest, RefusesAnUnreadableOrInvalidFileAtStart) {
  auto& missing = start();
  EXPECT_EQ(missing.wait_exit(), 2);
  EXPECT_TRUE(wait_output(missing, "brelkin.conf: No such file or directory")) << missing.output();
  // A log without its required type.
  std::ofstream(config_path) << "actual_log { path: \"/x\" }\n";
  auto& invalid = start();
  EXPECT_EQ(invalid.wait_exit(), 2);
  EXPECT_TRUE(wait_output(invalid, "actual_log.type")) << invalid.output();
  EXPECT_EQ(invalid.output().find("started"), std::string::npos);
}

TEST_F(StandMarrodTest, StartsTheDaemonAgainAfterStatus0) {
  write_config(dir / "spool");
  // Ends with 0 on its first run and with 102 on its second.
  const std::string program = dir / "daemon.sh";
  std::ofstream(program) << "#!/bin/sh\n"
                         << "[ -n \"$COM_VELMO_MONITOR\" ] || exit 9\n"
                         << "if [ -e '" << (dir / "ran") << "' ]; then exit 102; fi\n"
                         << ": > '" << (dir / "ran") << "'\n"
                         << "exit 0\n";
  ::chmod(program.c_str(), 0755);
  auto& stand = start({"--daemon", program});
  EXPECT_EQ(stand.wait_exit(), 102);
  EXPECT_TRUE(wait_output(stand, "exited with status 0 (Success); starting it again"))
      << stand.output();
  EXPECT_TRUE(wait_output(stand, "exited with status 102 (Invalid configuration)"));
}

}  // namespace
