// The client tie against a scripted client on the other end of a socket pair, with
// in-memory jobs in place of master jobs.
#include "jobs/client_tie.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/connect_pair.hpp>

#include "core/stat_collector.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_appstat.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/fake_job.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/proto_text.h"
#include "tests/support/recording_log.h"
#include "wiring/inventory.h"

namespace {

using message_t = bk::ServerMessage;

// A framed client message from its text form; required fields may be missing.
std::string frame(const std::string& text) {
  return frame_of(from_text<bk::ClientMessage>(text).SerializePartialAsString());
}

class ClientTieTest : public ::testing::Test {
 protected:
  ClientTieTest() {
    fx.inventory().stat_collector = std::make_shared<bk_stat_collector_t>(
        fx.io(), [this](const vl::BrelAppStat& stat) { stats.push_back(stat); });
    fx.inventory().stat_collector->set_report_interval(std::chrono::milliseconds(5));
    fx.inventory().stat_collector->start();
    gone_ = bk_stat_collector_t::client_gone_signal().connect(
        [this](bk_stat_collector_t::client_key_t key) { gone.push_back(key); });
  }
  ~ClientTieTest() override {
    if (client) client->close();
    run([this] { return tie_.expired(); });
  }

  // Connects a new local tie and keeps its client end in `client`.
  void connect() {
    if (client) client->close();
    auto near = std::make_shared<cf_local_socket_t>(fx.io());
    auto far = std::make_shared<cf_local_socket_t>(fx.io());
    boost::asio::local::connect_pair(*near, *far);
    auto tie = bk_local_client_tie_t::create(
        fx.inventory(), [this](bk_core_inventory_t& inventory, uint32_t job_id, bool soft) {
          if (refuse_jobs) throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "No engine here");
          auto job = std::make_shared<bk_fake_job_t>(inventory.io_context, job_id,
                                                     "Fake job " + std::to_string(job_id));
          job->auto_read_back = false;
          jobs.push_back(job);
          soft_jobs.push_back(soft);
          return job;
        });
    tie->start(near);
    tie_ = tie;
    tie_name = tie->name();
    client = local_client_end_t::open(far);
  }

  bool run(const std::function<bool()>& done) { return fx.run_until(done); }

  message_t next() {
    EXPECT_TRUE(run([this] { return !client->messages.empty() || client->ended; }));
    if (client->messages.empty()) return message_t();
    message_t message = client->messages.front();
    client->messages.pop_front();
    return message;
  }

  void send(const std::string& text) { client->send_raw(frame(text)); }

  void hello(bool flow_control, bool soft_error = false) {
    send(("tag: HELLO origin: APP_MAIL_FILTER origin_pid: 4242" +
          std::string(flow_control ? " flow_control: true" : "") +
          (soft_error ? " soft_error: true" : "")));
    if (flow_control) expect_grant(50331648);
  }

  void expect_grant(int64_t size) {
    const message_t grant = next();
    EXPECT_EQ(grant.tag(), message_t::ADJUST_WINDOW) << grant.ShortDebugString();
    EXPECT_EQ(grant.window_change(), size);
    EXPECT_FALSE(grant.has_job_id());
  }

  // Opens a job and returns the fake that stands for it.
  std::shared_ptr<bk_fake_job_t> init(uint32_t job_id) {
    const std::size_t before = jobs.size();
    send("tag: INIT job_id: " + std::to_string(job_id));
    EXPECT_TRUE(run([&] { return jobs.size() > before; }));
    return jobs.empty() ? nullptr : jobs.back().lock();
  }

  // Has `job` answer something sure to reach the client and checks it comes next:
  // whatever the tie should not have sent would come first.
  void expect_nothing_before_marker(bk_fake_job_t& job) {
    job.respond(777);
    const message_t marker = next();
    EXPECT_EQ(marker.tag(), message_t::GET_DATA_RESPONSE) << marker.ShortDebugString();
    EXPECT_EQ(marker.data_size(), 777u);
  }

  // The client's figures summed over the reports so far.
  vl::BrelScanStat client_figures() {
    vl::BrelScanStat sum;
    for (const auto& stat : stats) {
      for (const auto& client : stat.client()) {
        if (client.origin_pid() != 4242) continue;
        sum.set_scanned_files(sum.scanned_files() + client.scan().scanned_files());
        sum.set_bytes_received(sum.bytes_received() + client.scan().bytes_received());
        sum.set_bytes_sent(sum.bytes_sent() + client.scan().bytes_sent());
      }
    }
    return sum;
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  std::shared_ptr<local_client_end_t> client;
  std::vector<std::weak_ptr<bk_fake_job_t>> jobs;
  std::vector<bool> soft_jobs;
  std::vector<vl::BrelAppStat> stats;
  std::vector<bk_stat_collector_t::client_key_t> gone;
  std::string tie_name;
  bool refuse_jobs = false;
  std::weak_ptr<bk_local_client_tie_t> tie_;
  boost::signals2::scoped_connection gone_;
};

TEST_F(ClientTieTest, GrantsStoredBytesAboveTheThresholdAndUnknownJobsDataAtOnce) {
  connect();
  hello(true);
  auto job = init(1);
  client->chunk(1, "abc");
  ASSERT_TRUE(run([&] { return !job->chunks.empty(); }));
  EXPECT_EQ(*job->chunks[0], "abc");
  job->acknowledge(25165824);
  expect_nothing_before_marker(*job);
  job->acknowledge(1);
  expect_grant(25165825);

  // Data for a job the connection does not hold counts as stored at once, and as
  // received for the client.
  client->chunk(9, std::string(30000000, 'x'));
  expect_grant(30000000);
  EXPECT_EQ(job->chunks.size(), 1u);
  EXPECT_TRUE(run([&] { return client_figures().bytes_received() == 30000003; }));
}

TEST_F(ClientTieTest, HoldsGrantsWhileAJobIsMovedAndNeverSendsANegativeOne) {
  connect();
  hello(true);
  auto job = init(1);
  auto other = init(2);
  job->get_delegate()->on_redirect_begin(1);
  // 8e9 bytes: more than a 32-bit count and more than one signed grant can carry.
  job->acknowledge(4000000000u);
  job->acknowledge(4000000000u);
  other->get_delegate()->on_redirect_end(2);
  expect_nothing_before_marker(*job);
  job->get_delegate()->on_redirect_end(1);
  int64_t granted = 0;
  while (granted < 8000000000) {
    const message_t grant = next();
    ASSERT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
    ASSERT_GT(grant.window_change(), 0);
    granted += grant.window_change();
  }
  EXPECT_EQ(granted, 8000000000);
  expect_nothing_before_marker(*job);
}

TEST_F(ClientTieTest, AJobThatEndsNoLongerHoldsTheGrants) {
  connect();
  hello(true, true);
  auto job = init(1);
  auto other = init(2);
  EXPECT_TRUE(soft_jobs[0]);
  job->get_delegate()->on_redirect_begin(1);
  // The job fails for good but lives on a while (a caller up the stack holds it).
  job->alarm(vl::EC_DATA_CORRUPTED);
  EXPECT_EQ(next().tag(), message_t::ALARM);
  other->acknowledge(30000000);
  expect_grant(30000000);
  // A late redirect notice of the dropped job cannot hold them either.
  job->get_delegate()->on_redirect_begin(1);
  other->acknowledge(30000000);
  expect_grant(30000000);
}

TEST_F(ClientTieTest, WithoutFlowControlNothingIsEverGranted) {
  connect();
  hello(false);
  EXPECT_TRUE(run([&] { return log->has(tie_name + ": Flow control disabled"); }));
  auto job = init(1);
  client->chunk(9, std::string(30000000, 'x'));
  job->acknowledge(30000000);
  expect_nothing_before_marker(*job);
}

TEST_F(ClientTieTest, PassesRequestsToTheJobAndItsAnswersToTheClient) {
  connect();
  hello(true);
  auto job = init(0);
  send("tag: SCAN_REQUEST job_id: 0 scan_options { cure: true }");
  send("tag: GET_DATA_REQUEST job_id: 0");
  ASSERT_TRUE(run([&] { return !job->get_data_calls.empty(); }));
  ASSERT_EQ(job->scans.size(), 1u);
  EXPECT_TRUE(job->scans[0].cure());
  EXPECT_EQ(job->get_data_calls, std::vector<uint32_t>{65535});

  vl::ScanReport report;
  report.set_object("x");
  report.set_size(3);
  job->get_delegate()->on_scan_response(0, report, bk_hash_values_t{std::string(40, 'A'), ""});
  message_t response = next();
  EXPECT_EQ(response.tag(), message_t::SCAN_RESPONSE);
  EXPECT_EQ(response.job_id(), 0u);
  EXPECT_EQ(response.scan_report().size(), 3u);
  EXPECT_EQ(response.sha1(), std::string(40, 'A'));
  EXPECT_FALSE(response.has_sha256());

  // Read-back: each chunk goes out, and the drained signal says when it has left.
  int drained = 0;
  auto connection = job->get_delegate()->connect_on_drained([&] { ++drained; });
  job->respond(5);
  job->send_chunk("hello");
  EXPECT_EQ(next().data_size(), 5u);
  response = next();
  EXPECT_EQ(response.tag(), message_t::DATA_CHUNK);
  EXPECT_EQ(response.data(), "hello");
  EXPECT_TRUE(run([&] { return drained > 0; }));
  connection.disconnect();
  EXPECT_TRUE(run([&] {
    const auto figures = client_figures();
    return figures.bytes_sent() == 5 && figures.scanned_files() == 1;
  }));

  // RESET ends the job; later answers for it are dropped but reports still count.
  send("tag: RESET job_id: 0");
  ASSERT_TRUE(run([&] { return job->resets == 1; }));
  EXPECT_EQ(job.use_count(), 1);
  job->get_delegate()->on_scan_response(0, report, bk_hash_values_t{});
  job->alarm(vl::EC_NOT_READY);
  EXPECT_TRUE(log->has(tie_name + ": Dropped ALARM 0"));
  EXPECT_TRUE(run([&] { return client_figures().scanned_files() == 2; }));
}

TEST_F(ClientTieTest, AlarmsEndOrKeepTheJobAndFailedInitsAnswerWithOne) {
  connect();
  hello(false, true);
  auto job = init(3);
  job->alarm(vl::EC_PROTOCOL_VIOLATION, true, "Data chunk after cure");
  message_t alarm = next();
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 3u);
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(alarm.error().code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_EQ(alarm.error().what(), "Data chunk after cure: Protocol violation");
  // A soft alarm leaves the job: its data can still be read back.
  send("tag: GET_DATA_REQUEST job_id: 3");
  ASSERT_TRUE(run([&] { return job->get_data_calls.size() == 1; }));

  job->get_delegate()->on_alarm(
      3, std::make_exception_ptr(cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "gone")), false);
  alarm = next();
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "gone");
  EXPECT_FALSE(alarm.has_soft());
  job.reset();
  EXPECT_TRUE(jobs[0].expired());
  // The identifier is free again.
  ASSERT_TRUE(init(3));
  // A job that cannot be made is answered with the reason.
  refuse_jobs = true;
  send("tag: INIT job_id: 6");
  alarm = next();
  EXPECT_EQ(alarm.job_id(), 6u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No engine here");
}

TEST_F(ClientTieTest, ProtocolErrorsCloseTheConnectionWithoutAnswer) {
  const std::string hi = frame("tag: HELLO origin: APP_FILE_MONITOR origin_pid: 1");
  const std::pair<std::string, std::string> cases[] = {
      {frame("tag: DATA_CHUNK job_id: 1 data: 'x'"), "DATA_CHUNK: Not identified"},
      {hi + hi, "HELLO has already been received"},
      {frame("tag: HELLO origin: APP_FILE_MONITOR"), "IPC: HELLO: Invalid argument"},
      // origin 99 is no vl::Application value: the parser sets it aside.
      {frame_of(std::string("\x08\x01\x10\x63\x18\x01", 6)), "IPC: HELLO: Invalid argument"},
      {hi + frame("tag: INIT"), "IPC: INIT: Invalid argument"},
      {frame_of("\xff\xff\xff"), "IPC: Invalid IPC message format"},
      {frame_of(std::string("\x08\x07", 2)), "IPC: Invalid IPC message format"},
      {std::string(4, '\0'), "IO: Invalid IPC message size"},
      {std::string("\x01\x00\x00\x04", 4), "IO: Invalid IPC message size"},
  };
  for (const auto& [bytes, line] : cases) {
    SCOPED_TRACE(line);
    connect();
    client->send_raw(bytes);
    EXPECT_TRUE(run([this] { return client->ended; }));
    EXPECT_TRUE(client->messages.empty()) << client->messages.front().ShortDebugString();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
    EXPECT_TRUE(log->has(tie_name + ": " + line));
  }
  // A frame of exactly the limit is still taken.
  connect();
  hello(true);
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
  chunk.set_data(std::string(kClientMessageMaxSize - 9, 'z'));
  ASSERT_EQ(chunk.ByteSizeLong(), kClientMessageMaxSize);
  client->send(chunk);
  EXPECT_TRUE(run([&] { return !job->chunks.empty(); }));
}

TEST_F(ClientTieTest, DisconnectResetsEveryJobBeforeItGoesAndReportsTheClientGoneOnce) {
  connect();
  // Before HELLO nothing was reported, so nothing is reported gone.
  client->close();
  ASSERT_TRUE(run([&] { return tie_.expired(); }));
  EXPECT_TRUE(log->has("Debug: " + tie_name + ": Disconnected"));
  EXPECT_TRUE(gone.empty());

  connect();
  hello(true);
  std::vector<std::string> events;
  for (uint32_t id : {1u, 2u}) {
    init(id)->on_destroy = [&events](bk_fake_job_t& job) {
      events.push_back(std::to_string(job.job_id) + " after " + std::to_string(job.resets));
    };
  }
  // A job paused at the end still finds the tie whole when it goes.
  auto two = jobs[1].lock();
  two->get_delegate()->on_redirect_begin(2);
  two->on_destroy = [&events](bk_fake_job_t& job) {
    job.acknowledge(40000000);
    job.get_delegate()->on_redirect_end(2);
    events.push_back("2 after " + std::to_string(job.resets));
  };
  two.reset();
  client->close();
  ASSERT_TRUE(run([&] { return log->has(tie_name + ": Destroyed"); }));
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, (std::vector<std::string>{"1 after 1", "2 after 1"}));
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0], bk_stat_collector_t::client_key_t(vl::APP_MAIL_FILTER, 4242));
}

TEST_F(ClientTieTest, AReportTooLargeForAFrameFailsOnlyItsJob) {
  connect();
  hello(false);
  auto job = init(1);
  auto other = init(2);
  vl::ScanReport report;
  report.set_object(std::string(kClientMessageMaxSize, 'r'));
  job->get_delegate()->on_scan_response(1, report, bk_hash_values_t{});
  const message_t alarm = next();
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_BAD_MESSAGE_SIZE);
  job.reset();
  EXPECT_TRUE(jobs[0].expired());
  expect_nothing_before_marker(*other);
}

}  // namespace
