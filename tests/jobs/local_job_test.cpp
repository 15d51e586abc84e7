#include "jobs/local_job.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/digest_pool.h"
#include "core/task_queue.h"
#include "framework/basic_ipc_link.h"
#include "schemas/lumend_client_ipc.pb.h"
#include "tests/support/descriptor_shortage.h"
#include "tests/support/fake_job.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/proto_text.h"
#include "tests/support/test_virus.h"
#include "tests/support/worker_stall.h"
#include "tools/stand-se/stand_se.h"

namespace {

using namespace std::chrono_literals;
using kind_t = bk_recording_delegate_t::kind_t;
using sizes_t = std::vector<std::uint64_t>;
namespace fs = boost::filesystem;

std::string digest(const std::string& data, const EVP_MD* md = EVP_sha1()) {
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

bk::ScanOptions options(bool cure = false, std::vector<bk::HashType> hashes = {}) {
  bk::ScanOptions options;
  if (cure) options.set_cure(true);
  for (const bk::HashType hash : hashes) options.add_threat_hash(hash);
  return options;
}

// The cloud-lookup daemon for one connection; it keeps each check until the test
// answers it.
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
  void answer_threat(std::size_t check) {
    async_send_message(from_text<cl::ServerMessage>(
        "tag: CHECK_FILE_RESPONSE serial: " + std::to_string(checks.at(check).serial()) +
        " file_result { result: EC_OK virus { type: SE_KNOWN_VIRUS name: 'Cloud.Threat' } }"));
  }

  std::vector<cl::ClientMessage> checks;

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    ASSERT_TRUE(checks.emplace_back().ParseFromZeroCopyStream(&body));
  }
  void on_error(const boost::system::error_code&) override { stop(); }
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

  boost::asio::local::stream_protocol::acceptor acceptor_;
};

// Holds both digest threads, each on a named pipe it reads as a file, until the
// test lets them go one at a time: the digests asked meanwhile wait behind, in
// order. Owned by one test on the main thread; it must be gone (or released)
// before the digest pool, whose destruction joins the threads.
class digest_stall_t {
 public:
  digest_stall_t(bk_digest_pool_t& pool, const std::string& base) {
    for (int i = 0; i < 2; ++i) {
      pipes_.push_back(base + std::to_string(i));
      if (::mkfifo(pipes_.back().c_str(), 0600) != 0)
        throw std::system_error(errno, std::generic_category(), "mkfifo");
      pool.hash_file(true, false, pipes_.back(),
                     [](std::exception_ptr, const bk_hash_values_t&) {});
    }
  }
  ~digest_stall_t() {
    while (release_one()) {
    }
  }
  digest_stall_t(const digest_stall_t&) = delete;
  digest_stall_t& operator=(const digest_stall_t&) = delete;

  // Ends the next pipe's file (waiting until its thread opens it); false when none
  // is left.
  bool release_one() {
    if (released_ == pipes_.size()) return false;
    const int fd = ::open(pipes_[released_++].c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return true;
  }

 private:
  std::vector<std::string> pipes_;
  std::size_t released_ = 0;
};

// Records what the job tells its driver, and calls `on_response` after each answer.
struct driver_t : bk_recording_delegate_t {
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override {
    bk_recording_delegate_t::on_scan_response(job_id, report, hashes);
    if (on_response) on_response();
  }
  event_t response(size_t i) const { return of(kScanResponse).at(i); }
  event_t alarm(size_t i = 0) const { return of(kAlarm).at(i); }

  std::function<void()> on_response;
};

class LocalJobTest : public ::testing::Test {
 protected:
  LocalJobTest() { fx.set_se_path(fx.path("se.sock")); }
  ~LocalJobTest() override {
    jobs.clear();
    engine->stop();
    if (cloud) cloud->stop();
    // Whatever the job was doing, its files are gone once the worker is idle.
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  }

  std::shared_ptr<bk_local_job_t> make_job() {
    jobs.push_back(fx.inventory().scanner->create_job<bk_local_job_t>(jobs.size() + 7));
    jobs.back()->set_delegate(&driver);
    return jobs.back();
  }
  void use_cloud() {
    cloud = std::make_shared<fake_cloud_t>(fx.io(), fx.path("cloud.sock"));
    cloud->start();
    fx.set_cloud(fx.path("cloud.sock"));
  }
  // Appends `text` in chunks of at most 70000 bytes and waits until they are stored.
  void append(bk_local_job_t& job, const std::string& text) {
    const std::uint64_t target = job.data_size() + text.size();
    for (std::size_t at = 0; at < text.size(); at += 70000)
      job.append_data(chunk_of(text.substr(at, 70000)));
    ASSERT_TRUE(fx.run_until([&] { return job.data_size() == target; }));
  }
  bool wait(kind_t kind, std::size_t count) {
    return fx.run_until([&] { return driver.count(kind) >= count; });
  }
  bool wait_engine(std::size_t requests) {
    return fx.run_until([&] { return engine->serials().size() == requests; });
  }
  // The first alarm's text holds `part`, and it is soft or not.
  void expect_alarm(const std::string& part, bool soft) {
    EXPECT_NE(driver.alarm().text().find(part), std::string::npos) << driver.alarm().text();
    EXPECT_EQ(driver.alarm().soft, soft);
  }
  // Reads the job's data back whole, forgetting what the driver heard before.
  std::string read_back(bk_local_job_t& job) {
    driver.events.clear();
    job.get_data(65535);
    EXPECT_TRUE(wait(kind_t::kGetDataResponse, 1));
    return take_chunks();
  }
  // Emits the drained signal until the announced bytes have come: one chunk each.
  std::string take_chunks() {
    const std::uint64_t total = driver.of(kind_t::kGetDataResponse).back().size;
    std::size_t signals = 0;
    while (driver.read_back().size() < total) {
      driver.drained();
      if (!wait(kind_t::kDataChunk, ++signals)) break;
    }
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(driver.count(kind_t::kDataChunk), signals);
    for (const std::uint64_t size : driver.sizes(kind_t::kDataChunk)) EXPECT_LE(size, 65535u);
    return driver.read_back();
  }

  bk_inventory_fixture_t fx;
  driver_t driver;
  std::shared_ptr<stand_se_t> engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
  std::shared_ptr<fake_cloud_t> cloud;
  std::vector<std::shared_ptr<bk_local_job_t>> jobs;
};

TEST_F(LocalJobTest, EachScanCoversTheDataSentBeforeItAndAllIsReadBack) {
  engine->options().delay = 100ms;
  auto job = make_job();
  const std::string a = pattern(100000, 'A'), b = pattern(70001, 'B'), c = pattern(3, 'C');
  append(*job, a);
  job->scan(options());
  append(*job, b);
  job->scan(options());
  append(*job, c);
  EXPECT_EQ(driver.acknowledged(), a.size() + b.size() + c.size());
  // The main file and one patch per scan request queued before the data.
  EXPECT_EQ(fx.spool_files().size(), 3u);
  // Asked from inside the last answer, while the last patch is merged: runs once.
  driver.on_response = [&] {
    if (driver.count(kind_t::kScanResponse) == 2) job->scan(options());
  };
  ASSERT_TRUE(wait(kind_t::kScanResponse, 3));
  sizes_t sizes;
  for (const auto& response : driver.of(kind_t::kScanResponse))
    sizes.push_back(response.report.size());
  EXPECT_EQ(sizes, (sizes_t{a.size(), a.size() + b.size(), a.size() + b.size() + c.size()}));
  EXPECT_TRUE(driver.response(0).hashes.sha1.empty() && driver.response(0).hashes.sha256.empty());
  EXPECT_EQ(read_back(*job), a + b + c);
  EXPECT_EQ(engine->serials().size(), 3u);
  EXPECT_EQ(fx.spool_files().size(), 1u);
}

TEST_F(LocalJobTest, FileMovedByTheEngineIsFollowedOnlyInsideTheSpoolDirectory) {
  engine->options().delay = 60s;
  auto job = make_job();
  append(*job, "data");
  const std::string moved = fx.spool_dir() + "/moved-by-engine", outside = fx.path("outside");
  std::ofstream(outside.c_str()) << "not ours";
  vl::ScanReport report;
  report.set_object("");
  // Elsewhere the job would remove a file that is not its own at its end.
  for (const std::string& path : {moved, outside}) {
    job->scan(options());
    ASSERT_TRUE(wait_engine(path == moved ? 1 : 2));
    if (path == moved) fs::rename(job->scan_path(), moved);
    report.set_new_path(path);
    job->on_scan_report(report);
    EXPECT_EQ(job->scan_path(), moved);
  }
  EXPECT_EQ(read_back(*job), "data");
  jobs.clear();
  job.reset();
  EXPECT_TRUE(fx.drain());
  EXPECT_FALSE(fs::exists(moved));
  EXPECT_TRUE(fs::exists(outside));
}

TEST_F(LocalJobTest, TestFileIsFoundAndCuredAndNothingIsTakenAfterTheCure) {
  auto job = make_job();
  const std::string data = "head-" + test_virus_text() + "-tail";
  append(*job, data);
  job->scan(options(false, {bk::SHA256}));
  // A driver that reads back as soon as it hears the cure's answer still gets the
  // cured file whole, although its size changed under the job.
  driver.on_response = [&] {
    if (driver.count(kind_t::kScanResponse) == 2) job->get_data(65535);
  };
  job->scan(options(true));
  ASSERT_TRUE(wait(kind_t::kGetDataResponse, 1));
  ASSERT_EQ(driver.response(0).report.virus_size(), 1);
  EXPECT_EQ(driver.response(0).report.virus(0).name(), test_virus_name());
  // Only the digests asked for.
  EXPECT_TRUE(driver.response(0).hashes.sha1.empty());
  EXPECT_EQ(driver.response(0).hashes.sha256, digest(data, EVP_sha256()));
  EXPECT_TRUE(driver.response(1).report.cured());
  EXPECT_EQ(take_chunks(), "head--tail");

  // The cure rewrote the file: a burst of appends gets one alarm.
  job->append_data(chunk_of("more"));
  job->append_data(chunk_of("more"));
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(fx.drain());
  ASSERT_EQ(driver.count(kind_t::kAlarm), 1u);
  EXPECT_EQ(driver.alarm().code(), vl::EC_PROTOCOL_VIOLATION);
  expect_alarm("Append after cure request", false);
  EXPECT_EQ(job->data_size(), 10u);
}

TEST_F(LocalJobTest, CloudThreatAnswersAloneUnlessACureWaitsAndOnlyForItsRequest) {
  use_cloud();
  engine->options().delay = 300ms;
  auto job = make_job();
  const std::string data = pattern(5000, 'c');
  append(*job, data);
  job->scan(options());
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 1; }));
  EXPECT_EQ(cloud->checks[0].file().sha1(), digest(data));
  EXPECT_EQ(cloud->checks[0].file().size(), data.size());
  cloud->answer_threat(0);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_TRUE(driver.response(0).report.cloud());
  // With the cloud on, the SHA-1 comes along.
  EXPECT_EQ(driver.response(0).hashes.sha1, digest(data));
  // The engine, which misses the threat, answers a cure.
  job->scan(options(true));
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 2; }));
  cloud->answer_threat(1);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  EXPECT_EQ(driver.response(1).report.error(), vl::SE_CAN_NOT_BE_CURED);
  // A verdict that comes after its request was answered does not count for the next.
  job->scan(options());
  job->scan(options());
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 4; }));
  cloud->answer_threat(2);
  ASSERT_TRUE(wait(kind_t::kScanResponse, 4));
  EXPECT_FALSE(driver.response(2).report.cloud());
  EXPECT_FALSE(driver.response(3).report.cloud());
}

// Digests asked without a cure, with no cloud verdict coming (the cloud is silent,
// or cannot be reached), ready before or after the engine's report.
class DigestsWithoutCloudVerdict : public LocalJobTest,
                                   public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(DigestsWithoutCloudVerdict, AreAnsweredAtOnceAfterOneEngineRequest) {
  const bool cloud_silent = std::get<0>(GetParam()), digests_first = std::get<1>(GetParam());
  if (cloud_silent) use_cloud();
  if (!cloud_silent) fx.set_cloud(std::string());
  int busy_done = 2;
  if (digests_first) {
    engine->options().delay = 200ms;
  } else {
    // Both digest threads stay busy for a while.
    busy_done = 0;
    const std::string busy = fx.path("busy");
    std::ofstream(busy.c_str()).close();
    fs::resize_file(busy, 32 << 20);
    for (int i = 0; i < 2; ++i)
      fx.inventory().digest_pool->hash_file(
          true, true, busy, [&](std::exception_ptr, const bk_hash_values_t&) { ++busy_done; });
  }
  auto job = make_job();
  const std::string data = pattern(4000, 'e');
  append(*job, data);
  job->scan(options(false, {bk::SHA1, bk::SHA256}));
  // Well before a silent cloud's check times out.
  ASSERT_TRUE(fx.run_until([&] { return driver.count(kind_t::kScanResponse) == 1; },
                           std::chrono::milliseconds(bk_local_job_t::kCloudTimeoutMs - 1000)));
  EXPECT_FALSE(driver.response(0).report.cloud());
  EXPECT_EQ(driver.response(0).hashes.sha1, digest(data));
  EXPECT_EQ(driver.response(0).hashes.sha256, digest(data, EVP_sha256()));
  EXPECT_TRUE(fx.run_until([&] { return busy_done == 2; }));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(engine->serials().size(), 1u);
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

INSTANTIATE_TEST_SUITE_P(LocalJob, DigestsWithoutCloudVerdict,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "CloudSilent" : "NoCloud") +
                                  (std::get<1>(info.param) ? "DigestsFirst" : "EngineFirst");
                         });

TEST_F(LocalJobTest, DigestsOfAnEarlierRequestDoNotCountForALaterOne) {
  use_cloud();
  auto job = make_job();
  append(*job, pattern(2000, 'm'));
  digest_stall_t stall(*fx.inventory().digest_pool, fx.path("stall"));
  // A cure comes as soon as the scan is answered; its engine request lasts long
  // enough for whatever the job sends after it to reach the engine first.
  driver.on_response = [&] {
    driver.on_response = nullptr;
    engine->options().delay = 300ms;
    job->scan(options(true));
  };
  // With the cloud on, a scan's SHA-1 is for the cloud alone: the engine answers
  // it before its digests come.
  job->scan(options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  // One thread now computes the scan's digests, then the cure's, which asks the
  // engine only once they are there.
  stall.release_one();
  ASSERT_TRUE(wait(kind_t::kScanResponse, 2));
  stall.release_one();
  EXPECT_TRUE(fx.drain());
  // One engine request and one cloud check for the cure, none from the stale digests.
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(cloud->checks.size(), 1u);
  EXPECT_EQ(driver.count(kind_t::kScanResponse), 2u);
  EXPECT_EQ(driver.count(kind_t::kAlarm), 0u);
}

TEST_F(LocalJobTest, ReadBackSendsAChunkPerDrainAndEndsOnDataReset) {
  // A job without data has its empty file made for the engine, and reads nothing.
  auto empty = make_job();
  empty->scan(options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_FALSE(driver.response(0).report.has_error());
  EXPECT_EQ(read_back(*empty), "");

  auto job = make_job();
  const std::string data = pattern(300000, 'i');
  append(*job, data);
  driver.events.clear();
  job->get_data(65535);
  job->get_data(65535);
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_EQ(driver.alarm().code(), vl::EC_PROTOCOL_VIOLATION);
  expect_alarm("previous GET_DATA request is not handled yet", false);
  ASSERT_TRUE(wait(kind_t::kGetDataResponse, 1));
  EXPECT_EQ(driver.sizes(kind_t::kGetDataResponse), sizes_t{data.size()});
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kDataChunk), 0u);
  driver.drained();
  ASSERT_TRUE(wait(kind_t::kDataChunk, 1));
  job->data_reset();
  ASSERT_TRUE(wait(kind_t::kDataResetResponse, 1));
  driver.drained();
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.count(kind_t::kDataChunk), 1u);
  EXPECT_EQ(read_back(*job), data);
}

TEST_F(LocalJobTest, ResetOrDestructionMidOperationLeavesNoSpoolFile) {
  engine->options().delay = 200ms;
  const std::string data = pattern(1 << 20, 'j');
  // Reset while the engine scans: the job takes nothing more and answers nothing.
  auto scanned = make_job();
  append(*scanned, data);
  scanned->scan(options());
  ASSERT_TRUE(wait_engine(1));
  scanned->reset();
  scanned->append_data(chunk_of("ignored"));
  scanned->scan(options());
  // The engine answers in order: once a later request is answered, so was this one.
  make_job()->scan(options());
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
  reading->scan(options());
  append(*reading, data);
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

// The request in progress, a scan or a cure, cannot be scanned: the engine's link
// is lost mid-scan, or the engine front is gone (shutting down). A second request
// waits behind it.
class EngineFailure : public LocalJobTest,
                      public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(EngineFailure, FailsTheJobOnlyWhenACureMayHaveSpoiltItsData) {
  const bool cure = std::get<0>(GetParam()), scanner_gone = std::get<1>(GetParam());
  auto job = make_job();
  append(*job, pattern(1000, 'k'));
  driver.events.clear();
  if (scanner_gone) fx.drop_scanner();
  engine->options().delay = 60s;
  job->scan(options(cure));
  job->scan(options());
  if (!scanner_gone) {
    ASSERT_TRUE(wait_engine(1));
    engine->stop();
    engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
  }
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_EQ(driver.alarm().code(), scanner_gone ? vl::EC_NO_SCAN_ENGINE : vl::EC_LINK_DISCONNECTED);
  // Only that request failed, unless a cure cut off may have left the file half cured.
  EXPECT_EQ(driver.alarm().soft, !cure);
  EXPECT_TRUE(fx.run_until([&] { return driver.events.size() == (cure ? 1u : 2u); }));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(job->scan_request_count(), cure ? 1u : 0u);
  if (!cure) {
    // The one behind goes on.
    const auto next = driver.events.at(1);
    EXPECT_EQ(next.kind, scanner_gone ? kind_t::kAlarm : kind_t::kScanResponse);
    EXPECT_EQ(next.report.size(), scanner_gone ? 0u : 1000u);
  }
}

INSTANTIATE_TEST_SUITE_P(LocalJob, EngineFailure,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param) ? "ScannerGone"
                                                                      : "LinkLost") +
                                  (std::get<0>(info.param) ? "ForACure" : "ForAScan");
                         });

// A read-back holds every byte appended before it, also while their writes still
// wait for the worker: here the chunks that came during a scan, and the one the
// driver hands the job on hearing that the scan failed softly.
TEST_F(LocalJobTest, ReadBackHoldsEveryByteAppendedBeforeItAfterASoftScanFailure) {
  auto job = make_job();
  const std::string before = pattern(1000, 'a'), during = pattern(2000, 'b');
  const std::string told = pattern(3000, 'c');
  append(*job, before);
  engine->options().delay = 60s;
  job->scan(options());
  ASSERT_TRUE(wait_engine(1));
  worker_stall_t stall(*fx.inventory().task_queue);
  job->append_data(chunk_of(during));
  driver.after_alarm = [&](const auto&) { job->append_data(chunk_of(told)); };
  engine->stop();
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(driver.alarm().soft);
  driver.events.clear();
  job->get_data(65535);
  stall.release();
  ASSERT_TRUE(wait(kind_t::kGetDataResponse, 1));
  const std::string back = take_chunks();
  EXPECT_TRUE(back == before + during + told) << back.size() << " bytes";
  engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
}

TEST_F(LocalJobTest, SpoolFileThatCannotBeCreatedFailsOnlyItsJobAndNothingIsStoredAfterIt) {
  auto going = make_job();
  append(*going, "before");
  auto failing = make_job();
  worker_descriptor_shortage_t shortage(*fx.inventory().task_queue);
  shortage.begin();
  failing->append_data(chunk_of("lost"));
  // What comes after a scan request goes to a patch file.
  failing->scan(options());
  going->append_data(chunk_of(" during"));
  // Descriptors come back before the next write: stored, it would stand where the
  // lost chunk belongs.
  shortage.end();
  failing->append_data(chunk_of("late"));
  shortage.run();
  ASSERT_TRUE(wait(kind_t::kAlarm, 1));
  EXPECT_TRUE(fx.drain());
  ASSERT_EQ(driver.count(kind_t::kAlarm), 1u);
  EXPECT_EQ(driver.alarm().job_id, failing->job_id);
  expect_alarm("open: Too many open files", false);
  EXPECT_EQ(failing->data_size(), 0u);
  for (const auto& stored : driver.of(kind_t::kAppended)) EXPECT_EQ(stored.job_id, going->job_id);
  for (const std::string& file : fx.spool_files())
    EXPECT_EQ(file.find(".patch"), std::string::npos) << file;
  // A job whose file is open goes on.
  going->scan(options());
  ASSERT_TRUE(wait(kind_t::kScanResponse, 1));
  EXPECT_EQ(driver.response(0).report.size(), 13u);
}

TEST_F(LocalJobTest, PatchThatCannotBeOpenedForItsMergeFailsTheCureAndIsRemoved) {
  auto job = make_job();
  append(*job, "main");
  // Both before the first answer can come: the cure covers a patch.
  job->scan(options());
  job->append_data(chunk_of("patch"));
  job->scan(options(true));
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
  expect_alarm("open: Too many open files", false);
  EXPECT_NE(driver.alarm().text().find(".patch1"), std::string::npos) << driver.alarm().text();
  // Only the main file is left, and it goes with the job.
  EXPECT_EQ(fx.spool_files().size(), 1u);
  EXPECT_EQ(engine->serials().size(), 1u);
}

}  // namespace
