// The configuration link inside a central object, against a scripted
// configuration daemon on the other end of a socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/inventory.h"
#include "core/lumend.h"
#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"

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
  // The next message other than statistics.
  bool next(message_t& message) {
    if (!run([this] { return !end->messages.empty(); })) return false;
    message = end->messages.front();
    end->messages.pop_front();
    return true;
  }
  // Lets the loop settle, then tells whether anything arrived.
  bool nothing_arrives() {
    run_until(
        inventory->io_context, [] { return false; }, std::chrono::milliseconds(50));
    return end->messages.empty();
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
  void configure(std::uint32_t revision) { end->send_config(revision, make_test_config("/x")); }

  std::unique_ptr<bk_inventory_t> inventory;
  std::shared_ptr<marrod_end_t> end;
};

TEST_F(MarrodTieTest, EmitsOnlyConfigurationsWithANewRevision) {
  std::vector<std::string> seen;
  tie().config_changed.connect(
      [&](const vl::BrelConfig& config) { seen.push_back(config.spool_dir()); });
  tie().request_config();
  message_t request;
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_CONFIG_REQUEST);

  end->send_config(5, make_test_config("/first"));
  end->send_config(5, make_test_config("/repeated"));
  end->send_config(4, make_test_config("/lower"));
  ASSERT_TRUE(run([&] { return seen.size() == 2; }));
  EXPECT_FALSE(run_until(
      inventory->io_context, [&] { return seen.size() > 2; }, std::chrono::milliseconds(50)));
  EXPECT_EQ(seen, (std::vector<std::string>{"/first", "/lower"}));
  EXPECT_EQ(tie().config_revision(), 4u);
}

TEST_F(MarrodTieTest, CallbacksQueuedMeanwhileShareOneEngineRequest) {
  std::vector<answer_t> answers;
  tie().request_se(keep(answers));
  tie().request_se(keep(answers));
  message_t request;
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_SE_REQUEST);
  EXPECT_TRUE(nothing_arrives());

  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, "/run/engine.sock", vl::EC_OK);
  ASSERT_TRUE(run([&] { return answers.size() == 2; }));
  for (const auto& answer : answers) {
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(answer.path, "/run/engine.sock");
  }
  // Answered: the next call asks anew.
  tie().request_se(keep(answers));
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_SE_REQUEST);
}

TEST_F(MarrodTieTest, CloudPathErrorReachesEveryWaitingCallback) {
  std::vector<answer_t> answers;
  tie().request_lumend(keep(answers));
  tie().request_lumend(keep(answers));
  message_t request;
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_LUMEND_REQUEST);
  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, nullptr, vl::EC_NO_LUMEND);
  ASSERT_TRUE(run([&] { return answers.size() == 2; }));
  for (const auto& answer : answers) {
    EXPECT_EQ(exception_ptr_to_error_enum(answer.error), vl::EC_NO_LUMEND);
    EXPECT_EQ(exception_ptr_text(answer.error), "not here");
    EXPECT_EQ(answer.path, "");
  }

  // Both a path and an error: both are handed on; an engine answer leaves the
  // cloud callbacks alone.
  tie().request_lumend(keep(answers));
  tie().request_se(keep(answers));
  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, "/run/lumend.sock", vl::EC_NOT_READY);
  ASSERT_TRUE(run([&] { return answers.size() == 3; }));
  EXPECT_EQ(exception_ptr_to_error_enum(answers[2].error), vl::EC_NOT_READY);
  EXPECT_EQ(answers[2].path, "/run/lumend.sock");
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
  message_t request;
  ASSERT_TRUE(next(request));
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, nullptr, vl::EC_NO_SCAN_ENGINE);
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_SE_REQUEST);
  EXPECT_EQ(calls, 1);
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, "/run/engine.sock", vl::EC_OK);
  ASSERT_TRUE(run([&] { return calls == 2; }));
}

TEST_F(MarrodTieTest, AppInfoGoesOutOncePerRevisionAndCounts) {
  configure(3);
  ASSERT_TRUE(run([&] { return tie().config_revision() == 3; }));
  tie().first_config_processed();
  message_t info;
  ASSERT_TRUE(next(info));
  EXPECT_EQ(info.tag(), message_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(info.config_revision(), 3u);
  EXPECT_EQ(info.info().local_se_forks(), 0u);
  EXPECT_EQ(info.info().remote_se_forks(), 0u);

  // Nothing changed: nothing is repeated.
  tie().send_app_info();
  EXPECT_TRUE(nothing_arrives());
  configure(4);
  ASSERT_TRUE(run([&] { return tie().config_revision() == 4; }));
  tie().send_app_info();
  ASSERT_TRUE(next(info));
  EXPECT_EQ(info.config_revision(), 4u);
}

TEST_F(MarrodTieTest, WithAnEngineTheFirstReportWaitsForTheAcquisition) {
  configure(1);
  ASSERT_TRUE(run([&] { return tie().config_revision() == 1; }));
  auto config = make_test_config("/x");
  config.set_is_se_installed(true);
  config.set_se_max_forks(4);
  inventory->scanner->reconfigure(config);
  tie().set_appinfo_delay(std::chrono::seconds(30));
  tie().first_config_processed();
  message_t request;
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_SE_REQUEST);
  EXPECT_TRUE(nothing_arrives());

  // The acquisition ends (here without an engine): the count goes out at once.
  respond(vl::Marrod2BrelMessage::GET_SE_RESPONSE, nullptr, vl::EC_NO_SCAN_ENGINE);
  message_t info;
  ASSERT_TRUE(next(info));
  EXPECT_EQ(info.tag(), message_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(info.config_revision(), 1u);
  EXPECT_EQ(info.info().local_se_forks(), 4u);
}

TEST_F(MarrodTieTest, ZeroCountsAreReportedOnlyWhenTheDelayEnds) {
  configure(1);
  ASSERT_TRUE(run([&] { return tie().config_revision() == 1; }));
  auto config = make_test_config("/x");
  config.set_is_se_installed(true);
  config.set_actual_start(true);
  inventory->scanner->reconfigure(config);
  tie().set_appinfo_delay(std::chrono::milliseconds(300));
  const auto armed = std::chrono::steady_clock::now();
  tie().first_config_processed();
  tie().send_app_info();
  EXPECT_TRUE(nothing_arrives());
  message_t info;
  ASSERT_TRUE(next(info));
  EXPECT_GE(std::chrono::steady_clock::now() - armed, std::chrono::milliseconds(300));
  EXPECT_EQ(info.tag(), message_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(info.info().local_se_forks(), 0u);
  EXPECT_EQ(info.info().remote_se_forks(), 0u);
}

TEST_F(MarrodTieTest, CloudManagerAsksForItsPathThroughTheLink) {
  auto config = make_test_config("/x");
  config.set_use_cloud(true);
  inventory->lumend->configure(config);
  boost::system::error_code result;
  bool answered = false;
  inventory->lumend->check("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", 0,
                           [&](const boost::system::error_code& code, const auto&) {
                             result = code;
                             answered = true;
                           });
  message_t request;
  ASSERT_TRUE(next(request));
  EXPECT_EQ(request.tag(), message_t::GET_LUMEND_REQUEST);
  respond(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, nullptr, vl::EC_NO_LUMEND);
  ASSERT_TRUE(run([&] { return answered; }));
  EXPECT_EQ(result, make_error_code(vl::EC_NO_LUMEND));
}

TEST_F(MarrodTieTest, StatisticsGoOutAsTheyAreGiven) {
  vl::BrelAppStat stat;
  auto* client = stat.add_client();
  client->set_origin(vl::APP_CONSOLE_SCANNER);
  client->set_origin_pid(42);
  auto* scan = client->mutable_scan();
  scan->set_scanned_files(1);
  scan->set_scanned_bytes(1000);
  scan->set_bytes_received(1000);
  scan->set_bytes_sent(0);
  tie().send_stat(stat);
  tie().send_stat(vl::BrelAppStat());
  ASSERT_TRUE(run([&] { return end->stats.size() == 2; }));
  EXPECT_EQ(end->stats[0].stat().SerializeAsString(), stat.SerializeAsString());
  EXPECT_EQ(end->stats[1].stat().client_size(), 0);
  EXPECT_FALSE(end->stats[1].has_config_revision());
}

TEST_F(MarrodTieTest, LostLinkEndsTheLoopWithStatus1) {
  end->close();
  try {
    run([] { return false; });
    FAIL() << "the loop went on";
  } catch (vl::ErrorCode code) {
    EXPECT_EQ(code, vl::EC_MONITOR_IPC_ERROR);
  }
}

}  // namespace
