#include "jobs/master_job.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"

namespace {

using event_t = bk_recording_delegate_t::event_t;
using kind_t = bk_recording_delegate_t::kind_t;

bk::ScanOptions options(bool cure = false) {
  bk::ScanOptions options;
  if (cure) options.set_cure(true);
  return options;
}

vl::ScanReport report_named(const std::string& object) {
  vl::ScanReport report;
  report.set_object(object);
  return report;
}

std::string bytes(size_t n, char first = 'a') {
  std::string data(n, ' ');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(first + i % 23);
  return data;
}

// --- Placement -----------------------------------------------------------------

TEST(MasterJob, FirstChunkPlacesTheJobAndAcknowledgementsReachTheClient) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  EXPECT_EQ(0u, rig.job->name().find("Job 0x"));
  EXPECT_EQ("", rig.job->describe());

  rig.send("hello");
  rig.send(" world");
  ASSERT_EQ(1u, rig.cluster.placements.size());
  EXPECT_TRUE(rig.cluster.placements[0].excluded.empty());
  EXPECT_FALSE(rig.cluster.placements[0].never_local);
  EXPECT_NE(nullptr, local->get_delegate());
  EXPECT_EQ("hello world", local->stored);
  // The client's chunk objects reach the executor unchanged.
  EXPECT_EQ(5u, local->chunks[0]->size());
  EXPECT_EQ("Local job 0x1, fake", rig.job->describe());
  EXPECT_EQ(11u, rig.job->data_size());

  local->acknowledge(3);
  local->acknowledge(8);
  EXPECT_EQ(11u, rig.client.acknowledged());
  rig.job->scan(options());
  local->answer_scan(report_named("x"));
  ASSERT_EQ(1u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ("SHA1", rig.client.of(kind_t::kScanResponse)[0].hashes.sha1);
  EXPECT_EQ(1u, rig.cluster.successes.size());
  EXPECT_EQ(0u, rig.cluster.failures.size());
}

TEST(MasterJob, FinalPlacementErrorFailsTheJobAtOnce) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NO_SCAN_ENGINE);
  rig.send("data");
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  const event_t alarm = rig.client.of(kind_t::kAlarm)[0];
  EXPECT_FALSE(alarm.soft);
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, error_code_of(alarm.error));
  // The client dropped the job; its destructor returned the window and ended any
  // pause of the connection.
  EXPECT_EQ(nullptr, rig.job);
  EXPECT_EQ(4u, rig.client.acknowledged());
  EXPECT_EQ(kind_t::kRedirectEnd, rig.client.events.back().kind);
}

TEST(MasterJob, NotReadyWaitsAndPlacesAgainWithEverythingSentMeanwhile) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto peer = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));

  rig.send("first ");
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectBegin));
  rig.send("second");
  rig.job->scan(options());
  ASSERT_TRUE(rig.run_until([&] { return !peer->stored.empty(); }));
  EXPECT_EQ(3u, rig.cluster.placements.size());
  EXPECT_EQ(0u, rig.client.count(kind_t::kRedirectEnd));
  ASSERT_TRUE(rig.store_all(*peer, 12));
  EXPECT_EQ("first second", peer->stored);
  // The scan waited for the data it covers.
  ASSERT_EQ(1u, peer->scanned_at.size());
  EXPECT_EQ(12u, peer->scanned_at[0]);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(12u, rig.client.acknowledged());
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));
  peer->answer_scan();
  EXPECT_EQ(1u, rig.client.count(kind_t::kScanResponse));
}

TEST(MasterJob, GivesUpAfterThirtyPlacementsWithTheFirstError) {
  bk_master_rig_t rig;
  rig.cluster.exhausted = vl::EC_NOT_READY;
  rig.send("data");
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kAlarm) == 1; }));
  EXPECT_EQ(30u, rig.cluster.placements.size());
  const event_t alarm = rig.client.of(kind_t::kAlarm)[0];
  EXPECT_EQ(vl::EC_NOT_READY, error_code_of(alarm.error));
  EXPECT_FALSE(alarm.soft);
  EXPECT_EQ(nullptr, rig.job);
}

TEST(MasterJob, ExecutorLetGoAnswersNobody) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
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

TEST(MasterJob, ResetStopsTheWaitAndEveryLaterCallback) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("data");
  rig.job->scan(options());
  rig.job->reset();
  rig.poll();
  EXPECT_EQ(1u, rig.cluster.placements.size());
  EXPECT_EQ(0u, rig.client.count(kind_t::kScanResponse));
  rig.job.reset();
  EXPECT_EQ(4u, rig.client.acknowledged());
  EXPECT_EQ(kind_t::kRedirectEnd, rig.client.events.back().kind);
}

// --- Redirect ------------------------------------------------------------------

TEST(MasterJob, RedirectReplaysStoredAndKeptDataInOrderWithoutDuplicates) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
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
  ASSERT_EQ(1u, rig.cluster.failures.size());
  EXPECT_EQ(test_peer(2), rig.cluster.failures[0]);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectBegin));

  // A chunk that comes during the replay joins its end.
  rig.send("tail");
  ASSERT_TRUE(rig.store_all(*second, 1204));
  EXPECT_EQ(data + "tail", second->stored);
  EXPECT_EQ(1u, first->data_resets);
  ASSERT_EQ(1u, first->get_data_calls.size());
  EXPECT_EQ(65535u, first->get_data_calls[0]);
  // The scan asked after 800 bytes is asked of the new node at that point.
  ASSERT_EQ(1u, second->scanned_at.size());
  EXPECT_EQ(800u, second->scanned_at[0]);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(1204u, rig.client.acknowledged());
  second->answer_scan();
  EXPECT_EQ(1u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));

  // Running normally again: new data goes straight to the new node.
  rig.send("more");
  EXPECT_EQ(data + "tailmore", second->stored);
  second->acknowledge(4);
  EXPECT_EQ(1208u, rig.client.acknowledged());
}

TEST(MasterJob, SecondFailureDuringReplayRestartsItIntoTheNextNode) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
  auto third = rig.cluster.add_node(rig.io, "Remote job 0x3", test_peer(4));
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
  EXPECT_EQ(3u, rig.cluster.placements.size());
  EXPECT_EQ(2u, first->data_resets);
  EXPECT_EQ(10u, rig.client.acknowledged());
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));

  // A node that holds data nobody else has and fails hard ends the job with its
  // own error.
  third->alarm(vl::EC_LINK_DISCONNECTED, false, "third");
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_NE(std::string::npos, error_text_of(rig.client.of(kind_t::kAlarm)[0].error).find("third"));
}

TEST(MasterJob, ReplayWhoseSourceFailsEndsTheJobWithTheFirstError) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
  rig.send("data");
  first->acknowledge(2);
  first->alarm(vl::EC_NO_SCAN_ENGINE, true, "first");
  first->alarm(vl::EC_DATA_CORRUPTED, false, "source gone");
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  const event_t alarm = rig.client.of(kind_t::kAlarm)[0];
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, error_code_of(alarm.error));
  EXPECT_NE(std::string::npos, error_text_of(alarm.error).find("first"));
  EXPECT_EQ((std::vector<bk_fake_cluster_t::node_t>{std::nullopt, std::nullopt}),
            rig.cluster.failures);
}

TEST(MasterJob, PlacementErrorReplacesTheFirstOnceTwoNodesFailed) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
  rig.send("data");
  first->alarm(vl::EC_LINK_DISCONNECTED, false, "first");
  second->alarm(vl::EC_LINK_DISCONNECTED, false, "second");
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_EQ(vl::EC_UNEXPECTED_ERROR, error_code_of(rig.client.of(kind_t::kAlarm)[0].error));
  EXPECT_EQ(3u, rig.cluster.placements.size());
}

TEST(MasterJob, AnswersOutOfOrderCountAsExecutorFailures) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  rig.send("data");
  first->answer_scan();
  EXPECT_EQ(0u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ(1u, rig.cluster.failures.size());
  ASSERT_EQ(2u, rig.cluster.placements.size());
  EXPECT_TRUE(rig.cluster.placements[1].never_local);
  ASSERT_TRUE(rig.store_all(*second, 4));
  EXPECT_EQ("data", second->stored);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));
}

// --- Acknowledgements ----------------------------------------------------------

TEST(MasterJob, AcknowledgementBeyondWhatWasSentEndsTheJobAsCorrupted) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("abc");
  local->acknowledge(4);
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_EQ(vl::EC_DATA_CORRUPTED, error_code_of(rig.client.of(kind_t::kAlarm)[0].error));
}

// --- Scans answered by the master ----------------------------------------------

TEST(MasterJob, ScanWithoutDataIsAnsweredLaterWithAnEmptyReport) {
  bk_master_rig_t rig;
  rig.job->scan(options());
  EXPECT_TRUE(rig.client.events.empty());
  rig.poll();
  ASSERT_EQ(1u, rig.client.count(kind_t::kScanResponse));
  const vl::ScanReport report = rig.client.of(kind_t::kScanResponse)[0].report;
  EXPECT_EQ("", report.object());
  EXPECT_FALSE(report.has_error());
  EXPECT_EQ(0, report.virus_size());
  EXPECT_TRUE(rig.cluster.placements.empty());

  // A cure before any data forbids data.
  rig.job->scan(options(true));
  rig.send("late");
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_EQ(vl::EC_PROTOCOL_VIOLATION, error_code_of(rig.client.of(kind_t::kAlarm)[0].error));
  EXPECT_NE(std::string::npos,
            error_text_of(rig.client.of(kind_t::kAlarm)[0].error).find("Data chunk after cure"));
  // The refused bytes return to the client's window when the job goes.
  rig.job.reset();
  EXPECT_EQ(4u, rig.client.acknowledged());
}

TEST(MasterJob, SizeLimitsAreAnsweredByTheMasterAndEqualSizesAreScanned) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send(bytes(100));
  bk::ScanOptions too_small;
  too_small.set_min_size_to_scan(101);
  bk::ScanOptions exact;
  exact.set_min_size_to_scan(100);
  exact.set_max_size_to_scan(100);
  bk::ScanOptions too_large;
  too_large.set_max_size_to_scan(99);

  rig.job->scan(too_small);
  rig.job->scan(exact);
  rig.job->scan(too_large);
  EXPECT_EQ(3u, rig.job->scan_request_count());
  EXPECT_EQ(1u, local->scans.size());
  rig.poll();
  ASSERT_EQ(1u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, rig.client.of(kind_t::kScanResponse)[0].report.error());

  local->answer_scan(report_named("scanned"));
  const auto answers = rig.client.of(kind_t::kScanResponse);
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ("scanned", answers[1].report.object());
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, answers[2].report.error());
  // Only the executor's answer counts for the node.
  EXPECT_EQ(1u, rig.cluster.successes.size());
}

TEST(MasterJob, OwnAnswersNeverOvertakeEarlierAnswers) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send(bytes(100));
  bk::ScanOptions too_large;
  too_large.set_max_size_to_scan(10);
  rig.job->scan(options());
  rig.job->scan(too_large);
  rig.job->scan(options());
  rig.poll();
  EXPECT_EQ(0u, rig.client.count(kind_t::kScanResponse));

  local->answer_scan(report_named("one"));
  local->answer_scan(report_named("three"));
  const auto answers = rig.client.of(kind_t::kScanResponse);
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ("one", answers[0].report.object());
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, answers[1].report.error());
  EXPECT_EQ("three", answers[2].report.object());
  rig.poll();
  EXPECT_EQ(3u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ(0u, rig.job->scan_request_count());
}

TEST(MasterJob, RescanAfterAnsweredCureScansTheCuredData) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("infected");
  local->acknowledge_all();
  rig.job->scan(options(true));
  vl::ScanReport cured = report_named("cured");
  cured.set_cured(true);
  local->answer_scan(cured);

  bk::ScanOptions again;
  again.set_min_size_to_scan(1);
  rig.job->scan(again);
  rig.poll();
  EXPECT_EQ(2u, local->scans.size());
  EXPECT_EQ(1u, rig.client.count(kind_t::kScanResponse));
  local->answer_scan(report_named("clean"));
  ASSERT_EQ(2u, rig.client.count(kind_t::kScanResponse));
  EXPECT_EQ("clean", rig.client.of(kind_t::kScanResponse)[1].report.object());

  // The read-back tells the cured size; limits apply to it again.
  local->read_back = "ok";
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  EXPECT_EQ(2u, rig.client.of(kind_t::kGetDataResponse)[0].size);
  rig.client.drained();
  EXPECT_EQ("ok", rig.client.read_back());
  bk::ScanOptions at_least_three;
  at_least_three.set_min_size_to_scan(3);
  rig.job->scan(at_least_three);
  rig.poll();
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, rig.client.of(kind_t::kScanResponse)[2].report.error());
}

// --- Read-back -----------------------------------------------------------------

TEST(MasterJob, GetDataIsPassedOnAndASecondOneWhileRunningIsRefused) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  const std::string data = bytes(150000);
  rig.send(data);
  rig.job->get_data(65535);
  ASSERT_EQ(1u, local->get_data_calls.size());
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  EXPECT_EQ(150000u, rig.client.of(kind_t::kGetDataResponse)[0].size);
  rig.client.drained();
  rig.job->get_data(65535);
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_NE(std::string::npos, error_text_of(rig.client.of(kind_t::kAlarm)[0].error)
                                   .find("Previous GET_DATA request is not finished"));
}

TEST(MasterJob, GetDataWithoutDataIsAnsweredLaterWithSizeZero) {
  bk_master_rig_t rig;
  rig.job->get_data(65535);
  EXPECT_TRUE(rig.client.events.empty());
  rig.poll();
  ASSERT_EQ(1u, rig.client.count(kind_t::kGetDataResponse));
  EXPECT_EQ(0u, rig.client.of(kind_t::kGetDataResponse)[0].size);
  // Nothing stays open.
  rig.job->get_data(65535);
  rig.poll();
  EXPECT_EQ(2u, rig.client.count(kind_t::kGetDataResponse));
}

TEST(MasterJob, GetDataWhileWaitingForTheFirstNodeIsAnsweredOncePlaced) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("abc");
  rig.send("def");
  rig.job->get_data(65535);
  rig.send("ghi");
  ASSERT_TRUE(rig.run_until([&] {
    if (!local->get_data_calls.empty()) return true;
    local->acknowledge_all();
    return false;
  }));
  // Asked after the data before it, before the data after it.
  EXPECT_EQ("abcdef", local->stored);
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  EXPECT_EQ(6u, rig.client.of(kind_t::kGetDataResponse)[0].size);
  rig.client.drained();
  EXPECT_EQ("abcdef", rig.client.read_back());
  ASSERT_TRUE(rig.store_all(*local, 9));
  EXPECT_EQ("abcdefghi", local->stored);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));
}

TEST(MasterJob, CureAndGetDataExcludeEachOther) {
  {
    bk_master_rig_t rig;
    rig.cluster.add_node(rig.io, "Local job 0x1");
    rig.send("abc");
    rig.job->scan(options(true));
    rig.job->get_data(65535);
    ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
    EXPECT_NE(std::string::npos,
              error_text_of(rig.client.of(kind_t::kAlarm)[0].error).find("GET_DATA while curing"));
  }
  {
    bk_master_rig_t rig;
    rig.cluster.add_node(rig.io, "Local job 0x1");
    rig.send("abc");
    rig.job->get_data(65535);
    rig.job->scan(options(true));
    ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
    EXPECT_NE(std::string::npos, error_text_of(rig.client.of(kind_t::kAlarm)[0].error)
                                     .find("Request to cure while GET_DATA is not finished"));
  }
}

// --- Soft errors ---------------------------------------------------------------

TEST(MasterJob, SoftClientNeverPlacedGetsItsOwnDataBackInPieces) {
  bk_master_rig_t rig(true);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  const std::string data = bytes(150000);
  rig.send(data);
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_TRUE(rig.client.of(kind_t::kAlarm)[0].soft);
  EXPECT_EQ(vl::EC_NOT_READY, error_code_of(rig.client.of(kind_t::kAlarm)[0].error));
  EXPECT_EQ(150000u, rig.client.acknowledged());
  ASSERT_NE(nullptr, rig.job);

  rig.job->get_data(65535);
  ASSERT_EQ(1u, rig.client.count(kind_t::kGetDataResponse));
  EXPECT_EQ(150000u, rig.client.of(kind_t::kGetDataResponse)[0].size);
  EXPECT_EQ(0u, rig.client.count(kind_t::kDataChunk));
  for (int i = 0; i < 4; ++i) rig.client.drained();
  const auto chunks = rig.client.of(kind_t::kDataChunk);
  ASSERT_EQ(3u, chunks.size());
  EXPECT_EQ(65535u, chunks[0].size);
  EXPECT_EQ(65535u, chunks[1].size);
  EXPECT_EQ(18930u, chunks[2].size);
  EXPECT_EQ(data, rig.client.read_back());

  // It can be read again; scanning and more data are refused.
  rig.job->get_data(100000);
  rig.client.drained();
  rig.client.drained();
  EXPECT_EQ(5u, rig.client.count(kind_t::kDataChunk));
  rig.job->scan(options());
  ASSERT_EQ(2u, rig.client.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.client.of(kind_t::kAlarm)[1].soft);
  EXPECT_NE(std::string::npos, error_text_of(rig.client.of(kind_t::kAlarm)[1].error)
                                   .find("Scan is not allowed after soft error"));
}

TEST(MasterJob, DataAfterSoftAlarmEndsTheJob) {
  bk_master_rig_t rig(true);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.send("abc");
  rig.send("def");
  ASSERT_EQ(2u, rig.client.count(kind_t::kAlarm));
  const event_t alarm = rig.client.of(kind_t::kAlarm)[1];
  EXPECT_FALSE(alarm.soft);
  EXPECT_EQ(vl::EC_PROTOCOL_VIOLATION, error_code_of(alarm.error));
  EXPECT_NE(std::string::npos, error_text_of(alarm.error).find("Data chunk after soft error"));
  EXPECT_EQ(1u, rig.cluster.placements.size());
  rig.job.reset();
  EXPECT_EQ(6u, rig.client.acknowledged());
}

TEST(MasterJob, SoftClientWhoseExecutorFailsReadsItsDataBackFromIt) {
  bk_master_rig_t rig(true);
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("abcdef");
  local->acknowledge(2);
  rig.job->scan(options());
  local->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_TRUE(rig.client.of(kind_t::kAlarm)[0].soft);
  EXPECT_EQ(6u, rig.client.acknowledged());
  // A late answer of the failed request is not passed on.
  local->answer_scan();
  EXPECT_EQ(0u, rig.client.count(kind_t::kScanResponse));

  rig.job->get_data(65535);
  ASSERT_EQ(1u, local->get_data_calls.size());
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("abcdef", rig.client.read_back());
  EXPECT_EQ(1u, rig.client.count(kind_t::kAlarm));
}

TEST(MasterJob, SoftAlarmAfterAFailedReplayEndsThePauseAndKeepsEveryChunk) {
  bk_master_rig_t rig(true);
  auto first = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
  rig.send("abc");
  first->acknowledge(1);
  first->alarm(vl::EC_LINK_DISCONNECTED, true);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectBegin));
  rig.send("def");
  second->alarm(vl::EC_LINK_DISCONNECTED);

  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_TRUE(rig.client.of(kind_t::kAlarm)[0].soft);
  // No grant of the connection waits for this job any more.
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(6u, rig.client.acknowledged());
  // The chunk sent during the replay reached the first node too.
  EXPECT_EQ("abcdef", first->stored);
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("abcdef", rig.client.read_back());
}

TEST(MasterJob, HardClientWithNowhereToGoGetsTheExecutorErrorAsFinal) {
  bk_master_rig_t rig;
  auto local = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.send("abc");
  rig.job->scan(options());
  local->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_FALSE(rig.client.of(kind_t::kAlarm)[0].soft);
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, error_code_of(rig.client.of(kind_t::kAlarm)[0].error));
  EXPECT_EQ(2u, rig.cluster.placements.size());
  EXPECT_TRUE(rig.cluster.placements[1].never_local);
}

}  // namespace
