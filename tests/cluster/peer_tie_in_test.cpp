// The peer tie-in against a scripted peer client over loopback TCP: a real plain
// peer connection, the real cluster of a real central object, and real local jobs
// scanned by the stand-in engine (in-memory jobs where a job must misbehave).
#include "cluster/peer_tie_in.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
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
#include "framework/log.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_appstat.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/data_source.h"
#include "tests/support/fake_job.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/peer_end.h"
#include "tests/support/proto_text.h"
#include "tests/support/recording_log.h"
#include "tests/support/sample_data.h"
#include "tests/support/test_virus.h"
#include "tests/support/worker_stall.h"
#include "tools/stand-se/stand_se.h"

namespace {

using namespace std::chrono_literals;
using server_t = bk::BrelServer2ClientMessage;
using client_t = bk::BrelClient2ServerMessage;

// A framed peer client message from its text form; required fields may be missing.
std::string frame(const std::string& text) {
  return frame_of(from_text<client_t>(text).SerializePartialAsString());
}

std::string text_of(vl::ErrorCode code) {
  return make_error_code(code).message();
}

class PeerTieInTest : public ::testing::Test {
 protected:
  PeerTieInTest() {
    fx.inventory().stat_collector = std::make_shared<bk_stat_collector_t>(
        fx.io(), [this](const vl::BrelAppStat& stat) { stats.push_back(stat); });
    fx.inventory().stat_collector->set_report_interval(5ms);
    fx.inventory().stat_collector->start();
    fx.set_se_path(fx.path("se.sock"));
    engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
    enable_engine(true);
  }
  ~PeerTieInTest() override {
    if (peer) peer->close();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
    engine->stop();
    // Whatever the jobs were doing, their files are gone once the worker is idle.
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  }

  void enable_engine(bool on) {
    vl::BrelConfig config;
    config.set_is_se_installed(on);
    config.set_se_max_forks(4);
    // The engine link is made by the first job, not by the configuration.
    config.set_actual_start(true);
    fx.inventory().scanner->reconfigure(config);
  }

  bool run(const std::function<bool()>& done) { return fx.run_until(done); }

  // A new link as the peer acceptor makes one: connection, tie-in, registration.
  void connect() {
    if (peer) peer->close();
    ASSERT_TRUE(run([this] { return tie_.expired(); }));
    peer = peer_end_t::connect(fx.io(), acceptor_.local_endpoint());
    auto socket = std::make_shared<cf_tcp_socket_t>(fx.io());
    acceptor_.accept(*socket);
    socket->set_option(boost::asio::ip::tcp::no_delay(true));
    auto connection = std::make_shared<bk_peer_connection_plain_t>(fx.inventory());
    connection->start(socket);
    connection_ = connection;
    auto tie = bk_peer_tie_in_t::create(fx.inventory(), connection);
    connection->set_delegate(tie.get());
    fx.inventory().cluster->on_peer_in_connected(tie);
    tie_ = tie;
    name = tie->name();
  }
  // A link past its STATUS and HELLO.
  void open() {
    connect();
    ASSERT_EQ(next().tag(), server_t::STATUS);
    peer->hello();
  }
  std::shared_ptr<bk_peer_tie_in_t> tie() const { return tie_.lock(); }
  bool reading_paused() const {
    const auto connection = connection_.lock();
    return connection && connection->reading_paused();
  }

  server_t next() {
    EXPECT_TRUE(run([this] { return !peer->messages.empty() || peer->ended; }));
    if (peer->messages.empty()) return server_t();
    server_t message = std::move(peer->messages.front());
    peer->messages.pop_front();
    return message;
  }

  void expect_alarm(uint32_t job_id, vl::ErrorCode code) {
    const server_t alarm = next();
    EXPECT_EQ(alarm.tag(), server_t::ALARM) << alarm.ShortDebugString();
    EXPECT_EQ(alarm.job_id(), job_id);
    EXPECT_EQ(alarm.error().code(), code) << alarm.error().what();
    EXPECT_TRUE(alarm.has_soft());
    EXPECT_FALSE(alarm.soft());
  }

  // A request answered at once; whatever the tie-in should not have sent would
  // come before its answer.
  void expect_nothing_before_marker() {
    peer->send(client_t::GET_DATA_REQUEST, 999999);
    expect_alarm(999999, vl::EC_NO_SUCH_ENTRY);
  }

  // Acknowledged bytes until the job's next scan answer, which is returned.
  server_t scan_answer(uint64_t* appended = nullptr) {
    for (;;) {
      server_t message = next();
      if (message.tag() != server_t::DATA_CHUNK_APPENDED) return message;
      if (appended) *appended += message.data_size();
    }
  }

  // The job's data read back whole; `largest` gets the largest piece.
  std::string read_back(uint32_t job_id, std::size_t* largest) {
    peer->send(client_t::GET_DATA_REQUEST, job_id);
    const server_t response = next();
    EXPECT_EQ(response.tag(), server_t::GET_DATA_RESPONSE) << response.ShortDebugString();
    std::string data;
    *largest = 0;
    while (data.size() < response.data_size()) {
      const server_t chunk = next();
      if (chunk.tag() != server_t::DATA_CHUNK || chunk.job_id() != job_id) {
        ADD_FAILURE() << chunk.ShortDebugString();
        break;
      }
      *largest = std::max(*largest, chunk.data().size());
      data += chunk.data();
    }
    return data;
  }

  // This peer's figures summed over the statistics reports so far.
  vl::BrelScanStat peer_figures() const {
    vl::BrelScanStat sum;
    for (const auto& stat : stats) {
      for (const auto& entry : stat.peer_in()) {
        sum.set_scanned_files(sum.scanned_files() + entry.scan().scanned_files());
        sum.set_bytes_received(sum.bytes_received() + entry.scan().bytes_received());
        sum.set_bytes_sent(sum.bytes_sent() + entry.scan().bytes_sent());
      }
    }
    return sum;
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  bk_inventory_fixture_t fx;
  std::shared_ptr<stand_se_t> engine;
  std::shared_ptr<peer_end_t> peer;
  std::vector<vl::BrelAppStat> stats;
  std::string name;

 private:
  boost::asio::ip::tcp::acceptor acceptor_{
      fx.io(), boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
  std::weak_ptr<bk_peer_tie_in_t> tie_;
  std::weak_ptr<bk_peer_connection_t> connection_;
};

TEST_F(PeerTieInTest, SendsStatusBeforeHelloAndWhenTheClusterAsks) {
  connect();
  ASSERT_EQ(name.rfind("PeerIn 0x", 0), 0u);
  EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 9), std::string::npos) << name;
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Created with 127.0.0.1:" +
                            std::to_string(tie()->remote_endpoint().port())));
  server_t status = next();
  EXPECT_EQ(status.tag(), server_t::STATUS);
  EXPECT_EQ(status.job_id(), 0u);
  EXPECT_EQ(status.protocol_version(), 1u);
  EXPECT_EQ(status.server_status().max_forks(), 4u);
  EXPECT_EQ(status.server_status().job_count(), 0u);

  // A node with 4 GiB and more queued reports the most the field holds, not the
  // low 32 bits, which would make it look idle.
  bk_node_rating_t local;
  local.max_forks = 2;
  local.job_count = 3;
  local.bytes_in_queue = (uint64_t{1} << 32) + 5;
  tie()->send_status(local);
  status = next();
  EXPECT_EQ(status.tag(), server_t::STATUS);
  EXPECT_EQ(status.server_status().max_forks(), 2u);
  EXPECT_EQ(status.server_status().job_count(), 3u);
  EXPECT_EQ(status.server_status().bytes_in_queue(), 4294967295u);
}

TEST_F(PeerTieInTest, ProtocolErrorsEndTheLink) {
  const std::string hello = frame("tag: HELLO protocol_version: 1");
  struct case_t {
    std::string bytes;
    // The job of the ALARM that comes first, if any.
    int alarm_job;
    std::string line;
  };
  const case_t cases[] = {
      {frame("tag: DATA_CHUNK job_id: 7 data: 'x'"), 7,
       "IPC: Client message before hello: " + text_of(vl::EC_PROTOCOL_VIOLATION)},
      {frame("tag: RESET_REQUEST"), 0, "IPC: Client message before hello"},
      {frame("tag: HELLO protocol_version: 2"), -1,
       "IPC: Peer protocol versions mismatch: " + text_of(vl::EC_INVALID_ARGUMENT)},
      {frame("tag: HELLO"), -1, "IPC: HELLO: " + text_of(vl::EC_INVALID_ARGUMENT)},
      // Tag 9 is outside the enumeration: the required tag counts as absent.
      {frame_of(std::string("\x08\x09\x10\x07", 4)), -1,
       "IPC: " + text_of(vl::EC_BAD_MESSAGE_FORMAT)},
      {hello + frame("tag: DATA_CHUNK job_id: 1"), -1,
       "IPC: DATA_CHUNK: " + text_of(vl::EC_INVALID_ARGUMENT)},
      {hello + frame("tag: DATA_RESET_REQUEST job_id: 4"), -1,
       "IPC: " + text_of(vl::EC_NO_SUCH_ENTRY)},
      {hello + length_prefix(0), -1, "Connection: " + text_of(vl::EC_BAD_MESSAGE_SIZE)},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.line);
    connect();
    ASSERT_EQ(next().tag(), server_t::STATUS);
    peer->send_raw(c.bytes);
    EXPECT_TRUE(run([this] { return peer->ended; }));
    if (c.alarm_job >= 0) {
      ASSERT_FALSE(peer->messages.empty());
      const server_t alarm = next();
      EXPECT_EQ(alarm.tag(), server_t::ALARM);
      EXPECT_EQ(alarm.job_id(), static_cast<uint32_t>(c.alarm_job));
      EXPECT_EQ(alarm.error().code(), vl::EC_INVALID_ARGUMENT);
      EXPECT_EQ(alarm.error().what(), "Peer protocol version 1 required");
      EXPECT_FALSE(alarm.soft());
    }
    EXPECT_TRUE(peer->messages.empty()) << peer->messages.front().ShortDebugString();
    EXPECT_TRUE(run([this] { return tie() == nullptr; }));
    EXPECT_TRUE(log->has("Error: " + name + ": " + c.line));
  }
}

TEST_F(PeerTieInTest, StreamsScansCuresAndReadsBackInPeerSizedChunks) {
  open();
  const std::string data = pattern(70000, 'a') + test_virus_text() + pattern(80000, 'k');
  peer->stream(5, data, 50000);
  peer->scan(5);
  uint64_t appended = 0;
  server_t answer = scan_answer(&appended);
  EXPECT_EQ(appended, data.size());
  ASSERT_EQ(answer.tag(), server_t::SCAN_RESPONSE) << answer.ShortDebugString();
  EXPECT_EQ(answer.job_id(), 5u);
  ASSERT_EQ(answer.scan_report().virus_size(), 1);
  EXPECT_EQ(answer.scan_report().virus(0).name(), test_virus_name());
  EXPECT_TRUE(log->has("Debug: " + name + ": Started JOB 5 as Local job 0x"));

  std::size_t largest = 0;
  EXPECT_EQ(read_back(5, &largest), data);
  EXPECT_EQ(largest, kPeerReadChunk);

  bk::ScanOptions cure;
  cure.set_cure(true);
  peer->scan(5, cure);
  answer = next();
  ASSERT_EQ(answer.tag(), server_t::SCAN_RESPONSE) << answer.ShortDebugString();
  EXPECT_TRUE(answer.scan_report().cured());
  const std::string cured = pattern(70000, 'a') + pattern(80000, 'k');
  EXPECT_EQ(read_back(5, &largest), cured);
  peer->send(client_t::DATA_RESET_REQUEST, 5);
  answer = next();
  EXPECT_EQ(answer.tag(), server_t::DATA_RESET_RESPONSE);
  EXPECT_EQ(answer.job_id(), 5u);

  // RESET_REQUEST ends the job unanswered, and its files with it.
  peer->send(client_t::RESET_REQUEST, 5);
  expect_nothing_before_marker();
  EXPECT_EQ(tie()->job_count(), 0u);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  EXPECT_TRUE(run([&] {
    const vl::BrelScanStat figures = peer_figures();
    return figures.scanned_files() == 2 && figures.bytes_received() == data.size() &&
           figures.bytes_sent() == data.size() + cured.size();
  }));
}

TEST_F(PeerTieInTest, AJobThatFailedHereIsAnsweredWithItsFailureUntilReset) {
  enable_engine(false);
  open();
  peer->chunk(3, "abc");
  expect_alarm(3, vl::EC_NOT_READY);
  // With the engine back, the job must still not start on the rest of its data.
  enable_engine(true);
  peer->chunk(3, "def");
  peer->scan(3);
  peer->send(client_t::GET_DATA_REQUEST, 3);
  peer->send(client_t::DATA_RESET_REQUEST, 3);
  for (int i = 0; i < 4; ++i) expect_alarm(3, vl::EC_NOT_READY);
  EXPECT_EQ(tie()->job_count(), 0u);
  EXPECT_FALSE(log->has("Started JOB 3"));

  // The peer's reset forgets the failure: the identifier starts a job again.
  peer->send(client_t::RESET_REQUEST, 3);
  peer->chunk(3, "ghi");
  peer->scan(3);
  uint64_t appended = 0;
  const server_t answer = scan_answer(&appended);
  EXPECT_EQ(appended, 3u);
  EXPECT_EQ(answer.tag(), server_t::SCAN_RESPONSE) << answer.ShortDebugString();
  EXPECT_EQ(answer.scan_report().size(), 3u);
}

TEST_F(PeerTieInTest, FailuresAreRememberedUpToACap) {
  enable_engine(false);
  open();
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
  open();
  std::vector<std::shared_ptr<bk_fake_job_t>> jobs;
  tie()->set_job_factory([&](uint32_t job_id) {
    auto job = std::make_shared<bk_fake_job_t>(fx.io(), job_id);
    if (job_id == 2) job->on_append = [] { throw std::runtime_error("Disk gone"); };
    jobs.push_back(job);
    return job;
  });
  peer->scan(1);
  ASSERT_TRUE(run([&] { return !jobs.empty() && !jobs[0]->scans.empty(); }));
  vl::ScanReport report;
  report.set_object(std::string(kPeerLinkLimit, 'r'));
  jobs[0]->get_delegate()->on_scan_response(1, report, bk_hash_values_t{});
  expect_alarm(1, vl::EC_BAD_MESSAGE_SIZE);
  EXPECT_TRUE(log->has("Error: " + name + ": SCAN_RESPONSE 1: Scan report too large"));
  ASSERT_TRUE(tie());
  EXPECT_EQ(tie()->job_count(), 0u);

  // The dropped job's late answers: acknowledgements still go, the others do not.
  jobs[0]->alarm(vl::EC_DATA_CORRUPTED);
  EXPECT_TRUE(log->has_line("Debug: " + name + ": Dropped ALARM 1"));
  jobs[0]->acknowledge(3);
  const server_t appended = next();
  EXPECT_EQ(appended.tag(), server_t::DATA_CHUNK_APPENDED);
  EXPECT_EQ(appended.data_size(), 3u);
  peer->chunk(1, "more");
  expect_alarm(1, vl::EC_BAD_MESSAGE_SIZE);

  peer->chunk(2, "x");
  server_t alarm = next();
  EXPECT_EQ(alarm.tag(), server_t::ALARM);
  EXPECT_EQ(alarm.error().what(), "Disk gone");
  peer->chunk(2, "y");
  alarm = next();
  EXPECT_EQ(alarm.error().what(), "Disk gone");
  EXPECT_EQ(jobs.size(), 2u);
  EXPECT_FALSE(peer->ended);
}

TEST_F(PeerTieInTest, StopsReadingWhileThePeersDataWaitsForAStalledDisk) {
  open();
  worker_stall_t stall(*fx.inventory().task_queue);
  constexpr std::size_t kChunk = 1 << 20;
  data_source_t data(96 << 20, kChunk);
  // The peer sends as fast as the link takes its chunks.
  auto send_more = [&] {
    while (!data.done() && peer->queued_send_bytes() < 4 * kChunk) peer->chunk(6, data.next());
  };
  ASSERT_TRUE(run([&] {
    send_more();
    return reading_paused();
  }));
  EXPECT_GT(tie()->unstored_bytes(), kConnectionUnstoredLimit);
  EXPECT_LE(tie()->unstored_bytes(), kConnectionUnstoredLimit + kChunk);
  EXPECT_FALSE(data.done());

  // Once the disk keeps up again, every byte is stored, in order.
  stall.release();
  ASSERT_TRUE(run([&] {
    send_more();
    return data.done();
  }));
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA256);
  peer->scan(6, options);
  uint64_t appended = 0;
  const server_t answer = scan_answer(&appended);
  ASSERT_EQ(answer.tag(), server_t::SCAN_RESPONSE) << answer.ShortDebugString();
  EXPECT_EQ(appended, data.offset());
  EXPECT_EQ(answer.sha256(), data.sha256());
  EXPECT_EQ(tie()->unstored_bytes(), 0u);
  EXPECT_FALSE(reading_paused());
}

TEST_F(PeerTieInTest, WhatAFailedJobHeldCountsAsStoredAndTheLinkReadsOn) {
  open();
  std::shared_ptr<bk_fake_job_t> job;
  tie()->set_job_factory([&](uint32_t job_id) {
    job = std::make_shared<bk_fake_job_t>(fx.io(), job_id);
    return job;
  });
  // A job that never stores: its chunks stop the link at the bound.
  const std::string chunk(8 << 20, 'c');
  ASSERT_TRUE(run([&] {
    if (peer->queued_send_bytes() == 0) peer->chunk(3, chunk);
    return reading_paused();
  }));
  job->alarm(vl::EC_DATA_CORRUPTED);
  expect_alarm(3, vl::EC_DATA_CORRUPTED);
  EXPECT_EQ(tie()->unstored_bytes(), 0u);
  // Chunks the failed job drops count as stored at once.
  peer->chunk(3, chunk);
  expect_nothing_before_marker();
  EXPECT_EQ(tie()->unstored_bytes(), 0u);
  EXPECT_FALSE(reading_paused());
}

TEST_F(PeerTieInTest, RunsAtMostTheJobCapAtOnceAndTheLinkStays) {
  open();
  tie()->set_job_factory(
      [&](uint32_t job_id) { return std::make_shared<bk_fake_job_t>(fx.io(), job_id); });
  for (uint32_t id = 1; id <= kConnectionJobLimit; ++id) peer->scan(id);
  peer->chunk(kConnectionJobLimit + 1, "x");
  const server_t alarm = next();
  EXPECT_EQ(alarm.tag(), server_t::ALARM);
  EXPECT_EQ(alarm.job_id(), kConnectionJobLimit + 1);
  EXPECT_EQ(alarm.error().code(), vl::EC_NOT_READY);
  EXPECT_EQ(alarm.error().what(), "Too many open jobs on this peer link (1024)");
  EXPECT_FALSE(alarm.soft());
  EXPECT_EQ(tie()->job_count(), kConnectionJobLimit);
  // A job that ends makes room for the next.
  peer->send(client_t::RESET_REQUEST, 1);
  peer->scan(5000);
  expect_nothing_before_marker();
  EXPECT_EQ(tie()->job_count(), kConnectionJobLimit);
  EXPECT_TRUE(log->has("Started JOB 5000"));
}

}  // namespace
