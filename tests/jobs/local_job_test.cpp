#include "jobs/local_job.h"

#include <openssl/evp.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>
#include <boost/signals2/signal.hpp>

#include "core/digest_pool.h"
#include "core/hash_values.h"
#include "core/scanner.h"
#include "framework/basic_ipc_link.h"
#include "framework/error.h"
#include "schemas/lumend_client_ipc.pb.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

using namespace std::chrono_literals;

std::string digest_text_of(const std::string& data, const EVP_MD* md) {
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

vl::ErrorCode code_of(const std::exception_ptr& error) {
  return exception_ptr_to_error_enum(error);
}

// The cloud-lookup daemon, in the test's event loop: a SHA-1 listed in `bad` is a
// threat. While `hold` is set it keeps the checks until the test answers them.
class fake_cloud_t : public std::enable_shared_from_this<fake_cloud_t> {
 public:
  struct check_t {
    std::uint32_t serial;
    std::string sha1;
  };

  static std::shared_ptr<fake_cloud_t> create(boost::asio::io_context& io,
                                              const std::string& path) {
    std::shared_ptr<fake_cloud_t> cloud(new fake_cloud_t(io, path));
    cloud->start_accept();
    return cloud;
  }
  ~fake_cloud_t() { stop(); }

  void stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (session_) session_->close();
    session_.reset();
  }

  // Answers the check received as number `index` (from 0).
  void answer(std::size_t index, bool threat) { session_->send(checks.at(index), threat); }

  std::set<std::string> bad;
  bool hold = false;
  std::vector<check_t> checks;

 private:
  class session_t : public std::enable_shared_from_this<session_t>, public cf_local_ipc_link_t {
   public:
    session_t(fake_cloud_t& cloud, std::shared_ptr<cf_local_socket_t> socket)
        : cf_local_ipc_link_t(kIpcLinkLimit), cloud_(cloud) {
      set_socket(std::move(socket));
    }
    void start() { read_header(); }
    void close() {
      boost::system::error_code ignored;
      socket()->close(ignored);
    }
    void send(const check_t& check, bool threat) {
      cl::ServerMessage response;
      response.set_tag(cl::ServerMessage::CHECK_FILE_RESPONSE);
      response.set_serial(check.serial);
      response.mutable_file_result()->set_result(vl::EC_OK);
      if (threat) {
        vl::Virus* virus = response.mutable_file_result()->mutable_virus();
        virus->set_type(vl::SE_KNOWN_VIRUS);
        virus->set_name("Cloud.Threat");
      }
      async_send_message(response);
    }

   private:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
      cl::ClientMessage request;
      ASSERT_TRUE(request.ParseFromZeroCopyStream(&body));
      ASSERT_EQ(request.tag(), cl::ClientMessage::CHECK_FILE_REQUEST);
      const check_t check{request.serial(), request.file().sha1()};
      cloud_.checks.push_back(check);
      if (!cloud_.hold) send(check, cloud_.bad.count(check.sha1) != 0);
    }
    void on_error(const boost::system::error_code&) override { close(); }
    std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

    fake_cloud_t& cloud_;
  };

  fake_cloud_t(boost::asio::io_context& io, const std::string& path) : io_(io), acceptor_(io) {
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  void start_accept() {
    auto socket = std::make_shared<cf_local_socket_t>(io_);
    acceptor_.async_accept(
        *socket, [weak = weak_from_this(), socket](const boost::system::error_code& error) {
          const auto self = weak.lock();
          if (!self || error) return;
          self->session_ = std::make_shared<session_t>(*self, socket);
          self->session_->start();
          self->start_accept();
        });
  }

  boost::asio::io_context& io_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  std::shared_ptr<session_t> session_;
};

// Drives a job as a master job would and records what it hears. Unless
// `auto_drain` is off, its send queue drains right after every chunk.
class recording_driver_t : public bk_job_t::delegate {
 public:
  struct response_t {
    vl::ScanReport report;
    bk_hash_values_t hashes;
  };
  struct alarm_t {
    std::exception_ptr error;
    bool soft;
  };

  explicit recording_driver_t(boost::asio::io_context& io) : io_(io) {}
  ~recording_driver_t() override { *alive_ = false; }

  void on_get_data_response(std::uint32_t, std::uint64_t size) override {
    get_data_responses.push_back(size);
  }
  void on_data_chunk(std::uint32_t, const char* bytes, std::uint64_t size) override {
    data.append(bytes, size);
    chunk_sizes.push_back(size);
    if (auto_drain) post_drained();
  }
  void on_scan_response(std::uint32_t, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override {
    responses.push_back({report, hashes});
    if (on_response) on_response();
  }
  void on_data_chunk_appended(std::uint32_t, std::uint32_t size) override { appended += size; }
  void on_alarm(std::uint32_t, const std::exception_ptr& error, bool soft) override {
    alarms.push_back({error, soft});
  }
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override {
    boost::signals2::connection connection = drained.connect(callback);
    if (auto_drain) post_drained();
    return connection;
  }
  void on_resume(std::uint32_t size) override { resumed += size; }
  void on_data_reset_response(std::uint32_t) override { ++data_reset_responses; }

  void post_drained() {
    boost::asio::post(io_, [this, alive = alive_] {
      if (*alive) drained();
    });
  }

  std::vector<response_t> responses;
  std::vector<alarm_t> alarms;
  std::vector<std::uint64_t> get_data_responses;
  std::string data;
  std::vector<std::uint64_t> chunk_sizes;
  std::uint64_t appended = 0;
  std::uint64_t resumed = 0;
  int data_reset_responses = 0;
  bool auto_drain = true;
  std::function<void()> on_response;
  boost::signals2::signal<void()> drained;

 private:
  boost::asio::io_context& io_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class LocalJobTest : public ::testing::Test {
 protected:
  LocalJobTest() : driver(fx.io()) {
    fx.set_se_path(se_path());
    engine = stand_se_t::create(fx.io(), se_path());
  }

  ~LocalJobTest() override {
    for (auto& job : jobs) job.reset();
    engine->stop();
    if (cloud) cloud->stop();
    // Whatever the job was doing, its files are gone once the worker is idle.
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  }

  std::string se_path() const { return fx.path("se.sock"); }

  std::shared_ptr<bk_local_job_t> make_job() {
    auto job = fx.inventory().scanner->create_job(static_cast<std::uint32_t>(jobs.size() + 7));
    job->set_delegate(&driver);
    jobs.push_back(job);
    return job;
  }

  void use_cloud() {
    cloud = fake_cloud_t::create(fx.io(), fx.path("cloud.sock"));
    fx.set_cloud(true, fx.path("cloud.sock"));
  }

  // Appends `text` in chunks of `piece` bytes and waits until they are stored.
  void append(bk_local_job_t& job, const std::string& text, std::size_t piece = 70000) {
    const std::uint64_t target = job.data_size() + text.size();
    for (std::size_t at = 0; at < text.size(); at += piece)
      job.append_data(chunk_of(text.substr(at, piece)));
    ASSERT_TRUE(fx.run_until([&] { return job.data_size() == target; }));
  }

  bool wait_responses(std::size_t count) {
    return fx.run_until([&] { return driver.responses.size() >= count; });
  }
  bool wait_alarms(std::size_t count) {
    return fx.run_until([&] { return driver.alarms.size() >= count; });
  }

  // Reads the job's data back whole.
  std::string read_back(bk_local_job_t& job) {
    driver.data.clear();
    driver.chunk_sizes.clear();
    const std::size_t responses = driver.get_data_responses.size();
    job.get_data(65535);
    EXPECT_TRUE(fx.run_until([&] {
      return driver.get_data_responses.size() > responses &&
             driver.data.size() >= driver.get_data_responses.back();
    }));
    EXPECT_TRUE(fx.drain());
    for (const std::uint64_t size : driver.chunk_sizes) EXPECT_LE(size, 65535u);
    return driver.data;
  }

  bk_inventory_fixture_t fx;
  recording_driver_t driver;
  std::shared_ptr<stand_se_t> engine;
  std::shared_ptr<fake_cloud_t> cloud;
  std::vector<std::shared_ptr<bk_local_job_t>> jobs;
};

TEST_F(LocalJobTest, CleanFileIsScannedAndReadBackWhole) {
  auto job = make_job();
  EXPECT_EQ(job->describe().rfind("file \"" + fx.spool_dir() + "/", 0), 0u) << job->describe();
  const std::string data = pattern(200000, 'a');
  append(*job, data);
  EXPECT_EQ(driver.resumed, data.size());
  EXPECT_EQ(job->data_size(), data.size());

  job->scan(scan_options());
  EXPECT_EQ(job->scan_request_count(), 1u);
  ASSERT_TRUE(wait_responses(1));
  const auto& response = driver.responses[0];
  EXPECT_EQ(response.report.virus_size(), 0);
  EXPECT_EQ(response.report.size(), data.size());
  EXPECT_TRUE(response.hashes.sha1.empty() && response.hashes.sha256.empty());
  EXPECT_EQ(job->scan_request_count(), 0u);

  EXPECT_EQ(read_back(*job), data);
  EXPECT_EQ(driver.get_data_responses, std::vector<std::uint64_t>{data.size()});
  EXPECT_EQ(driver.chunk_sizes.size(), 4u);
  EXPECT_TRUE(driver.alarms.empty());
}

TEST_F(LocalJobTest, FileMovedByTheEngineIsFollowedOnlyInsideTheSpoolDirectory) {
  engine->options().delay = 60s;
  auto job = make_job();
  const std::string data = pattern(1000, 'n');
  append(*job, data);
  const std::string moved = fx.spool_dir() + "/moved-by-engine";
  const std::string outside = fx.path("outside");
  { std::ofstream(outside.c_str()) << "not ours"; }

  // The engine moved the file within the spool directory: the job follows it.
  job->scan(scan_options());
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 1; }));
  boost::filesystem::rename(job->scan_path(), moved);
  vl::ScanReport report;
  report.set_object("");
  report.set_new_path(moved);
  job->on_scan_report(report);
  ASSERT_EQ(driver.responses.size(), 1u);
  EXPECT_EQ(job->scan_path(), moved);
  EXPECT_EQ(read_back(*job), data);

  // A path elsewhere is not taken: the job would remove that file at its end.
  job->scan(scan_options());
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 2; }));
  report.set_new_path(outside);
  job->on_scan_report(report);
  ASSERT_EQ(driver.responses.size(), 2u);
  EXPECT_EQ(job->scan_path(), moved);

  jobs.clear();
  job.reset();
  EXPECT_TRUE(fx.drain());
  EXPECT_FALSE(boost::filesystem::exists(moved));
  EXPECT_TRUE(boost::filesystem::exists(outside));
}

TEST_F(LocalJobTest, JobWithoutDataScansAnEmptyFileOnceSynced) {
  auto job = make_job();
  job->scan(scan_options());
  job->scan(scan_options());
  ASSERT_TRUE(wait_responses(2));
  EXPECT_EQ(driver.responses[0].report.size(), 0u);
  EXPECT_EQ(engine->serials().size(), 2u);

  job->get_data(65535);
  ASSERT_TRUE(fx.run_until([&] { return !driver.get_data_responses.empty(); }));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.get_data_responses, std::vector<std::uint64_t>{0});
  EXPECT_TRUE(driver.chunk_sizes.empty());
}

TEST_F(LocalJobTest, TestFileIsFoundWithTheDigestsAsked) {
  auto job = make_job();
  const std::string data = "head " + test_virus_text() + " tail";
  append(*job, data);

  job->scan(scan_options(false, {bk::SHA1, bk::SHA256}));
  job->scan(scan_options(false, {bk::SHA256}));
  ASSERT_TRUE(wait_responses(2));
  const auto& both = driver.responses[0];
  ASSERT_EQ(both.report.virus_size(), 1);
  EXPECT_EQ(both.report.virus(0).name(), test_virus_name());
  EXPECT_FALSE(both.report.cloud());
  EXPECT_EQ(both.hashes.sha1, digest_text_of(data, EVP_sha1()));
  EXPECT_EQ(both.hashes.sha256, digest_text_of(data, EVP_sha256()));

  const auto& only_sha256 = driver.responses[1];
  EXPECT_TRUE(only_sha256.hashes.sha1.empty());
  EXPECT_EQ(only_sha256.hashes.sha256, digest_text_of(data, EVP_sha256()));
}

TEST_F(LocalJobTest, CureRewritesTheSpooledFileAndReadBackGivesTheCuredBytes) {
  auto job = make_job();
  const std::string data = "head-" + test_virus_text() + "-tail";
  append(*job, data);
  // A driver that reads back as soon as it hears the answer still gets the cured
  // file whole, although its size changed under the job.
  driver.on_response = [&] { job->get_data(65535); };
  job->scan(scan_options(true, {bk::SHA1}));
  ASSERT_TRUE(wait_responses(1));
  const auto& response = driver.responses[0];
  EXPECT_TRUE(response.report.cured());
  ASSERT_EQ(response.report.virus_size(), 1);
  // The digests are of the data as it was sent.
  EXPECT_EQ(response.hashes.sha1, digest_text_of(data, EVP_sha1()));

  ASSERT_TRUE(fx.run_until([&] { return driver.data.size() >= 10; }));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.get_data_responses, std::vector<std::uint64_t>{10});
  EXPECT_EQ(driver.data, "head--tail");
  EXPECT_EQ(job->data_size(), 10u);

  // The cure rewrote the file: nothing more can be appended.
  job->append_data(chunk_of("more"));
  ASSERT_TRUE(wait_alarms(1));
  EXPECT_EQ(code_of(driver.alarms[0].error), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_NE(exception_ptr_text(driver.alarms[0].error).find("Append after cure request"),
            std::string::npos);
  EXPECT_FALSE(driver.alarms[0].soft);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(job->data_size(), 10u);
  EXPECT_EQ(driver.alarms.size(), 1u);
}

TEST_F(LocalJobTest, CloudVerdictAnswersBeforeASlowEngine) {
  use_cloud();
  const std::string data = pattern(5000, 'c');
  cloud->bad.insert(digest_text_of(data, EVP_sha1()));
  engine->options().delay = 60s;
  auto job = make_job();
  append(*job, data);

  job->scan(scan_options());
  ASSERT_TRUE(wait_responses(1));
  const auto& response = driver.responses[0];
  EXPECT_TRUE(response.report.cloud());
  ASSERT_EQ(response.report.virus_size(), 1);
  EXPECT_EQ(response.report.virus(0).name(), "Cloud.Threat");
  // With the cloud on, the SHA-1 comes along.
  EXPECT_EQ(response.hashes.sha1, digest_text_of(data, EVP_sha1()));
  EXPECT_EQ(job->scan_request_count(), 0u);
}

TEST_F(LocalJobTest, CureWaitsForTheEngineAndFlagsAThreatOnlyTheCloudKnows) {
  use_cloud();
  const std::string data = pattern(3000, 'd');
  cloud->bad.insert(digest_text_of(data, EVP_sha1()));
  // The cloud's verdict takes part only when it comes before the engine's report.
  engine->options().delay = 300ms;
  auto job = make_job();
  append(*job, data);

  job->scan(scan_options(true));
  ASSERT_TRUE(wait_responses(1));
  const auto& report = driver.responses[0].report;
  EXPECT_TRUE(report.cloud());
  EXPECT_EQ(report.error(), vl::SE_CAN_NOT_BE_CURED);
  EXPECT_EQ(engine->serials().size(), 1u);
}

TEST_F(LocalJobTest, ThreatHashIsAnsweredWhenTheCloudIsUnavailable) {
  // The cloud is on, but its daemon cannot be found: every check is refused.
  fx.set_cloud(true, std::string());
  auto job = make_job();
  const std::string data = pattern(4000, 'e');
  append(*job, data);

  for (int i = 0; i < 3; ++i) job->scan(scan_options(false, {bk::SHA1, bk::SHA256}));
  ASSERT_TRUE(wait_responses(3));
  for (const auto& response : driver.responses) {
    EXPECT_FALSE(response.report.cloud());
    EXPECT_EQ(response.hashes.sha1, digest_text_of(data, EVP_sha1()));
    EXPECT_EQ(response.hashes.sha256, digest_text_of(data, EVP_sha256()));
  }
  EXPECT_TRUE(driver.alarms.empty());
}

TEST_F(LocalJobTest, DigestsAfterTheEngineReportAnswerWithoutWaitingForTheCloud) {
  use_cloud();
  // The cloud never answers by itself: an answer that waited for it would come
  // only after its timeout.
  cloud->hold = true;
  auto job = make_job();
  append(*job, pattern(2000, 'f'));

  job->scan(scan_options(false, {bk::SHA1}));
  ASSERT_TRUE(fx.run_until([&] { return driver.responses.size() == 1; }, 2000ms));
  EXPECT_FALSE(driver.responses[0].report.cloud());
  EXPECT_EQ(driver.responses[0].hashes.sha1.size(), 40u);
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 1; }));

  // The first request's verdict comes while the second one waits for the engine.
  engine->options().delay = 300ms;
  job->scan(scan_options(false, {bk::SHA1}));
  ASSERT_TRUE(fx.run_until([&] { return cloud->checks.size() == 2; }));
  cloud->answer(0, true);
  ASSERT_TRUE(wait_responses(2));
  EXPECT_FALSE(driver.responses[1].report.cloud());
  EXPECT_EQ(driver.responses[1].report.virus_size(), 0);
  cloud->answer(1, false);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.responses.size(), 2u);
}

TEST_F(LocalJobTest, DigestsOfAnEarlierRequestDoNotCountForALaterOne) {
  use_cloud();
  auto job = make_job();
  append(*job, pattern(2000, 'm'));
  // Both digest threads are busy for a while: the first request's digests come
  // after the engine answered it, while the second request waits for its own.
  const std::string busy = fx.path("busy");
  { std::ofstream(busy.c_str()); }
  boost::filesystem::resize_file(busy, 32 << 20);
  int busy_done = 0;
  for (int i = 0; i < 2; ++i)
    fx.inventory().digest_pool->hash_file(
        true, true, busy, [&](std::exception_ptr, const bk_hash_values_t&) { ++busy_done; });
  driver.on_response = [&] { engine->options().delay = 1500ms; };
  job->scan(scan_options());
  // A cure asks the engine only once its digests are there.
  job->scan(scan_options(true));
  ASSERT_TRUE(wait_responses(2));
  EXPECT_TRUE(fx.run_until([&] { return busy_done == 2; }));
  EXPECT_TRUE(fx.drain());
  // One engine request and one cloud check for the cure, none from the stale digests.
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(cloud->checks.size(), 1u);
  EXPECT_EQ(driver.responses.size(), 2u);
  EXPECT_TRUE(driver.alarms.empty());
}

TEST_F(LocalJobTest, DataAppendedWhileScansArePendingIsMergedInOrder) {
  engine->options().delay = 100ms;
  auto job = make_job();
  const std::string a = pattern(100000, 'A'), b = pattern(70001, 'B'), c = pattern(3, 'C');
  append(*job, a);
  job->scan(scan_options());
  append(*job, b);
  job->scan(scan_options());
  append(*job, c);
  // The main file and one patch per scan request queued before the data.
  EXPECT_EQ(fx.spool_files().size(), 3u);
  EXPECT_EQ(job->data_size(), a.size() + b.size() + c.size());

  ASSERT_TRUE(wait_responses(2));
  // Each request covers the data sent before it.
  EXPECT_EQ(driver.responses[0].report.size(), a.size());
  EXPECT_EQ(driver.responses[1].report.size(), a.size() + b.size());
  EXPECT_EQ(read_back(*job), a + b + c);
  const auto files = fx.spool_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].find(".patch"), std::string::npos);
  EXPECT_EQ(job->data_size(), a.size() + b.size() + c.size());
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
  ASSERT_TRUE(wait_responses(2));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.responses.size(), 2u);
  EXPECT_EQ(engine->serials().size(), 2u);
  EXPECT_EQ(driver.responses[1].report.size(), a.size() + b.size());
  EXPECT_EQ(job->scan_request_count(), 0u);

  job->scan(scan_options());
  ASSERT_TRUE(wait_responses(3));
  EXPECT_TRUE(driver.alarms.empty());
}

TEST_F(LocalJobTest, DataResetStopsTheReadingAndTheNextOneStartsOver) {
  auto job = make_job();
  const std::string data = pattern(300000, 'i');
  append(*job, data);

  driver.auto_drain = false;
  job->get_data(65535);
  ASSERT_TRUE(fx.run_until([&] { return !driver.get_data_responses.empty(); }));
  EXPECT_EQ(driver.get_data_responses[0], data.size());
  driver.drained();
  ASSERT_TRUE(fx.run_until([&] { return driver.chunk_sizes.size() == 1; }));

  // Another GET_DATA while this one runs is a protocol violation.
  auto second = make_job();
  driver.alarms.clear();
  second->get_data(65535);
  second->get_data(65535);
  ASSERT_TRUE(wait_alarms(1));
  EXPECT_EQ(code_of(driver.alarms[0].error), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_NE(exception_ptr_text(driver.alarms[0].error)
                .find("previous GET_DATA request is not handled yet"),
            std::string::npos);
  EXPECT_FALSE(driver.alarms[0].soft);

  job->data_reset();
  ASSERT_TRUE(fx.run_until([&] { return driver.data_reset_responses == 1; }));
  driver.drained();
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.chunk_sizes.size(), 1u);

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
  auto probe = make_job();
  probe->scan(scan_options());
  ASSERT_TRUE(wait_responses(1));
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.responses.size(), 1u);
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
  ASSERT_TRUE(fx.run_until([&] { return driver.get_data_responses.size() == 1; }));
  driver.drained();
  ASSERT_TRUE(fx.run_until([&] { return driver.chunk_sizes.size() == 1; }));
  EXPECT_GE(fx.spool_files().size(), 2u);

  jobs.clear();
  scanned.reset();
  probe.reset();
  appending.reset();
  reading.reset();
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  EXPECT_TRUE(driver.alarms.empty());
}

TEST_F(LocalJobTest, EngineLinkDroppedMidScanFailsOnlyThatRequest) {
  engine->options().delay = 60s;
  auto job = make_job();
  append(*job, pattern(1000, 'k'));
  job->scan(scan_options());
  job->scan(scan_options());
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 1; }));

  engine->stop();
  engine = stand_se_t::create(fx.io(), se_path());
  ASSERT_TRUE(wait_alarms(1));
  EXPECT_EQ(code_of(driver.alarms[0].error), vl::EC_LINK_DISCONNECTED);
  EXPECT_TRUE(driver.alarms[0].soft);

  // The job stays usable: the request queued behind goes to the new engine link.
  ASSERT_TRUE(wait_responses(1));
  EXPECT_EQ(driver.responses[0].report.size(), 1000u);
  EXPECT_EQ(job->scan_request_count(), 0u);
  EXPECT_EQ(driver.alarms.size(), 1u);

  // A cure cut off the same way may have left the file half cured: a hard failure.
  engine->options().delay = 60s;
  job->scan(scan_options(true));
  ASSERT_TRUE(fx.run_until([&] { return engine->serials().size() == 2; }));
  engine->stop();
  ASSERT_TRUE(wait_alarms(2));
  EXPECT_EQ(code_of(driver.alarms[1].error), vl::EC_LINK_DISCONNECTED);
  EXPECT_FALSE(driver.alarms[1].soft);
}

TEST_F(LocalJobTest, RequestFailsWhenTheScannerIsGone) {
  auto job = make_job();
  append(*job, pattern(100, 'l'));
  fx.drop_scanner();
  job->scan(scan_options());
  ASSERT_TRUE(wait_alarms(1));
  EXPECT_EQ(code_of(driver.alarms[0].error), vl::EC_NO_SCAN_ENGINE);
  EXPECT_TRUE(driver.alarms[0].soft);
  EXPECT_EQ(job->scan_request_count(), 0u);
}

TEST_F(LocalJobTest, WriteFailureFailsTheJob) {
  auto job = make_job();
  boost::filesystem::remove(fx.spool_dir());
  job->append_data(chunk_of("data"));
  job->append_data(chunk_of("more"));
  ASSERT_TRUE(wait_alarms(1));
  EXPECT_FALSE(driver.alarms[0].soft);
  EXPECT_NE(exception_ptr_text(driver.alarms[0].error).find("open"), std::string::npos);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(driver.alarms.size(), 1u);
  EXPECT_EQ(driver.appended, 0u);
  boost::filesystem::create_directory(fx.spool_dir());
}

}  // namespace
