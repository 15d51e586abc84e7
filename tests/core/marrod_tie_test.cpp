// The configuration link inside a central object, against a scripted
// configuration daemon on the other end of a socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "wiring/inventory.h"

// Hands the delay's handler a failure no real timer can be made to give.
class bk_marrod_tie_test_access_t {
 public:
  static void fail_delay(bk_marrod_tie_t& tie, const boost::system::error_code& error) {
    tie.on_appinfo_timer(error);
  }
};

namespace {

using message_t = vl::Brel2MarrodMessage;

struct answer_t {
  std::exception_ptr error;
  std::string path;
};

class MarrodTieTest : public ::testing::Test {
 protected:
  MarrodTieTest() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::bad_alloc();
    inventory = std::make_unique<bk_inventory_t>(pair[0]);
    end = marrod_end_t::open(inventory->io_context, pair[1]);
  }
  ~MarrodTieTest() override { end->close(); }

  bk_marrod_tie_t& tie() { return *inventory->marrod_tie; }
  bool run(const std::function<bool()>& done) { return run_until(inventory->io_context, done); }
  // The next message other than statistics; an empty one when none comes.
  message_t next() {
    message_t message;
    EXPECT_TRUE(run([this] { return !end->messages.empty(); })) << "no message came";
    if (end->messages.empty()) return message;
    message = end->messages.front();
    end->messages.pop_front();
    return message;
  }
  // Asks for a configuration and tells whether that request is the next message:
  // nothing else went out before it.
  bool nothing_before_marker() {
    tie().request_config();
    return next().tag() == message_t::GET_CONFIG_REQUEST;
  }
  bk_marrod_tie_t::socket_path_callback_t keep(std::vector<answer_t>& answers) {
    return [&answers](const std::exception_ptr& error, const boost::filesystem::path& path) {
      answers.push_back({error, path.string()});
    };
  }
  void respond(vl::Marrod2BrelMessage::MessageTag tag, const char* path, vl::ErrorCode code) {
    vl::Marrod2BrelMessage message;
    message.set_tag(tag);
    if (path) message.set_socket_path(path);
    if (code != vl::EC_OK) {
      message.mutable_error()->set_code(code);
      message.mutable_error()->set_what("not here");
    }
    end->async_send_message(message);
  }
  void configure(std::uint32_t revision) {
    end->send_config(revision, make_test_config("/x"));
    ASSERT_TRUE(run([&] { return tie().config_revision() == revision; }));
  }
  // Revision 1 applied, with the engine installed, as the central object does it.
  void configure_engine(std::uint32_t forks, bool actual_start) {
    configure(1);
    auto config = make_test_config("/x");
    config.set_is_se_installed(true);
    config.set_se_max_forks(forks);
    config.set_actual_start(actual_start);
    inventory->scanner->reconfigure(config);
  }

  std::unique_ptr<bk_inventory_t> inventory;
  std::shared_ptr<marrod_end_t> end;
};

TEST_F(MarrodTieTest, EmitsOnlyConfigurationsWithANewRevision) {
  std::vector<std::string> seen;
  tie().config_changed.connect(
      [&](const vl::BrelConfig& config) { seen.push_back(config.spool_dir()); });
  tie().request_config();
  EXPECT_EQ(next().tag(), message_t::GET_CONFIG_REQUEST);

  end->send_config(5, make_test_config("/first"));
  end->send_config(5, make_test_config("/repeated"));
  end->send_config(4, make_test_config("/lower"));
  // A later revision marks the end: the repeat was never emitted before it.
  end->send_config(6, make_test_config("/marker"));
  ASSERT_TRUE(run([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"/first", "/lower", "/marker"}));
  EXPECT_EQ(tie().config_revision(), 6u);
}

TEST_F(MarrodTieTest, CallbacksQueuedMeanwhileShareOneRequestAndItsAnswer) {
  std::vector<answer_t> engine, cloud;
  tie().request_se(keep(engine));
  tie().request_se(keep(engine));
  tie().request_lumend(keep(cloud));
  tie().request_lumend(keep(cloud));
  EXPECT_EQ(next().tag(), message_t::GET_SE_REQUEST);
  EXPECT_EQ(next().tag(), message_t::GET_LUMEND_REQUEST);
  EXPECT_TRUE(nothing_before_marker());

  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, nullptr, vl::EC_NO_LUMEND);
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, "/run/engine.sock", vl::EC_OK);
  ASSERT_TRUE(run([&] { return engine.size() == 2 && cloud.size() == 2; }));
  for (const auto& answer : engine) {
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(answer.path, "/run/engine.sock");
  }
  for (const auto& answer : cloud) {
    EXPECT_EQ(exception_ptr_to_error_enum(answer.error), vl::EC_NO_LUMEND);
    EXPECT_EQ(exception_ptr_text(answer.error), "not here");
  }
}

TEST_F(MarrodTieTest, AnAnsweredRequestIsAskedAnewAndAPathWithAnErrorHandsOnBoth) {
  std::vector<answer_t> cloud;
  tie().request_lumend(keep(cloud));
  EXPECT_EQ(next().tag(), message_t::GET_LUMEND_REQUEST);
  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, nullptr, vl::EC_NO_LUMEND);
  ASSERT_TRUE(run([&] { return cloud.size() == 1; }));

  // Answered: the next call asks anew. Both a path and an error are handed on.
  tie().request_lumend(keep(cloud));
  EXPECT_EQ(next().tag(), message_t::GET_LUMEND_REQUEST);
  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, "/run/lumend.sock", vl::EC_NOT_READY);
  ASSERT_TRUE(run([&] { return cloud.size() == 2; }));
  EXPECT_EQ(exception_ptr_to_error_enum(cloud[1].error), vl::EC_NOT_READY);
  EXPECT_EQ(cloud[1].path, "/run/lumend.sock");
}

TEST_F(MarrodTieTest, ACallbackAskingAgainStartsANewRequest) {
  int calls = 0;
  std::function<void(const std::exception_ptr&, const boost::filesystem::path&)> retry =
      [&](const std::exception_ptr& error, const boost::filesystem::path&) {
        ++calls;
        // A failed acquisition retrying at once must not be fed the same failure.
        if (error && calls == 1) tie().request_se(retry);
      };
  tie().request_se(retry);
  EXPECT_EQ(next().tag(), message_t::GET_SE_REQUEST);
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, nullptr, vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(next().tag(), message_t::GET_SE_REQUEST);
  EXPECT_EQ(calls, 1);
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, "/run/engine.sock", vl::EC_OK);
  ASSERT_TRUE(run([&] { return calls == 2; }));
}

// The summary the configuration daemon gets with a revision and fork counts.
std::string info_text(int revision, int local_forks) {
  return "tag: MY_INFO_NOTIFICATION config_revision: " + std::to_string(revision) +
         " info { local_se_forks: " + std::to_string(local_forks) + " remote_se_forks: 0 }";
}

TEST_F(MarrodTieTest, AppInfoGoesOutOncePerRevisionAndCounts) {
  configure(3);
  tie().first_config_processed();
  EXPECT_EQ(next().ShortDebugString(), info_text(3, 0));
  // Nothing changed: nothing is repeated.
  tie().send_app_info();
  EXPECT_TRUE(nothing_before_marker());
  configure(4);
  tie().send_app_info();
  EXPECT_EQ(next().ShortDebugString(), info_text(4, 0));
}

TEST_F(MarrodTieTest, WithAnEngineTheFirstReportWaitsForTheAcquisition) {
  configure_engine(4, false);
  tie().set_appinfo_delay(std::chrono::seconds(30));
  tie().first_config_processed();
  EXPECT_EQ(next().tag(), message_t::GET_SE_REQUEST);
  EXPECT_TRUE(nothing_before_marker());
  // The acquisition ends (here without an engine): the count goes out at once.
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, nullptr, vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(next().ShortDebugString(), info_text(1, 4));
}

TEST_F(MarrodTieTest, ZeroCountsAreReportedOnlyWhenTheDelayEnds) {
  configure_engine(0, true);
  tie().set_appinfo_delay(std::chrono::milliseconds(150));
  const auto armed = std::chrono::steady_clock::now();
  tie().first_config_processed();
  tie().send_app_info();
  EXPECT_EQ(next().ShortDebugString(), info_text(1, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - armed, std::chrono::milliseconds(150));
}

TEST_F(MarrodTieTest, FailedDelayIsLoggedAndEndsTheDelay) {
  log_capture_t capture;
  auto& log = capture.lines;
  configure_engine(0, true);
  tie().set_appinfo_delay(std::chrono::hours(1));
  tie().first_config_processed();
  EXPECT_TRUE(nothing_before_marker());
  bk_marrod_tie_test_access_t::fail_delay(
      tie(), boost::system::error_code(EIO, boost::system::system_category()));
  EXPECT_TRUE(log->has_line("Error: Delayed appinfo timer: Input/output error"));
  EXPECT_EQ(next().ShortDebugString(), info_text(1, 0));
}

}  // namespace
