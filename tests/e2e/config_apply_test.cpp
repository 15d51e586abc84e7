// Applying the configuration in the real daemon: the first one (log, spool
// directory, user switch) and later ones (live apply, restart, failures).
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = boost::filesystem;
using message_t = vl::Brel2MarrodMessage;

class ConfigApplyTest : public ::testing::Test {
 protected:
  // Sends `config` as revision `revision` and waits for the application
  // information that ends a successful apply.
  bool applied(std::uint32_t revision, const vl::BrelConfig& config) {
    daemon.send_config(revision, config);
    message_t info;
    return daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info) &&
           info.config_revision() == revision;
  }
  bool first_applied(const vl::BrelConfig& config) {
    message_t request;
    return daemon.wait_for(message_t::GET_CONFIG_REQUEST, request) && applied(1, config);
  }
  bool output_has(const std::string& text) const {
    return daemon.output().find(text) != std::string::npos;
  }

  temp_dir_t dir;
  marrod_harness_t daemon{brelkin_program()};
};

mode_t mode_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// The "Uid:" or "Groups:" line of a process.
std::string proc_status_line(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  }
  return {};
}

TEST_F(ConfigApplyTest, CreatesTheSpoolDirectoryAndAPrivateLogFile) {
  auto config = make_test_config(dir / "spool");
  config.mutable_actual_log()->set_type(vl::Log::FILE);
  config.mutable_actual_log()->set_path(dir / "brelkin.log");
  daemon.start();
  ASSERT_TRUE(first_applied(config)) << daemon.output();
  EXPECT_TRUE(fs::is_directory(dir / "spool"));
  EXPECT_EQ(mode_of(dir / "brelkin.log"), 0600u);

  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 107);
  std::ifstream log(dir / "brelkin.log");
  std::stringstream text;
  text << log.rdbuf();
  // The banner logged before the file existed is replayed into it.
  EXPECT_NE(text.str().find("Notice: Brelkin "), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("Exit with status 107"), std::string::npos) << text.str();
}

TEST_F(ConfigApplyTest, TheStartingUserNeedsNoSwitch) {
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  EXPECT_FALSE(output_has("Run as user"));
  std::istringstream uids(proc_status_line(daemon.pid(), "Uid:"));
  uid_t real;
  uids >> real;
  EXPECT_EQ(real, ::getuid());
}

TEST_F(ConfigApplyTest, RepeatedRevisionIsIgnoredAndANewOneApplied) {
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  daemon.send_config(1, make_test_config(dir / "other"));
  EXPECT_TRUE(daemon.nothing_within(std::chrono::milliseconds(200)));
  EXPECT_FALSE(fs::exists(dir / "other"));

  ASSERT_TRUE(applied(2, make_test_config(dir / "other"))) << daemon.output();
  EXPECT_TRUE(fs::is_directory(dir / "other"));
  // A lower revision is a different one, so it is applied too.
  ASSERT_TRUE(applied(1, make_test_config(dir / "third")));
  EXPECT_TRUE(fs::is_directory(dir / "third"));
}

TEST_F(ConfigApplyTest, LiveApplyOnlyWithTheChangedThreshold) {
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  auto quiet = make_test_config(dir / "spool");
  quiet.set_log_level(vl::LOG_LEVEL_ERROR);
  ASSERT_TRUE(applied(2, quiet));
  // Below the new threshold: the SIGHUP notice is not written any more.
  daemon.signal(SIGHUP);
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  daemon.close_link();
  EXPECT_EQ(daemon.wait_exit(), 1);
  EXPECT_FALSE(output_has("SIGHUP received")) << daemon.output();
  EXPECT_TRUE(output_has("MarroD connection: End of file"));
}

TEST_F(ConfigApplyTest, FirstConfigurationWithoutUsableSpoolDirectoryExits102) {
  daemon.start();
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  daemon.send_config(1, make_test_config(dir / "missing/spool"));
  EXPECT_EQ(daemon.wait_exit(), 102);
  EXPECT_TRUE(output_has("Exit with status 102 (Invalid configuration)")) << daemon.output();

  marrod_harness_t second{brelkin_program()};
  second.start();
  ASSERT_TRUE(second.wait_for(message_t::GET_CONFIG_REQUEST, request));
  second.send_config(1, make_test_config(""));
  EXPECT_EQ(second.wait_exit(), 102);
}

TEST_F(ConfigApplyTest, LaterSpoolDirectoryWithoutParentExits102) {
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  daemon.send_config(2, make_test_config(dir / "missing/spool"));
  EXPECT_EQ(daemon.wait_exit(), 102);
}

TEST_F(ConfigApplyTest, UnknownRunAsUserExits125FirstAnd102Later) {
  auto config = make_test_config(dir / "spool");
  config.mutable_run_as_user()->clear_uid();
  config.mutable_run_as_user()->set_name("no-such-user-brelkin");
  daemon.start();
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  daemon.send_config(1, config);
  EXPECT_EQ(daemon.wait_exit(), 125);
  EXPECT_TRUE(output_has("Error: getpwnam(\"no-such-user-brelkin\"): ")) << daemon.output();

  marrod_harness_t second{brelkin_program()};
  second.start();
  ASSERT_TRUE(second.answer_config(1, make_test_config(dir / "spool")));
  message_t info;
  ASSERT_TRUE(second.wait_for(message_t::MY_INFO_NOTIFICATION, info));
  second.send_config(2, config);
  EXPECT_EQ(second.wait_exit(), 102);
  EXPECT_NE(second.output().find("Error: getpwnam(\"no-such-user-brelkin\"): "), std::string::npos);
}

TEST_F(ConfigApplyTest, ChangedRunAsUserRestartsBeforeApplyingAnythingElse) {
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  auto config = make_test_config(dir / "other");
  config.mutable_run_as_user()->set_uid(::getuid() + 1);
  daemon.send_config(2, config);
  EXPECT_EQ(daemon.wait_exit(), 0);
  EXPECT_TRUE(output_has("Notice: Will restart for config changes to take effect"))
      << daemon.output();
  EXPECT_TRUE(output_has("Exit with status 0 (Success)"));
  EXPECT_FALSE(fs::exists(dir / "other"));
}

TEST_F(ConfigApplyTest, LogFileBehindASymbolicLinkIsRefused) {
  const std::string target = dir / "target";
  { std::ofstream(target) << "keep\n"; }
  fs::create_symlink(target, dir / "brelkin.log");
  auto config = make_test_config(dir / "spool");
  config.mutable_actual_log()->set_type(vl::Log::FILE);
  config.mutable_actual_log()->set_path(dir / "brelkin.log");
  daemon.start();
  message_t request;
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, request));
  daemon.send_config(1, config);
  EXPECT_EQ(daemon.wait_exit(), 102);
  EXPECT_TRUE(output_has("Cannot create log")) << daemon.output();
  std::ifstream kept(target);
  std::stringstream text;
  text << kept.rdbuf();
  EXPECT_EQ(text.str(), "keep\n");
}

TEST_F(ConfigApplyTest, PermissionErrorAsTheStartingUserExits102) {
  if (::geteuid() == 0) GTEST_SKIP() << "root is never refused a directory";
  const std::string locked = dir / "locked";
  fs::create_directory(locked);
  ::chmod(locked.c_str(), 0500);
  daemon.start();
  ASSERT_TRUE(first_applied(make_test_config(dir / "spool")));
  auto config = make_test_config(dir / "spool");
  config.mutable_actual_log()->set_type(vl::Log::FILE);
  config.mutable_actual_log()->set_path(locked + "/brelkin.log");
  daemon.send_config(2, config);
  EXPECT_EQ(daemon.wait_exit(), 102);
  EXPECT_TRUE(output_has("Permission denied")) << daemon.output();
}

// The user switch needs root; it runs the daemon as `nobody`.
class UserSwitchTest : public ConfigApplyTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
    const passwd* entry = ::getpwnam("nobody");
    if (!entry) GTEST_SKIP() << "no user nobody";
    nobody_uid = entry->pw_uid;
    nobody_gid = entry->pw_gid;
    // `nobody` must reach the files below the test directory.
    ::chmod(dir.path().c_str(), 0755);
  }
  vl::BrelConfig nobody_config(const std::string& spool) const {
    auto config = make_test_config(spool);
    config.mutable_run_as_user()->clear_uid();
    config.mutable_run_as_user()->set_name("nobody");
    return config;
  }
  uid_t nobody_uid = 0;
  gid_t nobody_gid = 0;
};

TEST_F(UserSwitchTest, SwitchesUserAndGroupsAndHandsOverSpoolAndLog) {
  auto config = nobody_config(dir / "spool");
  config.mutable_actual_log()->set_type(vl::Log::FILE);
  config.mutable_actual_log()->set_path(dir / "brelkin.log");
  fs::create_directory(dir / "spool");
  { std::ofstream(dir / "spool/left-over") << "x"; }
  daemon.start();
  ASSERT_TRUE(first_applied(config)) << daemon.output();

  const std::string uid_line = proc_status_line(daemon.pid(), "Uid:");
  std::istringstream uids(uid_line);
  uid_t real, effective, saved;
  uids >> real >> effective >> saved;
  EXPECT_EQ(real, nobody_uid);
  EXPECT_EQ(effective, nobody_uid);
  EXPECT_EQ(saved, nobody_uid);
  // Root's supplementary groups are gone: only the user's own remain.
  std::istringstream groups(proc_status_line(daemon.pid(), "Groups:"));
  gid_t group;
  while (groups >> group) EXPECT_NE(group, 0u);

  struct stat st {};
  ASSERT_EQ(::stat((dir / "spool").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody_uid);
  ASSERT_EQ(::stat((dir / "spool/left-over").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody_uid);
  ASSERT_EQ(::stat((dir / "brelkin.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody_uid);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 107);
  std::ifstream log(dir / "brelkin.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("Debug: Run as user " + std::to_string(nobody_uid) + ":" +
                            std::to_string(nobody_gid)),
            std::string::npos)
      << text.str();
}

TEST_F(UserSwitchTest, PermissionErrorAfterTheSwitchRestarts) {
  daemon.start();
  ASSERT_TRUE(first_applied(nobody_config(dir / "spool"))) << daemon.output();
  // A directory of root's that `nobody` may not write.
  const std::string locked = dir / "locked";
  fs::create_directory(locked);
  ::chmod(locked.c_str(), 0755);
  auto config = nobody_config(dir / "spool");
  config.mutable_actual_log()->set_type(vl::Log::FILE);
  config.mutable_actual_log()->set_path(locked + "/brelkin.log");
  daemon.send_config(2, config);
  EXPECT_EQ(daemon.wait_exit(), 0);
  EXPECT_TRUE(output_has("Debug: Apply config: Cannot create log")) << daemon.output();
  EXPECT_TRUE(output_has("Notice: Will restart for config changes to take effect"));
}

}  // namespace
