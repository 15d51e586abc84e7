#include "jobs/master_job.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"
#include "tests/support/recording_log.h"

// Hands the pause's handler a failure no real timer can be made to give.
class bk_master_job_test_access_t {
 public:
  static void fail_pause(bk_master_job_t& job, const boost::system::error_code& error) {
    job.on_job_timer(error);
  }
};

namespace {

using kind_t = bk_recording_delegate_t::kind_t;

bk::ScanOptions options(bool cure = false, uint64_t min = 0, uint64_t max = UINT64_MAX) {
  bk::ScanOptions options;
  if (cure) options.set_cure(true);
  if (min) options.set_min_size_to_scan(min);
  if (max != UINT64_MAX) options.set_max_size_to_scan(max);
  return options;
}

vl::ScanReport report_named(const std::string& object) {
  vl::ScanReport report;
  report.set_object(object);
  return report;
}

// The rig's job made anew, on the rig's cluster with `services` changed by `change`.
template <class Change>
void remake_job(bk_master_rig_t& rig, Change change) {
  auto services = rig.cluster.services(rig.io, std::chrono::milliseconds(1));
  change(services);
  rig.job = std::make_shared<bk_master_job_t>(unused_inventory(), 7, services);
  rig.job->set_delegate(&rig.client);
  // What the first job said as it went.
  rig.client.events.clear();
}

std::string bytes(size_t n) {
  std::string data(n, ' ');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('a' + i % 23);
  return data;
}

TEST(MasterJob, FinalPlacementErrorFailsTheJobAndReturnsTheWindow) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NO_SCAN_ENGINE);
  rig.send("data");
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.alarm().soft);
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, rig.alarm().code());
  // The client dropped the job; its destructor returned the bytes and ended the pause.
  EXPECT_EQ(nullptr, rig.job);
  EXPECT_EQ(4u, rig.client.acknowledged());
  EXPECT_EQ(kind_t::kRedirectEnd, rig.client.events.back().kind);
}

TEST(MasterJob, ExecutorThatCannotBeMadeFailsOnlyThatJob) {
  bk_master_rig_t rig;
  remake_job(rig, [](bk_master_job_t::services_t& services) {
    services.choose_node = [](uint32_t, const auto&, bool) -> std::shared_ptr<bk_job_t> {
      throw std::runtime_error("no spool file name");
    };
  });
  // Thrown out of here, it would end the client's connection with all its jobs.
  rig.send("data");
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.alarm().soft);
  EXPECT_EQ("no spool file name", rig.alarm().text());
  EXPECT_EQ(nullptr, rig.job);
  EXPECT_EQ(4u, rig.client.acknowledged());
}

TEST(MasterJob, FailedPauseIsLoggedAndThePlacementTriedAtOnce) {
  auto log = std::make_shared<recording_log_t>();
  install_log(log);
  bk_master_rig_t rig;
  remake_job(rig, [](bk_master_job_t::services_t& services) {
    services.redirect_pause = std::chrono::hours(1);
  });
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto peer = rig.node("Remote job 0x1", test_peer(2));
  rig.send("data");
  ASSERT_EQ(1u, rig.cluster.placements.size());
  bk_master_job_test_access_t::fail_pause(
      *rig.job, boost::system::error_code(EIO, boost::system::system_category()));
  EXPECT_TRUE(log->has_line("Error: " + rig.job->name() + ": Job timer: Input/output error"));
  EXPECT_EQ(2u, rig.cluster.placements.size());
  ASSERT_TRUE(rig.store_all(*peer, 4));
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
}

TEST(MasterJob, NotReadyWaitsAndPlacesAgainWithEverythingSentMeanwhile) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto peer = rig.node("Remote job 0x1", test_peer(2));
  rig.send("first ");
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectBegin));
  rig.send("second");
  rig.job->scan(options());
  ASSERT_TRUE(rig.store_all(*peer, 12));
  EXPECT_EQ(3u, rig.cluster.placements.size());
  EXPECT_EQ("first second", peer->stored);
  // The scan waited for the data it covers.
  EXPECT_EQ(std::vector<uint64_t>{12}, peer->scanned_at);
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(12u, rig.client.acknowledged());
}

TEST(MasterJob, GivesUpAfterThirtyPlacementsWithTheFirstError) {
  bk_master_rig_t rig;
  rig.cluster.exhausted = vl::EC_NOT_READY;
  rig.send("data");
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kAlarm) == 1; }));
  EXPECT_EQ(30u, rig.cluster.placements.size());
  EXPECT_EQ(vl::EC_NOT_READY, rig.alarm().code());
}

TEST(MasterJob, ResetSilencesTheExecutorAndStopsTheWait) {
  {
    bk_master_rig_t rig;
    auto local = rig.node("Local job 0x1");
    rig.send("data");
    rig.job->scan(options());
    rig.job->reset();
    local->answer_scan();
    local->acknowledge_all();
    local->alarm(vl::EC_NO_SCAN_ENGINE);
    EXPECT_TRUE(rig.client.events.empty());
    rig.job.reset();
    EXPECT_EQ(4u, rig.client.acknowledged());
  }
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.node("Local job 0x1");
  rig.send("data");
  rig.job->reset();
  rig.poll();
  EXPECT_EQ(1u, rig.cluster.placements.size());
}

TEST(MasterJob, RedirectReplaysStoredAndKeptDataInOrderWithoutDuplicates) {
  bk_master_rig_t rig;
  auto first = rig.node("Remote job 0x1", test_peer(2));
  auto second = rig.node("Remote job 0x2", test_peer(3));
  const std::string data = bytes(1200);
  rig.send(data.substr(0, 400));
  rig.send(data.substr(400, 400));
  rig.job->scan(options());
  rig.send(data.substr(800, 400));
  // The first node acknowledged 900 bytes but holds 1000; its engine fails.
  first->acknowledge(900);
  first->read_back = data.substr(0, 1000);
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_EQ(2u, rig.cluster.placements.size());
  EXPECT_EQ(std::set<bk_master_job_t::endpoint_t>{test_peer(2)},
            rig.cluster.placements[1].excluded);
  EXPECT_EQ(std::vector<bk_fake_cluster_t::node_t>{test_peer(2)}, rig.cluster.failures);
  // A chunk that comes during the replay joins its end.
  rig.send("tail");
  ASSERT_TRUE(rig.store_all(*second, 1204));
  EXPECT_EQ(data + "tail", second->stored);
  // The scan asked after 800 bytes is asked of the new node at that point.
  EXPECT_EQ(std::vector<uint64_t>{800}, second->scanned_at);
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(1204u, rig.client.acknowledged());
  second->answer_scan();
  EXPECT_EQ(1u, rig.count(kind_t::kScanResponse));
  // Running normally again: new data goes straight to the new node.
  rig.send("more");
  EXPECT_EQ(data + "tailmore", second->stored);
}

TEST(MasterJob, SecondFailureDuringReplayRestartsItIntoTheNextNode) {
  bk_master_rig_t rig;
  auto first = rig.node("Remote job 0x1", test_peer(2));
  auto second = rig.node("Remote job 0x2", test_peer(3));
  auto third = rig.node("Remote job 0x3", test_peer(4));
  rig.send("0123456789");
  first->acknowledge(4);
  // The second node drops out on the first chunk it gets.
  second->on_append = [&] {
    second->on_append = nullptr;
    second->alarm(vl::EC_LINK_DISCONNECTED, false, "second");
  };
  first->alarm(vl::EC_NO_SCAN_ENGINE, true, "first");
  ASSERT_TRUE(rig.store_all(*third, 10));
  EXPECT_EQ("0123456789", third->stored);
  EXPECT_EQ(2u, first->data_resets);
  EXPECT_EQ(10u, rig.client.acknowledged());
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
  // A node that holds data nobody else has and fails hard ends the job with its error.
  third->alarm(vl::EC_LINK_DISCONNECTED, false, "third");
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_NE(std::string::npos, rig.alarm().text().find("third"));
}

TEST(MasterJob, JobThatCannotMoveEndsWithTheRightError) {
  {
    // The replay's source fails too: the first error counts.
    bk_master_rig_t rig;
    auto first = rig.node("Local job 0x1");
    rig.node("Remote job 0x2", test_peer(3));
    rig.send("data");
    first->acknowledge(2);
    first->alarm(vl::EC_NO_SCAN_ENGINE, true, "first");
    first->alarm(vl::EC_DATA_CORRUPTED, false, "source gone");
    ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
    EXPECT_NE(std::string::npos, rig.alarm().text().find("first"));
  }
  {
    // Once two nodes failed, the placement's own error replaces it.
    bk_master_rig_t rig;
    auto first = rig.node("Remote job 0x1", test_peer(2));
    auto second = rig.node("Remote job 0x2", test_peer(3));
    rig.send("data");
    first->alarm(vl::EC_LINK_DISCONNECTED, false, "first");
    second->alarm(vl::EC_LINK_DISCONNECTED, false, "second");
    ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
    EXPECT_EQ(vl::EC_UNEXPECTED_ERROR, rig.alarm().code());
  }
  // A hard client with nowhere else to go gets the executor's error as final.
  bk_master_rig_t rig;
  auto local = rig.node("Local job 0x1");
  rig.send("abc");
  local->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.alarm().soft);
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, rig.alarm().code());
  EXPECT_TRUE(rig.cluster.placements.at(1).never_local);
}

TEST(MasterJob, ExecutorBreakingTheProtocolIsTreatedAsFailed) {
  {
    // An answer nobody asked for: moved elsewhere.
    bk_master_rig_t rig;
    auto first = rig.node("Local job 0x1");
    auto second = rig.node("Remote job 0x1", test_peer(2));
    rig.send("data");
    first->answer_scan();
    EXPECT_EQ(0u, rig.count(kind_t::kScanResponse));
    EXPECT_EQ(1u, rig.cluster.failures.size());
    ASSERT_TRUE(rig.store_all(*second, 4));
  }
  // Acknowledging more than was sent: the data cannot be trusted.
  bk_master_rig_t rig;
  auto local = rig.node("Local job 0x1");
  rig.send("abc");
  local->acknowledge(4);
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_EQ(vl::EC_DATA_CORRUPTED, rig.alarm().code());
}

TEST(MasterJob, ScanWithoutDataIsAnsweredAndACureForbidsData) {
  bk_master_rig_t rig;
  rig.job->scan(options(true));
  rig.poll();
  ASSERT_EQ(1u, rig.count(kind_t::kScanResponse));
  EXPECT_FALSE(rig.client.of(kind_t::kScanResponse)[0].report.has_error());
  rig.send("late");
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_NE(std::string::npos, rig.alarm().text().find("Data chunk after cure"));
  // The refused bytes return to the client's window when the job goes.
  rig.job.reset();
  EXPECT_EQ(4u, rig.client.acknowledged());
}

TEST(MasterJob, OwnAnswersWaitForTheExecutorsEarlierOnes) {
  bk_master_rig_t rig;
  auto local = rig.node("Local job 0x1");
  rig.send(bytes(100));
  rig.job->scan(options());
  rig.job->scan(options(false, 101));
  rig.job->scan(options());
  EXPECT_EQ(2u, local->scans.size());
  rig.poll();
  EXPECT_EQ(0u, rig.count(kind_t::kScanResponse));
  local->answer_scan(report_named("one"));
  local->answer_scan(report_named("three"));
  rig.poll();
  const auto answers = rig.client.of(kind_t::kScanResponse);
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ("one", answers[0].report.object());
  EXPECT_EQ("SHA1", answers[0].hashes.sha1);
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, answers[1].report.error());
  EXPECT_EQ("three", answers[2].report.object());
  EXPECT_EQ(0u, rig.job->scan_request_count());
  // Only the executor's answers count for the node.
  EXPECT_EQ(2u, rig.cluster.successes.size());
}

TEST(MasterJob, RescanAfterAnsweredCureScansTheCuredData) {
  bk_master_rig_t rig;
  auto local = rig.node("Local job 0x1");
  rig.send("infected");
  local->acknowledge_all();
  rig.job->scan(options(true));
  vl::ScanReport cured = report_named("cured");
  cured.set_cured(true);
  local->answer_scan(cured);
  // The cured size is unknown: the limit is left to the executor.
  rig.job->scan(options(false, 1));
  rig.poll();
  EXPECT_EQ(2u, local->scans.size());
  local->answer_scan(report_named("clean"));
  // The read-back tells the cured size; limits apply to it again.
  local->read_back = "ok";
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("ok", rig.client.read_back());
  rig.job->scan(options(false, 3));
  rig.poll();
  ASSERT_EQ(3u, rig.count(kind_t::kScanResponse));
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, rig.client.of(kind_t::kScanResponse)[2].report.error());
}

TEST(MasterJob, GetDataWithoutDataIsAnsweredWithSizeZeroAndEnds) {
  bk_master_rig_t rig;
  for (int i = 0; i < 2; ++i) {
    rig.job->get_data(65535);
    rig.poll();
  }
  EXPECT_EQ((std::vector<uint64_t>{0, 0}), rig.client.sizes(kind_t::kGetDataResponse));
}

TEST(MasterJob, GetDataWhileWaitingForTheFirstNodeIsAnsweredOncePlaced) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto local = rig.node("Local job 0x1");
  rig.send("abc");
  rig.send("def");
  rig.job->get_data(65535);
  rig.send("ghi");
  ASSERT_TRUE(rig.run_until([&] {
    local->acknowledge_all();
    return !local->get_data_calls.empty();
  }));
  // Asked after the data before it, before the data after it.
  EXPECT_EQ("abcdef", local->stored);
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("abcdef", rig.client.read_back());
  ASSERT_TRUE(rig.store_all(*local, 9));
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
}

TEST(MasterJob, DataAfterSoftAlarmEndsTheJob) {
  bk_master_rig_t rig(true);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.send("abc");
  EXPECT_TRUE(rig.alarm().soft);
  rig.send("def");
  ASSERT_EQ(2u, rig.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.alarm(1).soft);
  EXPECT_NE(std::string::npos, rig.alarm(1).text().find("Data chunk after soft error"));
  EXPECT_EQ(1u, rig.cluster.placements.size());
  rig.job.reset();
  EXPECT_EQ(6u, rig.client.acknowledged());
}

TEST(MasterJob, SoftClientWhoseExecutorFailsReadsItsDataBackFromIt) {
  bk_master_rig_t rig(true);
  auto local = rig.node("Local job 0x1");
  rig.send("abcdef");
  local->acknowledge(2);
  rig.job->scan(options());
  local->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_TRUE(rig.alarm().soft);
  // Unacknowledged bytes come back at once; a late answer of the failed request is dropped.
  EXPECT_EQ(6u, rig.client.acknowledged());
  local->answer_scan();
  EXPECT_EQ(0u, rig.count(kind_t::kScanResponse));
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("abcdef", rig.client.read_back());
  EXPECT_EQ(1u, rig.count(kind_t::kAlarm));
}

TEST(MasterJob, SoftAlarmAfterAFailedReplayEndsThePauseAndKeepsEveryChunk) {
  bk_master_rig_t rig(true);
  auto first = rig.node("Remote job 0x1", test_peer(2));
  auto second = rig.node("Remote job 0x2", test_peer(3));
  rig.send("abc");
  first->acknowledge(1);
  first->alarm(vl::EC_LINK_DISCONNECTED, true);
  rig.send("def");
  second->alarm(vl::EC_LINK_DISCONNECTED);
  ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
  EXPECT_TRUE(rig.alarm().soft);
  // No grant of the connection waits for this job any more.
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(6u, rig.client.acknowledged());
  // The chunk sent during the replay reached the first node too.
  EXPECT_EQ("abcdef", first->stored);
}

}  // namespace
