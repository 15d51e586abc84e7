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
    auto& collector = fx.inventory().stat_collector;
    collector = std::make_shared<bk_stat_collector_t>(
        fx.io(), [this](const vl::BrelAppStat& stat) { stats.push_back(stat); });
    collector->set_report_interval(std::chrono::milliseconds(5));
    collector->start();
    gone_ = bk_stat_collector_t::client_gone_signal().connect(
        [this](bk_stat_collector_t::client_key_t key) { gone.push_back(key); });
  }
  ~ClientTieTest() override {
    if (client) client->close();
    run([this] { return tie_.expired(); });
  }

  // Connects a new local tie, says HELLO unless `hello` is unset, and keeps the
  // client end in `client`.
  void connect(bool flow_control, bool soft_error = false, bool hello = true) {
    if (client) client->close();
    auto near = std::make_shared<cf_local_socket_t>(fx.io());
    auto far = std::make_shared<cf_local_socket_t>(fx.io());
    boost::asio::local::connect_pair(*near, *far);
    auto tie = bk_local_client_tie_t::create(
        fx.inventory(), [this](bk_core_inventory_t& inventory, uint32_t job_id, bool soft) {
          if (refuse_jobs) throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "No engine here");
          auto job = std::make_shared<bk_fake_job_t>(inventory.io_context, job_id);
          job->auto_read_back = false;
          jobs.push_back(job);
          soft_jobs.push_back(soft);
          return job;
        });
    tie->start(near);
    tie_ = tie;
    tie_name = tie->name();
    client = local_client_end_t::open(far);
    if (!hello) return;
    client->hello(flow_control, soft_error);
    if (flow_control) expect_grant(kClientInitialWindow);
  }

  bool run(const std::function<bool()>& done) { return fx.run_until(done); }
  message_t next() { return client->next(fx.io(), true); }

  // The next message, grants included, is the one `text` describes.
  void expect_next(const std::string& text) {
    EXPECT_EQ(next().ShortDebugString(), from_text<message_t>(text).ShortDebugString());
  }
  void expect_grant(int64_t size) {
    expect_next("tag: ADJUST_WINDOW window_change: " + std::to_string(size));
  }
  void expect_alarm(uint32_t job_id, const std::string& code, const std::string& what,
                    bool soft = false) {
    expect_next("tag: ALARM job_id: " + std::to_string(job_id) + (soft ? " soft: true" : "") +
                " error { code: " + code + " what: '" + what + "' }");
  }

  // Opens a job and returns the fake that stands for it.
  std::shared_ptr<bk_fake_job_t> init(uint32_t job_id) {
    const std::size_t before = jobs.size();
    client->send(bk::ClientMessage::INIT, job_id);
    EXPECT_TRUE(run([&] { return jobs.size() > before; }));
    return jobs.size() > before ? jobs.back().lock() : nullptr;
  }

  // Has `job` answer something sure to reach the client and checks it comes next:
  // whatever the tie should not have sent would come first.
  void expect_nothing_before_marker(bk_fake_job_t& job) {
    job.respond(777);
    expect_next("tag: GET_DATA_RESPONSE job_id: " + std::to_string(job.job_id) + " data_size: 777");
  }

  // The client's figures summed over the reports so far.
  vl::BrelScanStat client_figures() {
    vl::BrelScanStat sum;
    for (const auto& stat : stats) {
      for (const auto& client : stat.client()) {
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
  connect(true);
  auto job = init(1);
  client->chunk(1, "abc");
  ASSERT_TRUE(run([&] { return !job->chunks.empty(); }));
  EXPECT_EQ(*job->chunks[0], "abc");
  job->acknowledge(kClientGrantThreshold);
  expect_nothing_before_marker(*job);
  job->acknowledge(1);
  expect_grant(kClientGrantThreshold + 1);

  // Data for a job the connection does not hold counts as stored at once, and as
  // received for the client.
  client->chunk(9, std::string(30000000, 'x'));
  expect_grant(30000000);
  EXPECT_EQ(job->chunks.size(), 1u);
  EXPECT_TRUE(run([&] { return client_figures().bytes_received() == 30000003; }));
}

TEST_F(ClientTieTest, GrantsWaitWhileAJobIsMovedUntilItEndsAndNeverGoNegative) {
  connect(true, true);
  auto job = init(1);
  auto other = init(2);
  auto failing = init(3);
  EXPECT_TRUE(soft_jobs[0]);
  job->get_delegate()->on_redirect_begin(1);
  failing->get_delegate()->on_redirect_begin(3);
  // 8e9 bytes: more than a 32-bit count and more than one signed grant can carry.
  job->acknowledge(4000000000u);
  job->acknowledge(4000000000u);
  other->get_delegate()->on_redirect_end(2);
  job->get_delegate()->on_redirect_end(1);
  expect_nothing_before_marker(*job);
  // A job that fails for good holds them no longer, although it lives on a while (a
  // caller up the stack holds it), and a late notice of it cannot hold them again.
  failing->alarm(vl::EC_DATA_CORRUPTED);
  EXPECT_EQ(next().tag(), message_t::ALARM);
  failing->get_delegate()->on_redirect_begin(3);
  int64_t granted = 0;
  while (granted < 8000000000) {
    const message_t grant = next();
    ASSERT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
    ASSERT_GT(grant.window_change(), 0);
    granted += grant.window_change();
  }
  EXPECT_EQ(granted, 8000000000);
  expect_nothing_before_marker(*job);

  // Without flow control nothing is ever granted.
  connect(false);
  EXPECT_TRUE(run([&] { return log->has(tie_name + ": Flow control disabled"); }));
  job = init(1);
  client->chunk(9, std::string(30000000, 'x'));
  job->acknowledge(30000000);
  expect_nothing_before_marker(*job);
}

TEST_F(ClientTieTest, PassesRequestsToTheJobAndItsAnswersToTheClient) {
  connect(true);
  auto job = init(0);
  client->send_raw(frame("tag: SCAN_REQUEST job_id: 0 scan_options { cure: true }"));
  client->send(bk::ClientMessage::GET_DATA_REQUEST, 0);
  ASSERT_TRUE(run([&] { return !job->get_data_calls.empty(); }));
  ASSERT_EQ(job->scans.size(), 1u);
  EXPECT_TRUE(job->scans[0].cure());
  EXPECT_EQ(job->get_data_calls, std::vector<uint32_t>{kLocalReadChunk});

  vl::ScanReport report;
  report.set_object("x");
  report.set_size(3);
  job->get_delegate()->on_scan_response(0, report, bk_hash_values_t{std::string(40, 'A'), ""});
  expect_next("tag: SCAN_RESPONSE job_id: 0 scan_report { object: 'x' size: 3 } sha1: '" +
              std::string(40, 'A') + "'");

  // Read-back: each chunk goes out, and the drained signal says when it has left.
  int drained = 0;
  auto connection = job->get_delegate()->connect_on_drained([&] { ++drained; });
  job->respond(5);
  job->send_chunk("hello");
  expect_next("tag: GET_DATA_RESPONSE job_id: 0 data_size: 5");
  expect_next("tag: DATA_CHUNK job_id: 0 data: 'hello'");
  EXPECT_TRUE(run([&] { return drained > 0; }));
  connection.disconnect();
  EXPECT_TRUE(run([&] {
    const auto figures = client_figures();
    return figures.bytes_sent() == 5 && figures.scanned_files() == 1;
  }));

  // RESET ends the job; later answers for it are dropped but reports still count.
  client->send(bk::ClientMessage::RESET, 0);
  ASSERT_TRUE(run([&] { return job->resets == 1; }));
  EXPECT_EQ(job.use_count(), 1);
  job->get_delegate()->on_scan_response(0, report, bk_hash_values_t{});
  job->alarm(vl::EC_NOT_READY);
  EXPECT_TRUE(log->has(tie_name + ": Dropped ALARM 0"));
  EXPECT_TRUE(run([&] { return client_figures().scanned_files() == 2; }));
}

TEST_F(ClientTieTest, AlarmsEndOrKeepTheJobAndAnInitThatCannotOpenOneAnswersWithOne) {
  connect(false, true);
  auto job = init(3);
  job->alarm(vl::EC_PROTOCOL_VIOLATION, true, "Data chunk after cure");
  expect_alarm(3, "EC_PROTOCOL_VIOLATION", "Data chunk after cure: Protocol violation", true);
  // A soft alarm leaves the job: its data can still be read back.
  client->send(bk::ClientMessage::GET_DATA_REQUEST, 3);
  ASSERT_TRUE(run([&] { return job->get_data_calls.size() == 1; }));
  job->alarm(vl::EC_NO_SCAN_ENGINE, false, "gone");
  expect_alarm(3, "EC_NO_SCAN_ENGINE", "gone: ScanEngine is not available");
  job.reset();
  EXPECT_TRUE(jobs[0].expired());

  // A report too large for a frame fails only its job.
  job = init(3);
  auto other = init(4);
  vl::ScanReport report;
  report.set_object(std::string(kClientMessageMaxSize, 'r'));
  job->get_delegate()->on_scan_response(3, report, bk_hash_values_t{});
  expect_alarm(3, "EC_BAD_MESSAGE_SIZE", "Scan report too large: Invalid IPC message size");
  job.reset();
  EXPECT_TRUE(jobs[1].expired());
  expect_nothing_before_marker(*other);

  // A job that cannot be made is answered with the reason.
  refuse_jobs = true;
  client->send(bk::ClientMessage::INIT, 6);
  expect_alarm(6, "EC_NO_SCAN_ENGINE", "No engine here");
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
    connect(false, false, false);
    client->send_raw(bytes);
    EXPECT_TRUE(run([this] { return client->ended; }));
    EXPECT_TRUE(client->messages.empty()) << client->messages.front().ShortDebugString();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
    EXPECT_TRUE(log->has(tie_name + ": " + line));
  }
  // A frame of exactly the limit is still taken.
  connect(true);
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
  chunk.set_data(std::string(kClientMessageMaxSize - 9, 'z'));
  ASSERT_EQ(chunk.ByteSizeLong(), kClientMessageMaxSize);
  client->send(chunk);
  EXPECT_TRUE(run([&] { return !job->chunks.empty(); }));
}

TEST_F(ClientTieTest, DisconnectResetsEveryJobBeforeItGoesAndReportsTheClientGoneOnce) {
  // Before HELLO nothing was reported, so nothing is reported gone.
  connect(false, false, false);
  client->close();
  ASSERT_TRUE(run([&] { return tie_.expired(); }));
  EXPECT_TRUE(log->has("Debug: " + tie_name + ": Disconnected"));
  EXPECT_TRUE(gone.empty());

  connect(true);
  std::vector<std::string> events;
  init(1)->on_destroy = [&events](bk_fake_job_t& job) {
    events.push_back("1 after " + std::to_string(job.resets));
  };
  // A job paused at the end still finds the tie whole when it goes.
  auto two = init(2);
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
  EXPECT_EQ(gone[0], bk_stat_collector_t::client_key_t(vl::APP_WEB_GATEWAY, 77));
}

}  // namespace
