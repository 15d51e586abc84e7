#include "jobs/local_job.h"

#include <openssl/evp.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/digest_pool.h"
#include "core/hash_values.h"
#include "core/scanner.h"
#include "core/task_queue.h"
#include "framework/basic_ipc_link.h"
#include "schemas/lumend_client_ipc.pb.h"
#include "tests/support/descriptor_shortage.h"
#include "tests/support/fake_job.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

using namespace std::chrono_literals;
using kind_t = bk_recording_delegate_t::kind_t;
namespace fs = boost::filesystem;

std::string sha1(const std::string& data, const EVP_MD* md = EVP_sha1()) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), bytes, &size, md, nullptr);
  return digest_text(bytes, size);
}

std::string pattern(std::size_t size, char seed) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i % 61);
  return text;
}

std::shared_ptr<const std::string> chunk_of(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

bk::ScanOptions scan_options(bool cure = false, std::vector<bk::HashType> hashes = {}) {
  bk::ScanOptions options;
  if (cure) options.set_cure(true);
  for (const bk::HashType hash : hashes) options.add_threat_hash(hash);
  return options;
}

// The cloud-lookup daemon, for one connection: a SHA-1 listed in `bad` is a threat.
// While `hold` is set it keeps the checks until the test answers them.
class fake_cloud_t : public cf_local_ipc_link_t, public std::enable_shared_from_this<fake_cloud_t> {
 public:
  fake_cloud_t(boost::asio::io_context& io, const std::string& path)
      : cf_local_ipc_link_t(kIpcLinkLimit), acceptor_(io, path) {}
  void start() {
    auto socket = std::make_shared<cf_local_socket_t>(acceptor_.get_executor());
    acceptor_.async_accept(*socket, [weak = weak_from_this(), socket](auto error) {
      if (auto self = weak.lock(); self && !error) {
        self->set_socket(socket);
        self->read_header();
      }
    });
  }
  void stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (socket()) socket()->close(ignored);
  }
  // Answers the check received as number `index` (from 0).
  void answer(std::size_t index, bool threat) {
    cl::ServerMessage response;
    response.set_tag(cl::ServerMessage::CHECK_FILE_RESPONSE);
    response.set_serial(checks.at(index).serial());
    response.mutable_file_result()->set_result(vl::EC_OK);
    if (threat) {
      response.mutable_file_result()->mutable_virus()->set_type(vl::SE_KNOWN_VIRUS);
      response.mutable_file_result()->mutable_virus()->set_name("Cloud.Threat");
    }
    async_send_message(response);
  }

  std::set<std::string> bad;
  bool hold = false;
  std::vector<cl::ClientMessage> checks;

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    ASSERT_TRUE(checks.emplace_back().ParseFromZeroCopyStream(&body));
    if (!hold) answer(checks.size() - 1, bad.count(checks.back().file().sha1()) != 0);
  }
  void on_error(const boost::system::error_code&) override { stop(); }
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

  boost::asio::local::stream_protocol::acceptor acceptor_;
};

// Drives a job as a master job would. Unless `auto_drain` is off, its send queue
// drains right after every chunk.
class driver_t : public bk_recording_delegate_t {
 public:
  explicit driver_t(boost::asio::io_context& io) : io_(io) {}
  void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) override {
    bk_recording_delegate_t::on_data_chunk(job_id, data, size);
    if (auto_drain) post_drained();
  }
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override {
    auto connection = drained.connect(callback);
    if (auto_drain) post_drained();
    return connection;
  }
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override {
    bk_recording_delegate_t::on_scan_response(job_id, report, hashes);
    if (on_response) on_response();
  }
  void post_drained() {
    boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
      if (!alive.expired()) drained();
    });
  }
  event_t response(size_t i) const { return of(kScanResponse).at(i); }

  bool auto_drain = true;
  std::function<void()> on_response;

 private:
  boost::asio::io_context& io_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class LocalJobTest : public ::testing::Test {
 protected:
  LocalJobTest() : driver(fx.io()) {
    fx.set_se_path(fx.path("se.sock"));
    engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
  }
  ~LocalJobTest() override {
    jobs.clear();
    engine->stop();
    if (cloud) cloud->stop();
    // Whatever the job was doing, its files are gone once the worker is idle.
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  }

  std::shared_ptr<bk_local_job_t> make_job() {
    auto job = fx.inventory().scanner->create_job<bk_local_job_t>(
        static_cast<std::uint32_t>(jobs.size() + 7));
    job->set_delegate(&driver);
    jobs.push_back(job);
    return job;
  }

  void use_cloud() {
    cloud = std::make_shared<fake_cloud_t>(fx.io(), fx.path("cloud.sock"));
    cloud->start();
    fx.set_cloud(true, fx.path("cloud.sock"));
  }

  // Appends `text` in chunks of `piece` bytes and waits until they are stored.
  void append(bk_local_job_t& job, const std::string& text, std::size_t piece = 70000) {
    const std::uint64_t target = job.data_size() + text.size();
    for (std::size_t at = 0; at < text.size(); at += piece)
      job.append_data(chunk_of(text.substr(at, piece)));
    ASSERT_TRUE(fx.run_until([&] { return job.data_size() == target; }));
  }

  bool wait(kind_t kind, std::size_t count) {
    return fx.run_until([&] { return driver.count(kind) >= count; });
  }

  // Reads the job's data back whole, forgetting what the driver heard before.
  std::string read_back(bk_local_job_t& job) {
    driver.events.clear();
    job.get_data(65535);
    EXPECT_TRUE(wait(kind_t::kGetDataResponse, 1));
    EXPECT_TRUE(fx.run_until([&] { return driver.read_back().size() >= driver.events[0].size; }));
    EXPECT_TRUE(fx.drain());
    for (const std::uint64_t size : driver.sizes(kind_t::kDataChunk)) EXPECT_LE(size, 65535u);
    EXPECT_EQ(driver.count(kind_t::kGetDataResponse), 1u);
    return driver.read_back();
  }

  bk_inventory_fixture_t fx;
  driver_t driver;
  std::shared_ptr<stand_se_t> engine;
  std::shared_ptr<fake_cloud_t> cloud;
  std::vector<std::shared_ptr<bk_local_job_t>> jobs;
};

TEST_F(LocalJobTest, JobWithoutDataScansAnEmptyFile) {
  auto job = make_job();
  job->scan(scan_options());
  job->scan(scan_options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_EQ(driver.response(0).report.size(), 0u);
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(read_back(*job), "");
  EXPECT_EQ(driver.sizes(kind_t::kGetDataResponse), std::vector<std::uint64_t>{0});
}

TEST_F(LocalJobTest, FileMovedByTheEngineIsFollowedOnlyInsideTheSpoolDirectory) {
  engine->options().delay = 60s;
  auto job = make_job();
  const std::string data = pattern(1000, 'n');
  append(*job, data);
  const std::string moved = fx.spool_dir() + "/moved-by-engine";
  const std::string outside = fx.path("outside");
  std::ofstream(outside.c_str()) << "not ours";

  vl::ScanReport report;
  report.set_object("");
  // Within the spool directory the job follows the file; elsewhere it would remove
  // a file that is not its own at its end.
  for (const std::string& path : {moved, outside}) {
    job->scan(scan_options());
    ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == (path == moved ? 1 : 2); }));
    if (path == moved) fs::rename(job->scan_path(), moved);
    report.set_new_path(path);
    job->on_scan_report(report);
    EXPECT_EQ(job->scan_path(), moved);
  }
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 2u);
  EXPECT_EQ(read_back(*job), data);
  jobs.clear();
  job.reset();
  EXPECT_TRUE(fx.drain());
  EXPECT_FALSE(fs::exists(moved));
  EXPECT_TRUE(fs::exists(outside));
}

TEST_F(LocalJobTest, TestFileIsFoundAndCuredInTheSpooledFile) {
  auto job = make_job();
  const std::string data = "head-" + test_virus_text() + "-tail";
  append(*job, data);
  job->scan(scan_options(false, {bk::SHA1, bk::SHA256}));
  job->scan(scan_options(false, {bk::SHA256}));
  // A driver that reads back as soon as it hears the cure's answer still gets the
  // cured file whole, although its size changed under the job.
  driver.on_response = [&] {
    if (driver.count(kind_t::kScanResponse) == 3) job->get_data(65535);
  };
  job->scan(scan_options(true));
  ASSERT_TRUE(wait(kind_t::kScanResponse, 3));
  const auto found = driver.response(0);
  ASSERT_EQ(found.report.virus_size(), 1);
  EXPECT_EQ(found.report.virus(0).name(), test_virus_name());
  EXPECT_FALSE(found.report.cured());
  EXPECT_EQ(found.hashes.sha1, sha1(data));
  EXPECT_EQ(found.hashes.sha256, sha1(data, EVP_sha256()));
  EXPECT_TRUE(driver.response(1).hashes.sha1.empty());
  EXPECT_EQ(driver.response(1).hashes.sha256, found.hashes.sha256);
  EXPECT_TRUE(driver.response(2).report.cured());
  ASSERT_TRUE(fx.run_until([&] { return driver.read_back().size() >= 10; }));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.sizes(kind_t::kGetDataResponse), std::vector<std::uint64_t>{10});
  EXPECT_EQ(driver.read_back(), "head--tail");

  // The cure rewrote the file: nothing more can be appended, and a burst of
  // appends gets one alarm.
  job->append_data(chunk_of("more"));
  job->append_data(chunk_of("more"));
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(fx.drain());
  ASSERT_EQ(driver.count(kind_t::kAlarm), 1u);
  const auto alarm = driver.of(kind_t::kAlarm)[0];
  EXPECT_EQ(alarm.code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_NE(alarm.text().find("Append after cure request"), std::string::npos);
  EXPECT_FALSE(alarm.soft);
  EXPECT_EQ(job->data_size(), 10u);
}

TEST_F(LocalJobTest, CloudVerdictAnswersBeforeTheEngineButACureWaitsForIt) {
  use_cloud();
  const std::string data = pattern(5000, 'c');
  cloud->bad.insert(sha1(data));
  // The cloud's verdict takes part only when it comes before the engine's report.
  engine->options().delay = 300ms;
  auto job = make_job();
  append(*job, data);
  job->scan(scan_options());
  job->scan(scan_options(true));
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  const auto response = driver.response(0);
  EXPECT_TRUE(response.report.cloud());
  ASSERT_EQ(response.report.virus_size(), 1);
  EXPECT_EQ(response.report.virus(0).name(), "Cloud.Threat");
  // With the cloud on, the SHA-1 comes along.
  EXPECT_EQ(response.hashes.sha1, sha1(data));
  EXPECT_EQ(job->scan_request_count(), 1u);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_TRUE(driver.response(1).report.cloud());
  EXPECT_EQ(driver.response(1).report.error(), vl::SE_CAN_NOT_BE_CURED);
}

TEST_F(LocalJobTest, ThreatHashIsAnsweredWhenTheCloudIsUnavailable) {
  // The cloud is on, but its daemon cannot be found: every check is refused.
  fx.set_cloud(true, std::string());
  auto job = make_job();
  const std::string data = pattern(4000, 'e');
  append(*job, data);
  for (int i = 0; i < 3; ++i) job->scan(scan_options(false, {bk::SHA1, bk::SHA256}));
  ASSERT_TRUE(wait(kind_t::kScanResponse, 3));
  for (const auto& response : driver.of(kind_t::kScanResponse)) {
    EXPECT_FALSE(response.report.cloud());
    EXPECT_EQ(response.hashes.sha1, sha1(data));
    EXPECT_EQ(response.hashes.sha256, sha1(data, EVP_sha256()));
  }
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

TEST_F(LocalJobTest, DigestsAfterTheEngineReportAnswerWithoutWaitingForTheCloud) {
  use_cloud();
  // The cloud never answers by itself: an answer that waited for it would come
  // only after its timeout.
  cloud->hold = true;
  auto job = make_job();
  append(*job, pattern(2000, 'f'));
  job->scan(scan_options(false, {bk::SHA1}));
  ASSERT_TRUE(fx.run_until([&] { return driver.count(kind_t::kScanResponse) == 1; }, 2000ms));
  EXPECT_FALSE(driver.response(0).report.cloud());
  EXPECT_EQ(driver.response(0).hashes.sha1.size(), 40u);
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 1; }));

  // The first request's verdict comes while the second one waits for the engine.
  engine->options().delay = 300ms;
  job->scan(scan_options(false, {bk::SHA1}));
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 2; }));
  cloud->answer(0, true);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_FALSE(driver.response(1).report.cloud());
  EXPECT_EQ(driver.response(1).report.virus_size(), 0);
  cloud->answer(1, false);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 2u);
}

TEST_F(LocalJobTest, DigestsOfAnEarlierRequestDoNotCountForALaterOne) {
  use_cloud();
  auto job = make_job();
  append(*job, pattern(2000, 'm'));
  // Both digest threads are busy for a while: the first request's digests come
  // after the engine answered it, while the second request waits for its own.
  const std::string busy = fx.path("busy");
  std::ofstream(busy.c_str()).close();
  fs::resize_file(busy, 32 << 20);
  int busy_done = 0;
  for (int i = 0; i < 2; ++i)
    fx.inventory().digest_pool->hash_file(
        true, true, busy, [&](std::exception_ptr, const bk_hash_values_t&) { ++busy_done; });
  driver.on_response = [&] { engine->options().delay = 1500ms; };
  job->scan(scan_options());
  // A cure asks the engine only once its digests are there.
  job->scan(scan_options(true));
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_TRUE(fx.run_until([&] { return busy_done == 2; }));
  EXPECT_TRUE(fx.drain());
  // One engine request and one cloud check for the cure, none from the stale digests.
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(cloud->checks.size(), 1u);
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 2u);
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

TEST_F(LocalJobTest, CleanDataSentWhileScansArePendingIsScannedInOrderAndReadBackWhole) {
  engine->options().delay = 100ms;
  auto job = make_job();
  const std::string a = pattern(100000, 'A'), b = pattern(70001, 'B'), c = pattern(3, 'C');
  append(*job, a);
  job->scan(scan_options());
  append(*job, b);
  job->scan(scan_options());
  append(*job, c);
  EXPECT_EQ(driver.acknowledged(), a.size() + b.size() + c.size());
  // The main file and one patch per scan request queued before the data.
  EXPECT_EQ(fx.spool_files().size(), 3u);
  EXPECT_EQ(job->scan_request_count(), 2u);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  // Each request covers the data sent before it; no digest was asked for.
  EXPECT_EQ(driver.response(0).report.size(), a.size());
  EXPECT_EQ(driver.response(0).report.virus_size(), 0);
  EXPECT_TRUE(driver.response(0).hashes.sha1.empty() && driver.response(0).hashes.sha256.empty());
  EXPECT_EQ(driver.response(1).report.size(), a.size() + b.size());
  EXPECT_EQ(read_back(*job), a + b + c);
  EXPECT_EQ(driver.sizes(kind_t::kGetDataResponse), std::vector<std::uint64_t>{job->data_size()});
  EXPECT_EQ(fx.spool_files().size(), 1u);
  EXPECT_EQ(job->scan_request_count(), 0u);
}

TEST_F(LocalJobTest, ScanAskedWhileAPatchIsMergedRunsOnce) {
  auto job = make_job();
  const std::string a = pattern(1000, 'g'), b = pattern(500, 'h');
  append(*job, a);
  // The next request comes from inside the answer, while the patch is merged.
  driver.on_response = [&] {
    driver.on_response = nullptr;
    job->scan(scan_options());
  };
  job->scan(scan_options());
  append(*job, b);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 2u);
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(driver.response(1).report.size(), a.size() + b.size());
  job->scan(scan_options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 3));
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

TEST_F(LocalJobTest, DataResetStopsTheReadingAndASecondGetDataIsRefused) {
  auto job = make_job();
  const std::string data = pattern(300000, 'i');
  append(*job, data);
  driver.auto_drain = false;
  job->get_data(65535);
  ASSERT_TRUE(wait(kind_t::kGetDataResponse, 1));
  EXPECT_EQ(driver.sizes(kind_t::kGetDataResponse)[0], data.size());
  driver.drained();
  ASSERT_TRUE(wait(kind_t::kDataChunk, 1));

  // Another GET_DATA while one runs is a protocol violation.
  auto second = make_job();
  second->get_data(65535);
  second->get_data(65535);
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  const auto alarm = driver.of(kind_t::kAlarm)[0];
  EXPECT_EQ(alarm.code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_NE(alarm.text().find("previous GET_DATA request is not handled yet"), std::string::npos);
  EXPECT_FALSE(alarm.soft);

  job->data_reset();
  ASSERT_TRUE(wait(kind_t::kDataResetResponse, 1));
  driver.drained();
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kDataChunk), 1u);
  driver.auto_drain = true;
  EXPECT_EQ(read_back(*job), data);
}

TEST_F(LocalJobTest, ResetOrDestructionMidOperationLeavesNoSpoolFile) {
  engine->options().delay = 200ms;
  const std::string data = pattern(1 << 20, 'j');
  // Reset while the engine scans: the job takes nothing more and answers nothing.
  auto scanned = make_job();
  append(*scanned, data);
  scanned->scan(scan_options());
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 1; }));
  scanned->reset();
  scanned->append_data(chunk_of("ignored"));
  scanned->scan(scan_options());
  // The engine answers in order: once a later request is answered, so was this one.
  make_job()->scan(scan_options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 1u);
  EXPECT_EQ(engine->serials().size(), 2u);

  // Destroyed with writes still queued on the worker.
  auto appending = make_job();
  for (int i = 0; i < 8; ++i) appending->append_data(chunk_of(data));
  // Destroyed in the middle of a reading, with a scan under way and a patch waiting
  // for its merge.
  auto reading = make_job();
  append(*reading, data);
  reading->scan(scan_options());
  append(*reading, data);
  driver.auto_drain = false;
  reading->get_data(65535);
  ASSERT_TRUE(wait(kind_t::kGetDataResponse, 1));
  driver.drained();
  ASSERT_TRUE(wait(kind_t::kDataChunk, 1));
  EXPECT_GE(fx.spool_files().size(), 2u);

  jobs.clear();
  scanned.reset();
  appending.reset();
  reading.reset();
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

TEST_F(LocalJobTest, EngineLinkDroppedMidScanFailsOnlyThatRequest) {
  engine->options().delay = 60s;
  auto job = make_job();
  append(*job, pattern(1000, 'k'));
  job->scan(scan_options());
  job->scan(scan_options());
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 1; }));
  engine->stop();
  engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_EQ(driver.of(kind_t::kAlarm)[0].code(), vl::EC_LINK_DISCONNECTED);
  EXPECT_TRUE(driver.of(kind_t::kAlarm)[0].soft);
  // The job stays usable: the request queued behind goes to the new engine link.
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_EQ(driver.response(0).report.size(), 1000u);
  EXPECT_EQ(job->scan_request_count(), 0u);

  // A cure cut off the same way may have left the file half cured: a hard failure.
  engine->options().delay = 60s;
  job->scan(scan_options(true));
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 2; }));
  engine->stop();
  ASSERT_TRUE(wait(kind_t::kAlarm, 2));
  EXPECT_EQ(driver.of(kind_t::kAlarm)[1].code(), vl::EC_LINK_DISCONNECTED);
  EXPECT_FALSE(driver.of(kind_t::kAlarm)[1].soft);
}

TEST_F(LocalJobTest, LostScannerFailsTheRequestAndAFailedWriteTheJobOnce) {
  auto job = make_job();
  auto failing = make_job();
  append(*job, pattern(100, 'l'));
  fx.drop_scanner();
  job->scan(scan_options());
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_EQ(driver.of(kind_t::kAlarm)[0].code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_TRUE(driver.of(kind_t::kAlarm)[0].soft);
  EXPECT_EQ(job->scan_request_count(), 0u);

  driver.events.clear();
  fs::remove_all(fx.spool_dir());
  failing->append_data(chunk_of("data"));
  failing->append_data(chunk_of("more"));
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(fx.drain());
  ASSERT_EQ(driver.count(kind_t::kAlarm), 1u);
  EXPECT_FALSE(driver.of(kind_t::kAlarm)[0].soft);
  EXPECT_NE(driver.of(kind_t::kAlarm)[0].text().find("open"), std::string::npos);
  EXPECT_EQ(driver.acknowledged(), 0u);
  fs::create_directory(fx.spool_dir());
}

TEST_F(LocalJobTest, SpoolFileThatCannotBeCreatedFailsOnlyItsJobAndNothingIsStoredAfterIt) {
  auto going = make_job();
  append(*going, "before");
  auto failing = make_job();
  const bk::ScanOptions options = scan_options();
  worker_descriptor_shortage_t shortage(*fx.inventory().task_queue);
  shortage.begin();
  failing->append_data(chunk_of("lost"));
  // What comes after a scan request goes to a patch file.
  failing->scan(options);
  // A job whose file is open goes on.
  going->append_data(chunk_of(" during"));
  // Descriptors come back before the next write: stored, it would stand where the
  // lost chunk belongs.
  shortage.end();
  failing->append_data(chunk_of("late"));
  shortage.run();
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(fx.drain());

  ASSERT_EQ(driver.count(kind_t::kAlarm), 1u);
  const auto alarm = driver.of(kind_t::kAlarm)[0];
  EXPECT_EQ(alarm.job_id, failing->job_id);
  EXPECT_FALSE(alarm.soft);
  EXPECT_NE(alarm.text().find("open: Too many open files"), std::string::npos) << alarm.text();
  EXPECT_EQ(failing->data_size(), 0u);
  for (const auto& stored : driver.of(kind_t::kAppended)) EXPECT_EQ(stored.job_id, going->job_id);
  for (const std::string& file : fx.spool_files())
    EXPECT_EQ(file.find(".patch"), std::string::npos) << file;

  going->scan(options);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_EQ(driver.response(0).report.size(), 13u);
}

TEST_F(LocalJobTest, PatchThatCannotBeOpenedForItsMergeFailsTheCureAndIsRemoved) {
  auto job = make_job();
  append(*job, "main");
  // Both before the first answer can come: the cure covers a patch.
  job->scan(scan_options());
  job->append_data(chunk_of("patch"));
  job->scan(scan_options(true));
  // The first answer queues the merge right after this call.
  worker_descriptor_shortage_t shortage(*fx.inventory().task_queue);
  driver.on_response = [&] {
    shortage.begin();
    boost::asio::post(fx.io(), [&] {
      shortage.end();
      shortage.run();
    });
  };
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  driver.on_response = nullptr;
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 1u);
  const auto alarm = driver.of(kind_t::kAlarm)[0];
  EXPECT_FALSE(alarm.soft);
  EXPECT_NE(alarm.text().find("open: Too many open files"), std::string::npos) << alarm.text();
  EXPECT_NE(alarm.text().find(".patch1"), std::string::npos) << alarm.text();
  // Only the main file is left, and it goes with the job.
  EXPECT_EQ(fx.spool_files().size(), 1u);
  EXPECT_EQ(engine->serials().size(), 1u);
}

}  // namespace
