// The peer tie-in against a scripted peer client over loopback TCP: a real plain
// peer connection and the real cluster of a real central object, with in-memory
// jobs the test scripts.
#include "cluster/peer_tie_in.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>

#include "cluster/cluster.h"
#include "cluster/node_rating.h"
#include "cluster/peer_connection.h"
#include "cluster/peer_protocol.h"
#include "core/scanner.h"
#include "core/stat_collector.h"
#include "framework/error.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_appstat.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/fake_job.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/peer_end.h"
#include "tests/support/proto_text.h"
#include "tests/support/recording_log.h"

namespace {

using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;

// A framed peer client message from its text form; required fields may be missing.
std::string frame(const std::string& text) {
  return frame_of(from_text<client_t>(text).SerializePartialAsString());
}

class PeerTieInTest : public ::testing::Test {
 protected:
  PeerTieInTest() { enable_engine(true); }
  ~PeerTieInTest() override {
    if (peer) peer->close();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
  }

  // Jobs start only with an engine, though the fake ones never use it.
  void enable_engine(bool on) {
    vl::BrelConfig config;
    config.set_is_se_installed(on);
    config.set_se_max_forks(4);
    config.set_actual_start(true);
    fx.inventory().scanner->reconfigure(config);
  }
  bool run(const std::function<bool()>& done) { return fx.run_until(done); }

  // A new link as the peer acceptor makes one, up to its STATUS; `hello` says HELLO.
  server_t connect(bool hello = true) {
    if (peer) peer->close();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
    peer = peer_end_t::connect(fx.io(), acceptor_.local_endpoint());
    auto socket = std::make_shared<cf_tcp_socket_t>(fx.io());
    acceptor_.accept(*socket);
    auto connection = std::make_shared<bk_peer_connection_plain_t>(fx.inventory());
    connection->start(socket);
    connection_ = connection;
    auto tie = bk_peer_tie_in_t::create(fx.inventory(), connection);
    connection->set_delegate(tie.get());
    tie->set_job_factory([this](uint32_t job_id) {
      auto job = std::make_shared<bk_fake_job_t>(fx.io(), job_id);
      if (on_create) on_create(*job);
      return jobs[job_id] = job;
    });
    fx.inventory().cluster->on_peer_in_connected(tie);
    tie_ = tie;
    name = tie->name();
    const server_t status = next();
    if (hello) peer->hello();
    return status;
  }
  std::shared_ptr<bk_peer_tie_in_t> tie() const { return tie_.lock(); }
  bool reading_paused() const {
    const auto connection = connection_.lock();
    return connection && connection->reading_paused();
  }

  // The next message, past any acknowledgement when `skip_acks` is set.
  server_t next() {
    EXPECT_TRUE(run([this] { return !peer->messages.empty() || peer->ended; }));
    if (peer->messages.empty()) return server_t();
    server_t message = std::move(peer->messages.front());
    peer->messages.pop_front();
    return skip_acks && message.tag() == server_t::DATA_CHUNK_APPENDED ? next() : message;
  }
  void expect_alarm(uint32_t job_id, vl::ErrorCode code, const std::string& what = "") {
    const server_t alarm = next();
    EXPECT_EQ(alarm.tag(), server_t::ALARM) << alarm.ShortDebugString();
    EXPECT_EQ(alarm.job_id(), job_id);
    EXPECT_EQ(alarm.error().code(), code) << alarm.error().what();
    if (!what.empty()) {
      EXPECT_EQ(alarm.error().what(), what);
    }
    EXPECT_TRUE(alarm.has_soft() && !alarm.soft());
  }
  // A request answered at once; whatever the tie-in should not have sent would
  // come before its answer.
  void expect_nothing_before_marker() {
    peer->send(client_t::GET_DATA_REQUEST, 999999);
    expect_alarm(999999, vl::EC_NO_SUCH_ENTRY);
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  std::shared_ptr<peer_end_t> peer;
  std::string name;
  // Every job the tie-in started, by identifier; `on_create` scripts each new one.
  std::map<uint32_t, std::shared_ptr<bk_fake_job_t>> jobs;
  std::function<void(bk_fake_job_t&)> on_create;
  bool skip_acks = false;

 private:
  boost::asio::ip::tcp::acceptor acceptor_{
      fx.io(), boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
  std::weak_ptr<bk_peer_tie_in_t> tie_;
  std::weak_ptr<bk_peer_connection_t> connection_;
};

TEST_F(PeerTieInTest, SendsStatusBeforeHelloAndWhenTheClusterAsks) {
  server_t status = connect(false);
  EXPECT_EQ(status.tag(), server_t::STATUS);
  EXPECT_EQ(status.protocol_version(), 1u);
  EXPECT_EQ(status.server_status().max_forks(), 4u);

  // A node with 4 GiB and more queued reports the most the field holds, not the
  // low 32 bits, which would make it look idle.
  bk_node_rating_t local;
  local.max_forks = 2;
  local.job_count = 3;
  local.bytes_in_queue = (uint64_t{1} << 32) + 5;
  tie()->send_status(local);
  status = next();
  EXPECT_EQ(status.tag(), server_t::STATUS);
  EXPECT_EQ(status.server_status().job_count(), 3u);
  EXPECT_EQ(status.server_status().bytes_in_queue(), 4294967295u);
}

TEST_F(PeerTieInTest, ProtocolErrorsEndTheLink) {
  const std::string hello = frame("tag: HELLO protocol_version: 1");
  const std::pair<std::string, std::string> cases[] = {
      {frame("tag: HELLO protocol_version: 2"),
       "IPC: Peer protocol versions mismatch: Invalid argument"},
      // Tag 9 is outside the enumeration: the required tag counts as absent.
      {frame_of(std::string("\x08\x09\x10\x07", 4)), "IPC: Invalid IPC message format"},
      {hello + frame("tag: DATA_CHUNK job_id: 1"), "IPC: DATA_CHUNK: Invalid argument"},
      {hello + frame("tag: DATA_RESET_REQUEST job_id: 4"),
       "IPC: " + make_error_code(vl::EC_NO_SUCH_ENTRY).message()},
      {hello + length_prefix(0), "Connection: Invalid IPC message size"},
  };
  for (const auto& [bytes, line] : cases) {
    SCOPED_TRACE(line);
    connect(false);
    peer->send_raw(bytes);
    EXPECT_TRUE(run([this] { return peer->ended && tie() == nullptr; }));
    EXPECT_TRUE(peer->messages.empty()) << peer->messages.front().ShortDebugString();
    EXPECT_TRUE(log->has("Error: " + name + ": " + line));
  }
  // A job's message before HELLO draws the job's own alarm first.
  connect(false);
  peer->chunk(7, "x");
  expect_alarm(7, vl::EC_INVALID_ARGUMENT, "Peer protocol version 1 required");
  EXPECT_TRUE(run([this] { return peer->ended && tie() == nullptr; }));
  EXPECT_TRUE(log->has("Error: " + name + ": IPC: Client message before hello"));
}

TEST_F(PeerTieInTest, ReadsBackInPeerSizedChunksAndResetEndsTheJob) {
  connect();
  const std::string data(150000, 'a');
  for (std::size_t at = 0; at < data.size(); at += 50000) peer->chunk(5, data.substr(at, 50000));
  peer->send(client_t::GET_DATA_REQUEST, 5);
  EXPECT_EQ(next().data_size(), data.size());
  std::string back;
  while (back.size() < data.size()) {
    const server_t chunk = next();
    ASSERT_EQ(chunk.tag(), server_t::DATA_CHUNK);
    back += chunk.data();
  }
  EXPECT_TRUE(back == data);
  EXPECT_EQ(jobs[5]->get_data_calls, std::vector<uint32_t>{kPeerReadChunk});
  peer->send(client_t::DATA_RESET_REQUEST, 5);
  EXPECT_EQ(next().tag(), server_t::DATA_RESET_RESPONSE);

  // RESET_REQUEST ends the job unanswered.
  peer->send(client_t::RESET_REQUEST, 5);
  expect_nothing_before_marker();
  EXPECT_EQ(jobs[5]->resets, 1u);
  EXPECT_EQ(tie()->job_count(), 0u);
}

TEST_F(PeerTieInTest, NamesItselfAndLogsItsPeerOnCreation) {
  const server_t status = connect(false);
  ASSERT_EQ(name.rfind("PeerIn 0x", 0), 0u);
  EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 9), std::string::npos) << name;
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Created with 127.0.0.1:" +
                            std::to_string(tie()->remote_endpoint().port())));
  EXPECT_EQ(status.job_id(), 0u);
  EXPECT_EQ(status.server_status().job_count(), 0u);
}

TEST_F(PeerTieInTest, HelloWithoutVersionOrARequestBeforeHelloEndsTheLink) {
  connect(false);
  peer->send_raw(frame("tag: HELLO"));
  EXPECT_TRUE(run([this] { return peer->ended && tie() == nullptr; }));
  EXPECT_TRUE(peer->messages.empty()) << peer->messages.front().ShortDebugString();
  EXPECT_TRUE(log->has("Error: " + name +
                       ": IPC: HELLO: " + make_error_code(vl::EC_INVALID_ARGUMENT).message()));

  // A request naming no job draws the alarm of job 0 before the link ends.
  connect(false);
  peer->send_raw(frame("tag: RESET_REQUEST"));
  expect_alarm(0, vl::EC_INVALID_ARGUMENT, "Peer protocol version 1 required");
  EXPECT_TRUE(run([this] { return peer->ended && tie() == nullptr; }));
  EXPECT_TRUE(log->has("Error: " + name + ": IPC: Client message before hello: " +
                       make_error_code(vl::EC_PROTOCOL_VIOLATION).message()));
}

TEST_F(PeerTieInTest, UnknownJobInGetDataDrawsAlarmAndTheLinkStays) {
  connect();
  peer->send(client_t::GET_DATA_REQUEST, 5);
  expect_alarm(5, vl::EC_NO_SUCH_ENTRY);
  // Resetting a job not held is no error, however often.
  peer->send(client_t::RESET_REQUEST, 6);
  peer->send(client_t::RESET_REQUEST, 6);
  // No job failed, so the identifier may still start one, even without data.
  peer->scan(5);
  expect_nothing_before_marker();
  ASSERT_EQ(jobs.count(5), 1u);
  EXPECT_EQ(jobs[5]->scans.size(), 1u);
  EXPECT_TRUE(jobs[5]->stored.empty());
  EXPECT_EQ(jobs.count(6), 0u);
  EXPECT_FALSE(peer->ended);
}

TEST_F(PeerTieInTest, CountsThePeersBytesAndReportsInTheStatistics) {
  // Shared with the collector, which the central object keeps past the test's body.
  const auto stats = std::make_shared<std::vector<vl::BrelAppStat>>();
  auto& collector = fx.inventory().stat_collector;
  collector = std::make_shared<bk_stat_collector_t>(
      fx.io(), [stats](const vl::BrelAppStat& stat) { stats->push_back(stat); });
  collector->set_report_interval(std::chrono::milliseconds(5));
  collector->start();
  // This peer's figures summed over the reports so far.
  const auto figures = [stats] {
    vl::BrelScanStat sum;
    for (const vl::BrelAppStat& stat : *stats) {
      for (const auto& entry : stat.peer_in()) {
        sum.set_scanned_files(sum.scanned_files() + entry.scan().scanned_files());
        sum.set_bytes_received(sum.bytes_received() + entry.scan().bytes_received());
        sum.set_bytes_sent(sum.bytes_sent() + entry.scan().bytes_sent());
      }
    }
    return sum;
  };

  connect();
  peer->chunk(5, "abcdef");
  peer->chunk(5, "gh");
  peer->scan(5);
  expect_nothing_before_marker();
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Started JOB 5 as Fake job"));
  jobs[5]->answer_scan();
  EXPECT_EQ(next().tag(), server_t::SCAN_RESPONSE);
  peer->send(client_t::GET_DATA_REQUEST, 5);
  EXPECT_EQ(next().data_size(), 8u);
  EXPECT_EQ(next().data(), "abcdefgh");
  EXPECT_TRUE(run([&] {
    const vl::BrelScanStat sum = figures();
    return sum.scanned_files() == 1 && sum.bytes_received() == 8 && sum.bytes_sent() == 8;
  })) << figures().ShortDebugString();
}

TEST_F(PeerTieInTest, LinkDroppedMidJobResetsTheJobWithoutAnError) {
  connect();
  peer->chunk(4, "data");
  peer->scan(4);
  expect_nothing_before_marker();
  ASSERT_EQ(jobs.count(4), 1u);
  peer->close();
  ASSERT_TRUE(run([&] { return tie() == nullptr; }));
  EXPECT_EQ(jobs[4]->resets, 1u);
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Destroyed"));
  // The peer hanging up is no error.
  EXPECT_FALSE(log->has("Error: " + name));
}

TEST_F(PeerTieInTest, AJobThatFailedHereIsAnsweredWithItsFailureUntilReset) {
  enable_engine(false);
  connect();
  peer->chunk(3, "abc");
  expect_alarm(3, vl::EC_NOT_READY);
  // With the engine back, the job must still not start on the rest of its data.
  enable_engine(true);
  peer->chunk(3, "def");
  peer->scan(3);
  peer->send(client_t::GET_DATA_REQUEST, 3);
  peer->send(client_t::DATA_RESET_REQUEST, 3);
  for (int i = 0; i < 4; ++i) expect_alarm(3, vl::EC_NOT_READY);
  EXPECT_TRUE(jobs.empty());

  // The peer's reset forgets the failure: the identifier starts a job again.
  peer->send(client_t::RESET_REQUEST, 3);
  peer->chunk(3, "ghi");
  peer->scan(3);
  expect_nothing_before_marker();
  ASSERT_EQ(jobs.count(3), 1u);
  EXPECT_EQ(jobs[3]->stored, "ghi");
  EXPECT_EQ(jobs[3]->scans.size(), 1u);
}

TEST_F(PeerTieInTest, FailuresAreRememberedUpToACap) {
  enable_engine(false);
  connect();
  const uint32_t count = static_cast<uint32_t>(bk_peer_tie_in_t::kFailedJobsKept) + 1;
  for (uint32_t id = 1; id <= count; ++id) peer->chunk(id, "x");
  for (uint32_t id = 1; id <= count; ++id) expect_alarm(id, vl::EC_NOT_READY);
  // The oldest failure went to make room; the next one is still kept.
  peer->send(client_t::GET_DATA_REQUEST, 1);
  expect_alarm(1, vl::EC_NO_SUCH_ENTRY);
  peer->send(client_t::GET_DATA_REQUEST, 2);
  expect_alarm(2, vl::EC_NOT_READY);
}

TEST_F(PeerTieInTest, ATooLargeReportOrAThrowingJobFailsOnlyThatJob) {
  on_create = [](bk_fake_job_t& job) {
    if (job.job_id == 2) job.on_append = [] { throw std::runtime_error("Disk gone"); };
  };
  connect();
  peer->scan(1);
  expect_nothing_before_marker();
  vl::ScanReport report;
  report.set_object(std::string(kPeerLinkLimit, 'r'));
  jobs[1]->get_delegate()->on_scan_response(1, report, bk_hash_values_t{});
  expect_alarm(1, vl::EC_BAD_MESSAGE_SIZE);
  EXPECT_TRUE(log->has("Error: " + name + ": SCAN_RESPONSE 1: Scan report too large"));
  EXPECT_EQ(tie()->job_count(), 0u);
  // The dropped job's late answers: acknowledgements still go, the others do not.
  jobs[1]->alarm(vl::EC_DATA_CORRUPTED);
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Dropped ALARM 1"));
  jobs[1]->acknowledge(3);
  const server_t appended = next();
  EXPECT_EQ(appended.tag(), server_t::DATA_CHUNK_APPENDED);
  EXPECT_EQ(appended.data_size(), 3u);
  peer->chunk(1, "more");
  expect_alarm(1, vl::EC_BAD_MESSAGE_SIZE);

  peer->chunk(2, "x");
  expect_alarm(2, vl::EC_UNEXPECTED_ERROR, "Disk gone");
  peer->chunk(2, "y");
  expect_alarm(2, vl::EC_UNEXPECTED_ERROR, "Disk gone");
  EXPECT_EQ(jobs.size(), 2u);
  EXPECT_FALSE(peer->ended);
}

TEST_F(PeerTieInTest, StopsReadingWhileItsJobsHoldTooMuchUnstored) {
  connect();
  skip_acks = true;
  // The fake jobs store nothing until told: their chunks stop the link at the bound.
  const std::string chunk(1 << 20, 'c');
  const auto fill = [&](uint32_t job_id) {
    return run([&] {
      if (peer->queued_send_bytes() == 0) peer->chunk(job_id, chunk);
      return reading_paused();
    });
  };
  ASSERT_TRUE(fill(3));
  EXPECT_GT(tie()->unstored_bytes(), kConnectionUnstoredLimit);
  EXPECT_LE(tie()->unstored_bytes(), kConnectionUnstoredLimit + chunk.size());
  jobs[3]->acknowledge_all();
  EXPECT_FALSE(reading_paused());
  // Chunks on their way meanwhile arrive before the marker's answer.
  expect_nothing_before_marker();
  jobs[3]->acknowledge_all();
  EXPECT_EQ(tie()->unstored_bytes(), 0u);

  // What a failed job held counts as stored, and so do the chunks it drops.
  ASSERT_TRUE(fill(4));
  jobs[4]->alarm(vl::EC_DATA_CORRUPTED);
  expect_alarm(4, vl::EC_DATA_CORRUPTED);
  peer->chunk(4, chunk);
  expect_nothing_before_marker();
  EXPECT_EQ(tie()->unstored_bytes(), 0u);
  EXPECT_FALSE(reading_paused());
}

TEST_F(PeerTieInTest, RunsAtMostTheJobCapAtOnceAndTheLinkStays) {
  connect();
  // A link carries the jobs of many clients: far more than one client connection.
  for (uint32_t id = 1; id <= kPeerLinkJobLimit; ++id) peer->scan(id);
  peer->chunk(kPeerLinkJobLimit + 1, "x");
  expect_alarm(kPeerLinkJobLimit + 1, vl::EC_NOT_READY,
               "Too many open jobs on this peer link (16384)");
  // A job that ends makes room for the next.
  peer->send(client_t::RESET_REQUEST, 1);
  peer->scan(kPeerLinkJobLimit + 2);
  expect_nothing_before_marker();
  EXPECT_EQ(tie()->job_count(), kPeerLinkJobLimit);
  EXPECT_EQ(jobs.count(kPeerLinkJobLimit + 2), 1u);
}

}  // namespace
