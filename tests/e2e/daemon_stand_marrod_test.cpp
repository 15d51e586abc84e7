// The stand-in configuration daemon running the real velmo-brelkin (or a scripted
// program in its place): its file, revisions on SIGHUP, restarts and statuses.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = boost::filesystem;

const std::string kStandMarrod = BRELKIN_BINARY_DIR "/stand-marrod";

class StandMarrodTest : public ::testing::Test {
 protected:
  void write_config(const std::string& spool, const std::string& extra = "") {
    std::ofstream(config_path) << "log_level: LOG_LEVEL_DEBUG\n"
                               << "actual_log { type: STDERR }\n"
                               << "run_as_user { uid: " << ::getuid() << " }\n"
                               << "spool_dir: \"" << spool << "\"\n"
                               << extra;
  }
  void start(const std::vector<std::string>& extra_args = {}) {
    stand.without_link();
    std::vector<std::string> args{"--config", config_path};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    stand.start(args);
  }

  temp_dir_t dir;
  const std::string config_path = dir / "brelkin.conf";
  marrod_harness_t stand{kStandMarrod};
};

TEST_F(StandMarrodTest, ConfiguresTheDaemonAndEndsWithItsStatus) {
  write_config(dir / "spool");
  start();
  ASSERT_TRUE(
      stand.wait_output("application information: configuration revision 1, local engine forks 0"))
      << stand.output();
  EXPECT_TRUE(fs::is_directory(dir / "spool"));

  stand.signal(SIGTERM);
  EXPECT_EQ(stand.wait_exit(), 107);
  EXPECT_NE(stand.output().find("passing SIGTERM on to velmo-brelkin"), std::string::npos);
  EXPECT_NE(stand.output().find("velmo-brelkin exited with status 107 (Process terminated by "
                                "signal)"),
            std::string::npos)
      << stand.output();
}

TEST_F(StandMarrodTest, SighupPushesTheNextRevisionAndKeepsItOnABadFile) {
  write_config(dir / "spool");
  start();
  ASSERT_TRUE(stand.wait_output("configuration revision 1,")) << stand.output();

  write_config(dir / "second");
  stand.signal(SIGHUP);
  ASSERT_TRUE(stand.wait_output("application information: configuration revision 2,"))
      << stand.output();
  EXPECT_TRUE(fs::is_directory(dir / "second"));

  std::ofstream(config_path) << "spool_dir: \"" << (dir / "third") << "\"\nlog_level: LOUD\n";
  stand.signal(SIGHUP);
  ASSERT_TRUE(stand.wait_output("Unknown enumeration value of \"LOUD\"")) << stand.output();
  EXPECT_TRUE(stand.wait_output("brelkin.conf:3:1: "));
  EXPECT_TRUE(stand.wait_output("the configuration stays at revision 2"));
  EXPECT_FALSE(fs::exists(dir / "third"));

  // The daemon still runs and is still served: a signal ends it as before.
  stand.signal(SIGINT);
  EXPECT_EQ(stand.wait_exit(), 107);
}

TEST_F(StandMarrodTest, AnswersSocketPathRequestsFromItsOptions) {
  write_config(dir / "spool", "is_se_installed: true\nse_max_forks: 2\n");
  start();
  ASSERT_TRUE(stand.wait_output("engine socket path asked for: none configured")) << stand.output();
  EXPECT_TRUE(stand.wait_output("local engine forks 2, remote engine forks 0"));
  stand.signal(SIGTERM);
  EXPECT_EQ(stand.wait_exit(), 107);

  marrod_harness_t second{kStandMarrod};
  second.without_link();
  second.start({"--config", config_path, "--se-socket", dir / "engine.sock"});
  ASSERT_TRUE(second.wait_output("engine socket path asked for: " + (dir / "engine.sock")))
      << second.output();
  second.signal(SIGTERM);
  EXPECT_EQ(second.wait_exit(), 107);
}

TEST_F(StandMarrodTest, RefusesAnUnreadableOrInvalidFileAtStart) {
  start();
  EXPECT_EQ(stand.wait_exit(), 2);
  EXPECT_NE(stand.output().find("brelkin.conf: No such file or directory"), std::string::npos)
      << stand.output();

  // A log without its required type.
  std::ofstream(config_path) << "actual_log { path: \"/x\" }\n";
  marrod_harness_t second{kStandMarrod};
  second.without_link();
  second.start({"--config", config_path});
  EXPECT_EQ(second.wait_exit(), 2);
  EXPECT_NE(second.output().find("actual_log.type"), std::string::npos) << second.output();
  EXPECT_EQ(second.output().find("started"), std::string::npos);
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
  start({"--daemon", program});
  EXPECT_EQ(stand.wait_exit(), 102);
  EXPECT_NE(stand.output().find("exited with status 0 (Success); starting it again"),
            std::string::npos)
      << stand.output();
  EXPECT_NE(stand.output().find("exited with status 102 (Invalid configuration)"),
            std::string::npos);
}

}  // namespace
