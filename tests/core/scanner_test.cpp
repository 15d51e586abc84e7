#include "core/scanner.h"

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/fake_job.h"
#include "tests/support/file_text.h"
#include "tests/support/full_backlog.h"
#include "tests/support/run_until.h"
#include "tests/support/scan_requester.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

// Reaches the scanner's counters and link, which no caller may set.
class bk_scanner_test_access_t {
 public:
  static void set_last_serial(bk_scanner_t& s, std::uint32_t value) { s.last_serial_ = value; }
  static void set_last_request_id(bk_scanner_t& s, std::uint32_t value) {
    s.last_request_id_ = value;
  }
  static bool linked(const bk_scanner_t& s) { return s.link_ != nullptr; }
  static std::size_t in_flight(const bk_scanner_t& s) { return s.in_flight_.size(); }
  static void answer(bk_scanner_t& s, std::uint32_t serial) {
    s.on_scan_result(serial, vl::ScanReport());
  }
};

namespace {

using access = bk_scanner_test_access_t;
using std::chrono::milliseconds;

// A job that asks for scans the way a local job does and records every answer.
class fake_job_t : public scan_requester_t {
 public:
  using scan_requester_t::scan_requester_t;
  void on_scan_report(const vl::ScanReport& report) override {
    --pending;
    reports.push_back(report);
  }
  void on_scan_error(const std::exception_ptr& error, bool soft) override {
    --pending;
    errors.push_back(exception_ptr_to_error_code(error));
    // Nothing the scanner fails spoils the job's data.
    EXPECT_TRUE(soft);
  }
  std::size_t answers() const { return reports.size() + errors.size(); }

  std::vector<vl::ScanReport> reports;
  std::vector<boost::system::error_code> errors;
};

class ScannerTest : public ::testing::Test {
 protected:
  ScannerTest() {
    engine = stand_se_t::create(io, socket_path);
    scanner = std::make_shared<bk_scanner_t>(unused_inventory(), io, [this](auto callback) {
      ++path_requests;
      // The configuration daemon answers later, never inside the request.
      boost::asio::post(io, [this, callback] { callback(path_error, served_path); });
    });
    scanner->state_changed.connect([this] { ++state_changes; });
  }
  ~ScannerTest() override {
    scanner.reset();
    engine->stop();
    // Let what the closed links and timers left run out.
    io.restart();
    io.poll();
  }

  std::shared_ptr<fake_job_t> job(std::uint32_t job_id, const std::string& content = "data") {
    auto job = scanner->create_job<fake_job_t>(job_id);
    job->scanner = scanner;
    job->path = dir / ("file" + std::to_string(++files));
    job->size = content.size();
    write_file(job->path, content);
    return job;
  }

  bool answered(const std::vector<std::shared_ptr<fake_job_t>>& jobs) {
    return run_until(io, [&] {
      for (const auto& j : jobs)
        if (j->pending != 0) return false;
      return true;
    });
  }

  boost::asio::io_context io;
  temp_dir_t dir;
  const std::string socket_path = dir / "se.sock";
  // The path the configuration daemon hands out.
  std::string served_path = socket_path;
  std::shared_ptr<stand_se_t> engine;
  std::shared_ptr<bk_scanner_t> scanner;
  std::exception_ptr path_error;
  int path_requests = 0;
  int state_changes = 0;
  int files = 0;
};

TEST_F(ScannerTest, CleanFileTestVirusAndCureAreReportedOverOneLinkEachToTheJobThatAsked) {
  // Answers come back out of order.
  engine->options().fault = stand_se_options_t::fault_t::reorder;
  auto clean = job(1, "nothing to see");
  auto infected = job(2, "head " + test_virus_text() + " tail");
  auto cured = job(3, "head " + test_virus_text() + " tail");
  cured->options.set_cure(true);
  // A request too long to frame fails alone, and not from inside the job's call.
  auto huge = job(4);
  huge->path = std::string(kIpcLinkLimit + 1, 'x');
  for (const auto& j : {clean, infected, huge, cured}) j->request();
  EXPECT_TRUE(huge->errors.empty());
  ASSERT_TRUE(answered({clean, infected, cured, huge}));

  ASSERT_EQ(1u, clean->reports.size());
  EXPECT_EQ(clean->path, clean->reports[0].object());
  EXPECT_EQ(14u, clean->reports[0].size());
  EXPECT_EQ(0, clean->reports[0].virus_size());
  ASSERT_EQ(1, infected->reports.at(0).virus_size());
  EXPECT_EQ(test_virus_name(), infected->reports[0].virus(0).name());
  EXPECT_FALSE(infected->reports[0].cured());
  EXPECT_TRUE(cured->reports.at(0).cured());
  EXPECT_EQ("head  tail", read_file(cured->path));
  EXPECT_EQ(huge->errors,
            std::vector<boost::system::error_code>{make_error_code(vl::EC_BAD_MESSAGE_SIZE)});
  EXPECT_EQ(1, path_requests);
  EXPECT_EQ(1, state_changes);
  EXPECT_EQ(1u, engine->connections_accepted());
}

TEST_F(ScannerTest, DroppedOrMalformedEngineLinkFailsWaitingRequestsAndNextRequestReconnects) {
  using fault_t = stand_se_options_t::fault_t;
  const std::pair<fault_t, vl::ErrorCode> cases[] = {
      {fault_t::drop, vl::EC_LINK_DISCONNECTED}, {fault_t::malformed, vl::EC_BAD_MESSAGE_FORMAT}};
  for (const auto& [fault, expected] : cases) {
    SCOPED_TRACE(static_cast<int>(fault));
    // The first request is held in its scan, the second meets the fault.
    engine->options().delay = std::chrono::hours(1);
    engine->options().fault = fault;
    engine->options().fault_after = 1;
    auto a = job(1);
    auto b = job(2);
    a->request();
    b->request();
    // Anything thrown out of a handler would leave run_until and fail the test here.
    ASSERT_TRUE(answered({a, b}));
    for (const auto& j : {a, b})
      EXPECT_EQ(j->errors, std::vector<boost::system::error_code>{make_error_code(expected)});
    EXPECT_FALSE(access::linked(*scanner));

    const auto connections = engine->connections_accepted();
    engine->options() = stand_se_options_t();
    a->request();
    ASSERT_TRUE(answered({a}));
    EXPECT_EQ(1u, a->reports.size());
    EXPECT_EQ(connections + 1, engine->connections_accepted());
  }
}

TEST_F(ScannerTest, UnavailableEngineFailsWaitingRequestsAndIsAskedForAgain) {
  path_error = std::make_exception_ptr(cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "not running"));
  auto a = job(1);
  auto b = job(2);
  a->request();
  b->request();
  ASSERT_TRUE(answered({a, b}));
  for (const auto& j : {a, b})
    EXPECT_EQ(j->errors,
              std::vector<boost::system::error_code>{make_error_code(vl::EC_NO_SCAN_ENGINE)});
  EXPECT_EQ(1, path_requests);
  EXPECT_EQ(1, state_changes);

  // A path where nothing listens fails the same way.
  path_error = nullptr;
  engine->stop();
  a->request();
  ASSERT_TRUE(answered({a}));
  EXPECT_EQ(make_error_code(vl::EC_NO_SCAN_ENGINE), a->errors.at(1));

  engine = stand_se_t::create(io, socket_path);
  a->request();
  ASSERT_TRUE(answered({a}));
  EXPECT_EQ(1u, a->reports.size());
  EXPECT_EQ(3, path_requests);
}

TEST_F(ScannerTest, RequestsWaitOutAConnectHeldByAFullBacklogAndFailWhenItIsRefused) {
  served_path = dir / "held.sock";
  auto held = std::make_unique<boost::asio::local::stream_protocol::acceptor>(
      io, boost::asio::local::stream_protocol::endpoint(served_path));
  held->listen(0);
  full_backlog_t backlog(served_path);
  auto a = job(1);
  auto b = job(2);
  a->request();
  // The loop goes on serving others while the engine takes no connection.
  ASSERT_TRUE(run_posted(io));
  b->request();
  // Several attempts on the full backlog go by.
  ASSERT_TRUE(run_past(io, milliseconds(20)));
  EXPECT_EQ(0u, a->answers() + b->answers());
  EXPECT_EQ(1, path_requests);
  EXPECT_EQ(0, state_changes);

  // The engine goes away: what waits fails as for any engine that cannot be reached.
  held.reset();
  ASSERT_TRUE(answered({a, b}));
  for (const auto& j : {a, b})
    EXPECT_EQ(j->errors,
              std::vector<boost::system::error_code>{make_error_code(vl::EC_NO_SCAN_ENGINE)});
  EXPECT_EQ(1, state_changes);
  EXPECT_FALSE(access::linked(*scanner));
  boost::filesystem::remove(served_path);

  served_path = socket_path;
  a->request();
  ASSERT_TRUE(answered({a}));
  EXPECT_EQ(1u, a->reports.size());
}

TEST_F(ScannerTest, RequestsBeforeThePathAskOnceLeaveInOrderAndCancelledAnswersAreDropped) {
  auto a = job(1);
  auto b = job(2);
  auto gone = job(3);
  auto c = job(4);
  for (const auto& j : {a, b, gone, c}) j->request();
  // A job that goes while its request waits uses up no serial.
  gone.reset();
  // A request cancelled while it waits is never sent; the job answered it itself.
  scanner->cancel(b->request());
  --b->pending;
  ASSERT_TRUE(run_until(io, [&] { return a->pending == 0 && c->pending == 0; }));
  EXPECT_EQ(1, path_requests);
  EXPECT_EQ((std::vector<std::uint32_t>{1, 2, 3}), engine->serials());
  EXPECT_EQ(1u, b->reports.size());

  // Cancelled once sent: the engine's answer is dropped, as are unknown serials.
  engine->options().fault = stand_se_options_t::fault_t::reorder;
  engine->options().reorder_flush = milliseconds(1);
  const std::uint32_t id = a->request();
  ASSERT_TRUE(run_until(io, [&] { return engine->serials().size() == 4; }));
  scanner->cancel(id);
  ASSERT_TRUE(run_until(io, [&] { return access::in_flight(*scanner) == 0; }));
  access::answer(*scanner, 12345);
  access::answer(*scanner, 0);
  EXPECT_EQ(1u, a->answers());
}

TEST_F(ScannerTest, SerialsAndRequestIdsWrapSkippingZeroAndThoseInUse) {
  // Serial 1 stays in flight across the wrap.
  engine->options().delay = std::chrono::hours(1);
  auto held = job(1);
  held->request();
  ASSERT_TRUE(run_until(io, [&] { return engine->serials().size() == 1; }));
  ASSERT_EQ(1u, engine->serials()[0]);

  engine->options().delay = milliseconds(0);
  access::set_last_serial(*scanner, std::numeric_limits<std::uint32_t>::max() - 1);
  auto before = job(2, "before");
  auto after = job(3, "after");
  before->request();
  after->request();
  ASSERT_TRUE(answered({before, after}));
  EXPECT_EQ((std::vector<std::uint32_t>{1, std::numeric_limits<std::uint32_t>::max(), 2}),
            engine->serials());
  EXPECT_EQ(before->path, before->reports.at(0).object());
  EXPECT_EQ(after->path, after->reports.at(0).object());
  EXPECT_EQ(1u, held->pending);

  // Request id 1 is held; ids run on to 2 after the largest.
  access::set_last_request_id(*scanner, std::numeric_limits<std::uint32_t>::max() - 1);
  EXPECT_EQ(std::numeric_limits<std::uint32_t>::max(), before->request());
  EXPECT_EQ(2u, after->request());
}

TEST_F(ScannerTest, LiveJobsHoldTheLinkEvenWithOneIdAndTheLastOneReleasesIt) {
  scanner->set_release_delay(milliseconds(10));
  auto first = job(7);
  auto second = job(7);
  first->request();
  second->request();
  ASSERT_TRUE(answered({first, second}));
  first.reset();
  // The other job with that id still holds the link past the release delay.
  ASSERT_TRUE(run_past(io, milliseconds(20)));
  EXPECT_TRUE(access::linked(*scanner));
  EXPECT_EQ(1u, scanner->job_count());

  second.reset();
  EXPECT_EQ(0u, scanner->job_count());
  ASSERT_TRUE(run_until(io, [&] { return engine->connection_count() == 0; }));
  EXPECT_FALSE(access::linked(*scanner));
  // The next job links again.
  auto c = job(3);
  c->request();
  ASSERT_TRUE(answered({c}));
  EXPECT_EQ(2u, engine->connections_accepted());
}

TEST_F(ScannerTest, LoadFiguresFollowJobsAndRequests) {
  engine->options().fault = stand_se_options_t::fault_t::reorder;
  engine->options().reorder_flush = std::chrono::hours(1);
  auto a = job(1, std::string(1000, 'a'));
  // The first request leaves the weight at 1, the second adds one and the size.
  a->request();
  EXPECT_EQ(1u, scanner->job_count());
  EXPECT_EQ(0u, scanner->bytes_in_queue());
  a->request();
  EXPECT_EQ(2u, scanner->job_count());
  EXPECT_EQ(1000u, scanner->bytes_in_queue());
  // Both answers come together once the second is ready.
  ASSERT_TRUE(answered({a}));
  scanner->recount_load();
  EXPECT_EQ(1u, scanner->job_count());
  EXPECT_EQ(1000u, scanner->bytes_in_queue());
  // Removing more than was counted stops at zero.
  a->pending = 5;
  a.reset();
  EXPECT_EQ(0u, scanner->job_count());
  EXPECT_EQ(0u, scanner->bytes_in_queue());
}

TEST_F(ScannerTest, OnlyTheFirstConfigurationStartsTheEngineAtOnce) {
  vl::BrelConfig config;
  config.set_is_se_installed(true);
  config.set_se_max_forks(4);
  config.set_actual_start(true);
  scanner->reconfigure(config);
  EXPECT_EQ(0, path_requests);
  EXPECT_EQ(4u, scanner->max_forks());

  auto fresh =
      std::make_shared<bk_scanner_t>(unused_inventory(), io, [this](auto) { ++path_requests; });
  config.set_actual_start(false);
  fresh->reconfigure(config);
  fresh->reconfigure(config);
  EXPECT_EQ(1, path_requests);

  config.set_is_se_installed(false);
  scanner->reconfigure(config);
  EXPECT_FALSE(scanner->is_enabled());
  EXPECT_EQ(0u, scanner->max_forks());
}

}  // namespace
