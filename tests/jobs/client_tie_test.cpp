// The client tie against a scripted client on the other end of a socket pair, with
// in-memory jobs in place of master jobs: protocol order, flow-control grants, job
// answers, protocol errors and the end of a connection.
#include "jobs/client_tie.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>

#include "core/hash_values.h"
#include "core/inventory.h"
#include "core/stat_collector.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_appstat.pb.h"
#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/run_until.h"

namespace {

using local_socket = boost::asio::local::stream_protocol::socket;
using message_t = bk::ServerMessage;

// Keeps every log line as "<Level>: <text>".
class recording_log_t : public cf_log_t {
 public:
  recording_log_t() : cf_log_t(nullptr, nullptr) {}
  void open() override {}
  void write(int level, const std::string& text) override {
    lines.push_back(std::string(log_level_name(level)) + ": " + text);
  }
  void write_tagged(const std::string&, int, const std::string&) override {}
  void out_of_memory() noexcept override {}
  bool has(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  std::vector<std::string> lines;
};

// A job that records what its driver asks and lets the test answer for it.
class fake_job_t : public bk_job_t {
 public:
  fake_job_t(bk_inventory_t& inventory, uint32_t job_id, bool soft_error)
      : bk_job_t(job_id, inventory), soft_error(soft_error) {}
  ~fake_job_t() override {
    if (on_destroy) on_destroy(*this);
  }

  std::string name() const override { return "Fake job " + std::to_string(job_id); }
  std::string describe() const override { return "memory"; }
  uint64_t data_size() const override { return data.size(); }
  uint32_t scan_request_count() const override { return static_cast<uint32_t>(scans.size()); }
  void append_data(const std::shared_ptr<const std::string>& chunk) override {
    chunks.push_back(chunk);
    data += *chunk;
  }
  void scan(const bk::ScanOptions& options) override { scans.push_back(options); }
  void get_data(uint32_t max_chunk) override { get_data_calls.push_back(max_chunk); }
  void data_reset() override {}
  void reset() override { ++resets; }

  bk_job_t::delegate& driver() { return *get_delegate(); }

  const bool soft_error;
  std::vector<std::shared_ptr<const std::string>> chunks;
  std::string data;
  std::vector<bk::ScanOptions> scans;
  std::vector<uint32_t> get_data_calls;
  int resets = 0;
  std::function<void(fake_job_t&)> on_destroy;
};

class ClientTieTest : public ::testing::Test {
 protected:
  ClientTieTest() {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    monitor_end_ = pair[1];
    inventory = std::make_unique<bk_inventory_t>(pair[0]);
    inventory->stat_collector = std::make_shared<bk_stat_collector_t>(
        inventory->io_context, [this](const vl::BrelAppStat& stat) { stats.push_back(stat); });
    inventory->stat_collector->set_report_interval(std::chrono::milliseconds(5));
    inventory->stat_collector->start();
    gone_ = bk_stat_collector_t::client_gone_signal().connect(
        [this](bk_stat_collector_t::client_key_t key) { gone.push_back(key); });
    log_threshold = kLogDebug;
    install_log(log);
  }
  ~ClientTieTest() override {
    if (client) client->close();
    run([this] { return tie_.expired(); });
    inventory.reset();
    ::close(monitor_end_);
  }

  // Connects a new local tie and keeps its client end in `client`.
  void connect() {
    if (client) client->close();
    auto near = std::make_shared<local_socket>(inventory->io_context);
    auto far = std::make_shared<local_socket>(inventory->io_context);
    boost::asio::local::connect_pair(*near, *far);
    auto tie = bk_local_client_tie_t::create(
        *inventory, [this](bk_inventory_t& inventory, uint32_t job_id, bool soft) {
          if (refuse_jobs) throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "No engine here");
          auto job = std::make_shared<fake_job_t>(inventory, job_id, soft);
          jobs.push_back(job);
          return job;
        });
    tie->start(near);
    tie_ = tie;
    tie_name = tie->name();
    client = local_client_end_t::open(far);
  }

  bool run(const std::function<bool()>& done) { return run_until(inventory->io_context, done); }

  message_t next() {
    EXPECT_TRUE(run([this] { return !client->messages.empty() || client->ended; }));
    if (client->messages.empty()) return message_t();
    message_t message = client->messages.front();
    client->messages.pop_front();
    return message;
  }

  void hello(bool flow_control, bool soft_error = false) {
    bk::ClientMessage message;
    message.set_tag(bk::ClientMessage::HELLO);
    message.set_origin(vl::APP_MAIL_FILTER);
    message.set_origin_pid(4242);
    if (flow_control) message.set_flow_control(true);
    if (soft_error) message.set_soft_error(true);
    client->send(message);
    if (flow_control) {
      const message_t window = next();
      EXPECT_EQ(window.tag(), message_t::ADJUST_WINDOW);
      EXPECT_EQ(window.window_change(), 50331648);
      EXPECT_FALSE(window.has_job_id());
    }
  }

  // Opens a job and returns the fake that stands for it.
  std::shared_ptr<fake_job_t> init(uint32_t job_id) {
    const std::size_t before = jobs.size();
    client->send(client_message(bk::ClientMessage::INIT, job_id));
    EXPECT_TRUE(run([&] { return jobs.size() > before; }));
    return jobs.empty() ? nullptr : jobs.back().lock();
  }

  // Has `job` answer something that is sure to reach the client, and checks that it
  // is the next message: whatever the tie should not have sent would come first.
  void expect_nothing_before_marker(fake_job_t& job) {
    job.driver().on_get_data_response(job.job_id, 777);
    const message_t marker = next();
    EXPECT_EQ(marker.tag(), message_t::GET_DATA_RESPONSE) << marker.ShortDebugString();
    EXPECT_EQ(marker.data_size(), 777u);
  }

  // The connection was closed by the tie with nothing sent, and the tie went away.
  void expect_closed_silently() {
    EXPECT_TRUE(run([this] { return client->ended; }));
    EXPECT_TRUE(client->messages.empty()) << client->messages.front().ShortDebugString();
    EXPECT_TRUE(run([this] { return tie_.expired(); }));
  }

  // The client's figures summed over the reports so far.
  vl::BrelScanStat client_figures() {
    vl::BrelScanStat sum;
    for (const auto& stat : stats) {
      for (const auto& client : stat.client()) {
        if (client.origin() != vl::APP_MAIL_FILTER || client.origin_pid() != 4242) continue;
        sum.set_scanned_files(sum.scanned_files() + client.scan().scanned_files());
        sum.set_bytes_received(sum.bytes_received() + client.scan().bytes_received());
        sum.set_bytes_sent(sum.bytes_sent() + client.scan().bytes_sent());
      }
    }
    return sum;
  }

  std::unique_ptr<bk_inventory_t> inventory;
  std::shared_ptr<recording_log_t> log = std::make_shared<recording_log_t>();
  std::shared_ptr<local_client_end_t> client;
  std::vector<std::weak_ptr<fake_job_t>> jobs;
  std::vector<vl::BrelAppStat> stats;
  std::vector<bk_stat_collector_t::client_key_t> gone;
  std::string tie_name;
  bool refuse_jobs = false;

 private:
  int monitor_end_ = -1;
  std::weak_ptr<bk_local_client_tie_t> tie_;
  boost::signals2::scoped_connection gone_;
};

TEST_F(ClientTieTest, GrantsStoredBytesOnlyAboveTheThreshold) {
  connect();
  hello(true);
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
  chunk.set_data("abc");
  client->send(chunk);
  ASSERT_TRUE(run([&] { return !job->chunks.empty(); }));
  EXPECT_EQ(*job->chunks[0], "abc");

  job->driver().on_data_chunk_appended(1, 25165824);
  expect_nothing_before_marker(*job);
  job->driver().on_data_chunk_appended(1, 1);
  const message_t grant = next();
  EXPECT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
  EXPECT_EQ(grant.window_change(), 25165825);
  EXPECT_FALSE(grant.has_job_id());
}

TEST_F(ClientTieTest, HoldsGrantsWhileAJobIsMovedAndNeverSendsANegativeOne) {
  connect();
  hello(true);
  auto job = init(1);
  auto other = init(2);
  job->driver().on_redirect_begin(1);
  // 8e9 bytes: more than a 32-bit count and more than one signed grant can carry.
  job->driver().on_data_chunk_appended(1, 4000000000u);
  job->driver().on_data_chunk_appended(1, 4000000000u);
  other->driver().on_redirect_end(2);
  expect_nothing_before_marker(*job);
  job->driver().on_redirect_end(1);
  int64_t granted = 0;
  while (granted < 8000000000) {
    const message_t grant = next();
    ASSERT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
    EXPECT_GT(grant.window_change(), 0);
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
  EXPECT_TRUE(job->soft_error);
  job->driver().on_redirect_begin(1);
  // The job fails for good but lives on for a while (a caller up the stack holds it):
  // the connection's grants must not stay held for it.
  job->driver().on_alarm(1, make_error_exception_ptr(make_error_code(vl::EC_DATA_CORRUPTED), "x"),
                         false);
  EXPECT_EQ(next().tag(), message_t::ALARM);
  other->driver().on_data_chunk_appended(2, 30000000);
  const message_t grant = next();
  EXPECT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
  EXPECT_EQ(grant.window_change(), 30000000);
  // A late redirect notice of the dropped job cannot hold them either.
  job->driver().on_redirect_begin(1);
  other->driver().on_data_chunk_appended(2, 30000000);
  EXPECT_EQ(next().window_change(), 30000000);
}

TEST_F(ClientTieTest, DataForAnUnknownJobCountsAsStoredAtOnce) {
  connect();
  hello(true);
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 9);
  chunk.set_data(std::string(30000000, 'x'));
  client->send(chunk);
  const message_t grant = next();
  EXPECT_EQ(grant.tag(), message_t::ADJUST_WINDOW);
  EXPECT_EQ(grant.window_change(), 30000000);
  EXPECT_TRUE(job->chunks.empty());
  // Received bytes are counted for the client whether or not a job took them.
  EXPECT_TRUE(run([&] { return client_figures().bytes_received() == 30000000; }));
}

TEST_F(ClientTieTest, WithoutFlowControlNothingIsEverGranted) {
  connect();
  hello(false);
  EXPECT_TRUE(run([&] { return log->has(tie_name + ": Flow control disabled"); }));
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 9);
  chunk.set_data(std::string(30000000, 'x'));
  client->send(chunk);
  job->driver().on_data_chunk_appended(1, 30000000);
  expect_nothing_before_marker(*job);
}

TEST_F(ClientTieTest, PassesRequestsToTheJobAndItsAnswersToTheClient) {
  connect();
  hello(true);
  EXPECT_TRUE(log->has("Info: " + tie_name + ": HELLO as Mail filter-4242"));
  auto job = init(0);
  EXPECT_TRUE(log->has(tie_name + ": INIT 0 as Fake job 0"));
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 0);
  scan.mutable_scan_options()->set_cure(true);
  client->send(scan);
  client->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 0));
  ASSERT_TRUE(run([&] { return !job->get_data_calls.empty(); }));
  ASSERT_EQ(job->scans.size(), 1u);
  EXPECT_TRUE(job->scans[0].cure());
  EXPECT_EQ(job->get_data_calls, std::vector<uint32_t>{65535});

  vl::ScanReport report;
  report.set_object("x");
  report.set_size(3);
  job->driver().on_scan_response(0, report, bk_hash_values_t{std::string(40, 'A'), ""});
  message_t response = next();
  EXPECT_EQ(response.tag(), message_t::SCAN_RESPONSE);
  EXPECT_EQ(response.job_id(), 0u);
  EXPECT_EQ(response.scan_report().size(), 3u);
  EXPECT_EQ(response.sha1(), std::string(40, 'A'));
  EXPECT_FALSE(response.has_sha256());

  // Read-back: each chunk goes out, and the drained signal says when it has left.
  int drained = 0;
  auto connection = job->driver().connect_on_drained([&] { ++drained; });
  job->driver().on_get_data_response(0, 5);
  job->driver().on_data_chunk(0, "hello", 5);
  response = next();
  EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE);
  EXPECT_EQ(response.data_size(), 5u);
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
  client->send(client_message(bk::ClientMessage::RESET, 0));
  ASSERT_TRUE(run([&] { return job->resets == 1; }));
  EXPECT_EQ(job.use_count(), 1);
  job->driver().on_scan_response(0, report, bk_hash_values_t{});
  job->driver().on_alarm(0, make_error_exception_ptr(make_error_code(vl::EC_NOT_READY)), false);
  EXPECT_TRUE(log->has(tie_name + ": Dropped SCAN_RESPONSE 0"));
  EXPECT_TRUE(log->has(tie_name + ": Dropped ALARM 0"));
  EXPECT_TRUE(run([&] { return client_figures().scanned_files() == 2; }));
  // Requests for an identifier the connection does not hold are ignored.
  client->send(scan);
  auto second = init(0);
  EXPECT_TRUE(second->scans.empty());
}

TEST_F(ClientTieTest, AlarmsEndOrKeepTheJob) {
  connect();
  hello(false, true);
  auto job = init(3);
  job->driver().on_alarm(
      3,
      make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION), "Data chunk after cure"),
      true);
  message_t alarm = next();
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 3u);
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(alarm.error().code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_EQ(alarm.error().what(), "Data chunk after cure: Protocol violation");
  // A soft alarm leaves the job: its data can still be read back.
  client->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 3));
  ASSERT_TRUE(run([&] { return job->get_data_calls.size() == 1; }));

  job->driver().on_alarm(
      3, std::make_exception_ptr(cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "gone")), false);
  alarm = next();
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "gone");
  EXPECT_FALSE(alarm.has_soft());
  job.reset();
  EXPECT_TRUE(jobs[0].expired());
  // The identifier is free again.
  auto again = init(3);
  ASSERT_TRUE(again);
  EXPECT_EQ(jobs.size(), 2u);
}

TEST_F(ClientTieTest, InitFailuresAnswerWithAnAlarmAndKeepTheConnection) {
  connect();
  hello(false);
  auto job = init(5);
  client->send(client_message(bk::ClientMessage::INIT, 5));
  message_t alarm = next();
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 5u);
  EXPECT_EQ(alarm.error().code(), vl::EC_ALREADY_IN_PROGRESS);
  EXPECT_TRUE(log->has("Error: " + tie_name + ": INIT 5: "));
  // The first job goes on; empty options are options.
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 5);
  scan.mutable_scan_options();
  client->send(scan);
  ASSERT_TRUE(run([&] { return job->scans.size() == 1; }));
  EXPECT_EQ(job->scans[0].scan_timeout_ms(), 3600000u);

  connect();
  hello(false);
  refuse_jobs = true;
  client->send(client_message(bk::ClientMessage::INIT, 6));
  alarm = next();
  EXPECT_EQ(alarm.job_id(), 6u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No engine here");
}

TEST_F(ClientTieTest, ProtocolErrorsCloseTheConnectionWithoutAnswer) {
  struct case_t {
    const char* name;
    std::function<void()> send;
    std::string log_line;
  };
  bk::ClientMessage hello_message;
  hello_message.set_tag(bk::ClientMessage::HELLO);
  hello_message.set_origin(vl::APP_FILE_MONITOR);
  hello_message.set_origin_pid(1);
  auto send_hello = [&] { client->send(hello_message); };
  const std::vector<case_t> cases = {
      {"chunk before HELLO",
       [&] {
         bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
         chunk.set_data("x");
         client->send(chunk);
       },
       "Debug: " + std::string("@: DATA_CHUNK: Not identified")},
      {"second HELLO",
       [&] {
         send_hello();
         send_hello();
       },
       "HELLO has already been received"},
      {"HELLO without pid",
       [&] {
         bk::ClientMessage hello = hello_message;
         hello.clear_origin_pid();
         client->send(hello);
       },
       "IPC: HELLO: Invalid argument"},
      {"HELLO of an unknown component",
       [&] {
         // origin 99 is no vl::Application value: the parser sets it aside.
         client->send_raw(client_frame(std::string("\x08\x01\x10\x63\x18\x01", 6)));
       },
       "IPC: HELLO: Invalid argument"},
      {"INIT without identifier",
       [&] {
         send_hello();
         bk::ClientMessage init;
         init.set_tag(bk::ClientMessage::INIT);
         client->send(init);
       },
       "IPC: INIT: Invalid argument"},
      {"SCAN_REQUEST without options",
       [&] {
         send_hello();
         client->send(client_message(bk::ClientMessage::SCAN_REQUEST, 1));
       },
       "IPC: SCAN_REQUEST: Invalid argument"},
      {"DATA_CHUNK without data",
       [&] {
         send_hello();
         client->send(client_message(bk::ClientMessage::DATA_CHUNK, 1));
       },
       "IPC: DATA_CHUNK: Invalid argument"},
      {"body that does not parse", [&] { client->send_raw(client_frame("\xff\xff\xff")); },
       "IPC: Invalid IPC message format"},
      {"unknown tag", [&] { client->send_raw(client_frame(std::string("\x08\x07", 2))); },
       "IPC: Invalid IPC message format"},
      {"empty frame", [&] { client->send_raw(std::string(4, '\0')); },
       "IO: Invalid IPC message size"},
      {"frame above 64 MiB", [&] { client->send_raw(std::string("\x01\x00\x00\x04", 4)); },
       "IO: Invalid IPC message size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    c.send();
    expect_closed_silently();
    std::string line = c.log_line;
    const auto at = line.find('@');
    if (at != std::string::npos) line.replace(at, 1, tie_name);
    EXPECT_TRUE(log->has(line)) << line;
    client->close();
  }
  // None of them ended anything but its own connection, and a frame of exactly the
  // limit is still taken.
  connect();
  hello(true);
  auto job = init(1);
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
  chunk.set_data(std::string(kClientMessageMaxSize - 9, 'z'));
  ASSERT_EQ(chunk.ByteSizeLong(), kClientMessageMaxSize);
  client->send(chunk);
  EXPECT_TRUE(run([&] { return !job->chunks.empty(); }));
}

TEST_F(ClientTieTest, DisconnectResetsEveryJobAndReportsTheClientGoneOnce) {
  connect();
  const std::string first_name = tie_name;
  // Before HELLO nothing was reported, so nothing is reported gone.
  client->close();
  ASSERT_TRUE(run([&] { return log->has(first_name + ": Destroyed"); }));
  EXPECT_TRUE(log->has("Debug: " + first_name + ": Disconnected"));
  EXPECT_TRUE(gone.empty());

  connect();
  hello(true);
  auto one = init(1);
  auto two = init(2);
  // A job paused at the end still finds the tie whole when it goes.
  two->driver().on_redirect_begin(2);
  bool destroyed_cleanly = false;
  two->on_destroy = [&](fake_job_t& job) {
    job.driver().on_data_chunk_appended(2, 40000000);
    job.driver().on_redirect_end(2);
    destroyed_cleanly = true;
  };
  one.reset();
  two.reset();
  client->close();
  ASSERT_TRUE(run([&] { return log->has(tie_name + ": Destroyed"); }));
  EXPECT_TRUE(destroyed_cleanly);
  EXPECT_TRUE(jobs[0].expired() && jobs[1].expired());
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0], bk_stat_collector_t::client_key_t(vl::APP_MAIL_FILTER, 4242));
}

TEST_F(ClientTieTest, ResetsHappenBeforeTheJobsGo) {
  connect();
  hello(false);
  std::vector<std::string> events;
  for (uint32_t id : {7u, 3u}) {
    auto job = init(id);
    job->on_destroy = [&events](fake_job_t& job) {
      events.push_back("destroyed " + std::to_string(job.job_id) + " after " +
                       std::to_string(job.resets) + " reset");
    };
  }
  client->close();
  ASSERT_TRUE(run([&] { return events.size() == 2; }));
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events,
            (std::vector<std::string>{"destroyed 3 after 1 reset", "destroyed 7 after 1 reset"}));
}

TEST_F(ClientTieTest, AReportTooLargeForAFrameFailsOnlyItsJob) {
  connect();
  hello(false);
  auto job = init(1);
  auto other = init(2);
  vl::ScanReport report;
  report.set_object(std::string(kClientMessageMaxSize, 'r'));
  job->driver().on_scan_response(1, report, bk_hash_values_t{});
  const message_t alarm = next();
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_BAD_MESSAGE_SIZE);
  job.reset();
  EXPECT_TRUE(jobs[0].expired());
  expect_nothing_before_marker(*other);
}

TEST_F(ClientTieTest, NamesCountPerKindInHexadecimal) {
  std::vector<std::string> names;
  for (int i = 0; i < 17; ++i) {
    connect();
    names.push_back(tie_name);
    client->close();
  }
  const auto number = [](const std::string& name) {
    return std::stoul(name.substr(std::string("Local client 0x").size()), nullptr, 16);
  };
  ASSERT_EQ(names[0].rfind("Local client 0x", 0), 0u);
  for (int i = 1; i < 17; ++i) {
    EXPECT_EQ(number(names[i]), number(names[0]) + i) << names[i];
    EXPECT_EQ(names[i].find_first_of("ABCDEF"), std::string::npos) << names[i];
  }
  // Seventeen numbers in a row pass through a hexadecimal letter.
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return name.find_first_of("abcdef", std::string("Local client 0x").size()) != std::string::npos;
  }));

  // A TCP tie counts on its own.
  boost::asio::ip::tcp::acceptor acceptor(inventory->io_context, {boost::asio::ip::tcp::v4(), 0});
  auto accepted = std::make_shared<boost::asio::ip::tcp::socket>(inventory->io_context);
  boost::asio::ip::tcp::socket far(inventory->io_context);
  far.connect({boost::asio::ip::address_v4::loopback(), acceptor.local_endpoint().port()});
  acceptor.accept(*accepted);
  auto tie = bk_tcp_client_tie_t::create(*inventory);
  EXPECT_EQ(tie->name().rfind("Network client 0x", 0), 0u);
  tie->start(accepted);
  far.close();
  std::weak_ptr<bk_tcp_client_tie_t> weak = tie;
  tie.reset();
  EXPECT_TRUE(run([&] { return weak.expired(); }));
}

}  // namespace
