// The daemon under a scripted configuration daemon: start-up, applying
// configurations, its log file, signals, acquiring the engine, switching users and
// the ways the service ends.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "tests/support/file_text.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = boost::filesystem;
using message_t = vl::Brel2MarrodMessage;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The numbers of a process's "Uid:" or "Groups:" line.
std::vector<unsigned> proc_status(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line) && line.compare(0, key.size(), key) != 0) {
  }
  std::istringstream numbers(line.substr(std::min(key.size(), line.size())));
  return {std::istream_iterator<unsigned>(numbers), {}};
}

class DaemonTest : public ::testing::Test {
 protected:
  vl::BrelConfig config(const std::string& spool = "spool") const {
    return make_test_config(dir / spool);
  }
  vl::BrelConfig file_log_config(const std::string& log_path) const {
    auto c = config();
    c.mutable_actual_log()->set_type(vl::Log::FILE);
    c.mutable_actual_log()->set_path(log_path);
    return c;
  }
  // Sends `c` as `revision` and waits for the application information that ends a
  // successful apply.
  bool applied(std::uint32_t revision, const vl::BrelConfig& c) {
    daemon.send_config(revision, c);
    message_t info;
    return daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info) &&
           info.config_revision() == revision;
  }
  bool configured(const vl::BrelConfig& c) {
    message_t info;
    return daemon.answer_config(1, c) && daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info);
  }

  temp_dir_t dir;
  marrod_harness_t daemon{brelkin_program()};
};

TEST_F(DaemonTest, AppliesEachNewRevisionAndAsksAgainOnSighup) {
  daemon.start();
  message_t info;
  ASSERT_TRUE(daemon.next(info));
  EXPECT_EQ(info.tag(), message_t::GET_CONFIG_REQUEST);
  EXPECT_FALSE(info.has_config_revision());
  const auto sent = std::chrono::steady_clock::now();
  daemon.send_config(7, config());
  ASSERT_TRUE(daemon.wait_for(message_t::MY_INFO_NOTIFICATION, info)) << daemon.output();
  // Without engine or peers: at once, well within the delay either would impose.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(info.config_revision(), 7u);
  ASSERT_TRUE(info.has_info());
  EXPECT_EQ(info.info().local_se_forks(), 0u);
  EXPECT_EQ(info.info().remote_se_forks(), 0u);
  EXPECT_FALSE(info.has_stat());
  EXPECT_TRUE(fs::is_directory(dir / "spool"));
  // The starting user needs no switch.
  EXPECT_EQ(daemon.output().find("Run as user"), std::string::npos);

  // Each SIGHUP asks again (the handler is armed anew); the same revision is ignored.
  for (int i = 0; i < 2; ++i) {
    daemon.signal(SIGHUP);
    ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, info));
    daemon.send_config(7, config("other"));
  }
  // The next message answers the next revision: neither repeat of 7 was applied.
  daemon.send_config(8, config("other"));
  ASSERT_TRUE(daemon.next(info)) << daemon.output();
  EXPECT_EQ(info.tag(), message_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(info.config_revision(), 8u);
  EXPECT_TRUE(fs::is_directory(dir / "other"));
  // A response nobody asked for is harmless.
  vl::Marrod2BrelMessage unasked;
  unasked.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
  unasked.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
  daemon.send(unasked);
  // A lower revision is a different one, so it is applied too.
  ASSERT_TRUE(applied(1, config("third")));
  EXPECT_TRUE(fs::is_directory(dir / "third"));

  // A raised threshold applies at once: the SIGHUP notice is not written any more.
  auto quiet = config("third");
  quiet.set_log_level(vl::LOG_LEVEL_ERROR);
  ASSERT_TRUE(applied(2, quiet));
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.wait_for(message_t::GET_CONFIG_REQUEST, info));
  daemon.close_link();
  EXPECT_EQ(daemon.wait_exit(), 1);
  // Its whole output read: a notice for each of the first two signals only.
  EXPECT_EQ(count(daemon.output(), "SIGHUP received, config will be ordered from MarroD"), 2u);
  EXPECT_EQ(count(daemon.output(), "SIGHUP received"), 2u);
  EXPECT_NE(daemon.output().find("MarroD connection: End of file"), std::string::npos);
}

TEST_F(DaemonTest, LogsToAPrivateFileWithTheEarlierLinesReplayed) {
  daemon.start();
  ASSERT_TRUE(configured(file_log_config(dir / "brelkin.log"))) << daemon.output();
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "brelkin.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 107);
  const std::string text = read_file(dir / "brelkin.log");
  EXPECT_NE(text.find("Notice: Brelkin "), std::string::npos) << text;
  EXPECT_NE(text.find("Exit with status 107"), std::string::npos) << text;
}

TEST_F(DaemonTest, EndsWithTheStatusEachFaultCalls) {
  using step_t = std::function<void(marrod_harness_t&)>;
  // Starts a daemon (with `monitor` as COM_VELMO_MONITOR when not empty), applies
  // the first configuration when `configured`, runs `step` and checks the end.
  const auto ends = [&](const std::string& monitor, bool configured, const step_t& step, int status,
                        const std::vector<std::string>& texts) {
    SCOPED_TRACE(texts.empty() ? monitor : texts[0]);
    marrod_harness_t d{brelkin_program()};
    if (!monitor.empty()) d.set_monitor_text(monitor);
    d.start();
    message_t info;
    if (configured) {
      ASSERT_TRUE(d.answer_config(1, config()));
      ASSERT_TRUE(d.wait_for(message_t::MY_INFO_NOTIFICATION, info)) << d.output();
    } else if (step) {
      ASSERT_TRUE(d.wait_for(message_t::GET_CONFIG_REQUEST, info));
    }
    if (step) step(d);
    EXPECT_EQ(d.wait_exit(), status) << d.output();
    for (const std::string& text : texts)
      EXPECT_NE(d.output().find(text), std::string::npos) << text << " in " << d.output();
    // The daemon's own parsing speaks for it; the protocol library never does.
    EXPECT_EQ(d.output().find("Can't parse"), std::string::npos) << d.output();
    EXPECT_FALSE(fs::exists(dir / "other"));
  };
  const auto send = [](std::uint32_t revision, vl::BrelConfig c) {
    return [=](marrod_harness_t& d) { d.send_config(revision, c); };
  };
  const auto message = [](vl::Marrod2BrelMessage::MessageTag tag, int revision) {
    return [=](marrod_harness_t& d) {
      vl::Marrod2BrelMessage m;
      if (tag) m.set_tag(tag);
      if (revision) m.set_config_revision(revision);
      if (!tag) m.set_socket_path("/x");
      d.send(m);
    };
  };
  const std::string no_user = "Error: getpwnam(\"no-such-user-brelkin\"): ";
  auto stranger = config("other");
  stranger.mutable_run_as_user()->clear_uid();
  stranger.mutable_run_as_user()->set_name("no-such-user-brelkin");
  auto other_user = config("other");
  other_user.mutable_run_as_user()->set_uid(::getuid() + 1);

  ends("", true, [](marrod_harness_t& d) { d.close_link(); }, 1,
       {"Error: MarroD connection: End of file", "Exit with status 1 (Error on monitor channel)"});
  // Before any configuration the buffered banner comes out with the exit line.
  ends("", false, [](marrod_harness_t& d) { d.signal(SIGINT); }, 107,
       {"Notice: Brelkin ", "Termination signal received, exiting...",
        "Exit with status 107 (Process terminated by signal)"});
  ends("", false, message(vl::Marrod2BrelMessage::GET_CONFIG_RESPONSE, 3), 12,
       {"Error: GET_CONFIG_RESPONSE: Protocol violation"});
  ends("", false, send(0, config()), 12, {"Error: GET_CONFIG_RESPONSE: Protocol violation"});
  // A path response with neither path nor error.
  ends("", true, message(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, 0), 12,
       {"GET_LUMEND_RESPONSE: Protocol violation"});
  // Without its required tag a message does not parse; only the link says so.
  ends("", true, message(vl::Marrod2BrelMessage::MessageTag(0), 0), 8,
       {"Error: Invalid IPC message format"});
  ends("", false, send(1, config("missing/spool")), 102,
       {"Exit with status 102 (Invalid configuration)"});
  ends("", false, send(1, make_test_config("")), 102, {});
  // A log file path that is a symbolic link is never followed.
  write_file(dir / "target", "keep\n");
  fs::create_symlink(dir / "target", dir / "brelkin.log");
  ends("", false, send(1, file_log_config(dir / "brelkin.log")), 102, {"Cannot create log"});
  EXPECT_EQ(read_file(dir / "target"), "keep\n");
  ends("", true, send(2, config("missing/spool")), 102, {});
  ends("", false, send(1, stranger), 125, {no_user});
  ends("", true, send(2, stranger), 102, {no_user});
  // A changed user restarts before anything else is applied.
  ends("", true, send(2, other_user), 0,
       {"Notice: Will restart for config changes to take effect", "Exit with status 0 (Success)"});
  for (const char* text : {"12x", " 5", "2147483648"})
    ends(text, false, nullptr, 125, {"Error: bad lexical cast"});
  ends("-1", false, nullptr, 125, {"Error: assign: Bad file descriptor"});
  // A permission error while still the starting user is a bad configuration; root
  // is never refused a directory.
  if (::geteuid() != 0) {
    fs::create_directory(dir / "locked");
    ::chmod((dir / "locked").c_str(), 0500);
    ends("", true, send(2, file_log_config(dir / "locked/brelkin.log")), 102,
         {"Permission denied"});
  }
}

TEST_F(DaemonTest, ReportsItsEngineProcessesAsSoonAsTheEngineIsAcquiredOrNot) {
  boost::asio::io_context io;
  // A listening socket is all the engine's connect needs.
  boost::asio::local::stream_protocol::acceptor engine(
      io, boost::asio::local::stream_protocol::endpoint(dir / "se.sock"));
  for (const bool reachable : {true, false}) {
    SCOPED_TRACE(reachable ? "reachable" : "unavailable");
    marrod_harness_t d{brelkin_program(), io};
    auto c = config();
    c.set_is_se_installed(true);
    c.set_se_max_forks(3);
    c.set_actual_start(false);
    d.start();
    ASSERT_TRUE(d.answer_config(1, c));
    message_t info;
    ASSERT_TRUE(d.wait_for(message_t::GET_SE_REQUEST, info)) << d.output();
    vl::Marrod2BrelMessage response;
    response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
    if (reachable) {
      response.set_socket_path(dir / "se.sock");
    } else {
      response.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
      response.mutable_error()->set_what("engine not running");
    }
    const auto answered = std::chrono::steady_clock::now();
    d.send(response);
    ASSERT_TRUE(d.wait_for(message_t::MY_INFO_NOTIFICATION, info)) << d.output();
    // Long before the delay that waits for the engine.
    EXPECT_LT(std::chrono::steady_clock::now() - answered, std::chrono::seconds(3));
    EXPECT_EQ(info.info().local_se_forks(), 3u);
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(), 107) << d.output();
    // Its whole output read: the warning tells why, and only when there is a reason.
    EXPECT_EQ(
        d.output().find("Warning: Cannot get ScanEngine: engine not running") == std::string::npos,
        reachable)
        << d.output();
    EXPECT_EQ(d.output().find("Cannot get ScanEngine") == std::string::npos, reachable);
  }
}

// Switching users needs root; the daemon runs as `nobody`.
TEST_F(DaemonTest, SwitchesToTheRunAsUserAndRestartsOnAPermissionErrorAfter) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "switching users needs root and nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  ::chmod(dir.path().c_str(), 0755);
  auto c = config();
  c.mutable_actual_log()->set_type(vl::Log::FILE);
  c.mutable_actual_log()->set_path(dir / "brelkin.log");
  c.mutable_run_as_user()->clear_uid();
  c.mutable_run_as_user()->set_name("nobody");
  fs::create_directory(dir / "spool");
  write_file(dir / "spool/left-over", "x");
  // A supplementary group of root's for the daemon to drop.
  const gid_t root_group = 0;
  ASSERT_EQ(::setgroups(1, &root_group), 0);
  daemon.start();
  ::setgroups(0, nullptr);
  ASSERT_TRUE(configured(c)) << daemon.output();

  EXPECT_EQ(proc_status(daemon.pid(), "Uid:"), std::vector<unsigned>(4, uid));
  for (unsigned group : proc_status(daemon.pid(), "Groups:")) EXPECT_NE(group, 0u);
  for (const char* name : {"spool", "spool/left-over", "brelkin.log"}) {
    struct stat st {};
    ASSERT_EQ(::stat((dir / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_uid, uid) << name;
  }

  // A directory of root's that `nobody` may not write: restart to apply as root.
  fs::create_directory(dir / "locked");
  ::chmod((dir / "locked").c_str(), 0755);
  c.mutable_actual_log()->set_path(dir / "locked/brelkin.log");
  daemon.send_config(2, c);
  EXPECT_EQ(daemon.wait_exit(), 0);
  const std::string text = read_file(dir / "brelkin.log");
  EXPECT_NE(text.find("Debug: Run as user " + std::to_string(uid) + ":" + std::to_string(gid)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Debug: Apply config: Cannot create log"), std::string::npos) << text;
  EXPECT_NE(text.find("Notice: Will restart for config changes to take effect"), std::string::npos);
}

}  // namespace
