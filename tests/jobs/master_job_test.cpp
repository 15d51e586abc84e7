#include "jobs/master_job.h"

#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"

namespace {

using kind_t = bk_recording_delegate_t::kind_t;

bk::ScanOptions options(bool cure = false, uint64_t min_size = 0) {
  bk::ScanOptions options;
  if (cure) options.set_cure(true);
  if (min_size) options.set_min_size_to_scan(min_size);
  return options;
}

TEST(MasterJob, FailureThatEndsTheJobReachesTheClientOnceAndReturnsTheWindow) {
  struct case_t {
    // Sends "data" to the job and makes it fail.
    std::function<void(bk_master_rig_t&)> run;
    vl::ErrorCode code;
    std::string text;
    size_t placements;
    bool last_never_local;
  };
  const case_t cases[] = {
      {[](auto& rig) {
         rig.cluster.add_failure(vl::EC_NO_SCAN_ENGINE);
         rig.send("data");
       },
       vl::EC_NO_SCAN_ENGINE, "Scripted placement failure", 1, false},
      // Placed again after each pause, thirty times; the first error counts.
      {[](auto& rig) {
         rig.cluster.add_failure(vl::EC_NOT_READY);
         rig.cluster.exhausted = vl::EC_NOT_READY;
         rig.send("data");
       },
       vl::EC_NOT_READY, "Scripted placement failure", 30, false},
      // Thrown out of append_data, it would end the client's connection.
      {[](auto& rig) {
         rig.cluster.add_broken_node("no spool file name");
         rig.send("data");
       },
       vl::EC_UNEXPECTED_ERROR, "no spool file name", 1, false},
      // Once two nodes failed, the placement's own error replaces the first one.
      {[](auto& rig) {
         auto first = rig.node("Remote job 0x1", test_peer(2));
         auto second = rig.node("Remote job 0x2", test_peer(3));
         rig.send("data");
         first->alarm(vl::EC_LINK_DISCONNECTED);
         second->alarm(vl::EC_LINK_DISCONNECTED);
       },
       vl::EC_UNEXPECTED_ERROR, "Script used up", 3, false},
      // A hard client with nowhere else to go gets the executor's error as final.
      {[](auto& rig) {
         auto local = rig.node("Local job 0x1");
         rig.send("data");
         local->alarm(vl::EC_NO_SCAN_ENGINE, true, "local");
       },
       vl::EC_NO_SCAN_ENGINE, "local: ScanEngine is not available", 2, true},
      // Nothing could rebuild the data the executor took with it.
      {[](auto& rig) {
         auto local = rig.node("Local job 0x1");
         rig.send("data");
         local->acknowledge(2);
         local->alarm(vl::EC_LINK_DISCONNECTED, false, "local");
       },
       vl::EC_LINK_DISCONNECTED, "local: Link disconnected", 1, false},
      {[](auto& rig) {
         auto local = rig.node("Local job 0x1");
         rig.send("data");
         local->acknowledge(5);
       },
       vl::EC_DATA_CORRUPTED, "Data file corrupted", 1, false},
  };
  for (const case_t& c : cases) {
    bk_master_rig_t rig;
    c.run(rig);
    ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kAlarm) > 0; })) << c.text;
    const auto alarm = rig.alarm();
    // The client dropped the job; its destructor returned the bytes and ended any pause.
    EXPECT_EQ(
        std::make_tuple(1u, false, c.code, c.text, c.placements, c.last_never_local, 4u,
                        kind_t::kRedirectEnd),
        std::make_tuple(rig.count(kind_t::kAlarm), alarm.soft, alarm.code(), alarm.text(),
                        rig.cluster.placements.size(), rig.cluster.placements.back().never_local,
                        rig.client.acknowledged(), rig.client.events.back().kind));
  }
}

TEST(MasterJob, RequestsMadeWhileNoNodeIsReadyGoToItAtTheirOffsets) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto local = rig.node("Local job 0x1");
  auto peer = rig.node("Remote job 0x1", test_peer(2));
  rig.send("first ");
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectBegin));
  rig.job->get_data(65535);
  rig.send("second");
  rig.job->scan(options());
  // Asked after the data before them, before the data after them.
  EXPECT_EQ("first ", rig.read_back());
  ASSERT_TRUE(rig.store_all(*local, 12));
  EXPECT_EQ(3u, rig.cluster.placements.size());
  EXPECT_EQ("first second", local->stored);
  EXPECT_EQ(std::vector<uint64_t>{12}, local->scanned_at);
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(12u, rig.client.acknowledged());
  // An answer nobody asked for breaks the protocol: the job moves on.
  local->answer_scan();
  local->answer_scan();
  EXPECT_EQ(1u, rig.count(kind_t::kScanResponse));
  EXPECT_EQ(std::vector<bk_fake_cluster_t::node_t>{std::nullopt}, rig.cluster.failures);
  EXPECT_TRUE(rig.store_all(*peer, 12));
}

TEST(MasterJob, ExecutorsAndBackupsLetGoReachNobody) {
  enum { kReset, kDestroyed, kResetDuringReplay };
  for (int how : {kReset, kDestroyed, kResetDuringReplay}) {
    bk_master_rig_t rig;
    auto first = rig.node("Local job 0x1");
    rig.node("Remote job 0x1", test_peer(2));
    rig.send("data");
    rig.job->scan(options());
    // The replay makes the failed executor a backup's source job.
    if (how == kResetDuringReplay) first->acknowledge(2);
    if (how == kResetDuringReplay) first->alarm(vl::EC_NO_SCAN_ENGINE, true);
    if (how == kDestroyed) rig.job.reset();
    if (how != kDestroyed) rig.job->reset();
    const size_t events = rig.client.events.size();
    // Calls it was finishing when it was let go.
    first->answer_scan();
    first->acknowledge_all();
    first->alarm(vl::EC_NO_SCAN_ENGINE);
    rig.poll();
    EXPECT_EQ(events, rig.client.events.size()) << how;
    rig.job.reset();
    EXPECT_EQ(4u, rig.client.acknowledged()) << how;
  }
}

// Hands the pause's handler a failure no real timer can be made to give.
class timer_probe_t : public bk_master_job_t {
 public:
  using bk_master_job_t::bk_master_job_t;
  using bk_master_job_t::on_job_timer;
};

TEST(MasterJob, FailedPauseIsLoggedAndThePlacementTriedAtOnce) {
  log_capture_t capture;
  bk_master_rig_t rig;
  auto services = rig.cluster.services(rig.io);
  services.redirect_pause = std::chrono::hours(1);
  auto probe = std::make_shared<timer_probe_t>(unused_inventory(), 7, services);
  probe->set_delegate(&rig.client);
  rig.job = probe;
  // What the rig's own job said as it went.
  rig.client.events.clear();
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto peer = rig.node("Remote job 0x1", test_peer(2));
  rig.send("data");
  ASSERT_EQ(1u, rig.cluster.placements.size());
  probe->on_job_timer(boost::system::error_code(EIO, boost::system::system_category()));
  EXPECT_TRUE(
      capture.lines->has_line("Error: " + probe->name() + ": Job timer: Input/output error"));
  EXPECT_EQ(2u, rig.cluster.placements.size());
  probe.reset();
  ASSERT_TRUE(rig.store_all(*peer, 4));
  EXPECT_EQ("data", peer->stored);
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
}

TEST(MasterJob, ResetDuringThePauseStopsTheWait) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto local = rig.node("Local job 0x1");
  rig.send("data");
  ASSERT_EQ(1u, rig.count(kind_t::kRedirectBegin));
  rig.job->reset();
  // Well past the pause, which would have placed the job on the scripted node.
  ASSERT_TRUE(run_past(rig.io, std::chrono::milliseconds(20)));
  EXPECT_EQ(1u, rig.cluster.placements.size());
  EXPECT_EQ("", local->stored);
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
  // The connection's grants are not held for the job once it is gone.
  rig.job.reset();
  EXPECT_EQ(4u, rig.client.acknowledged());
  EXPECT_EQ(kind_t::kRedirectEnd, rig.client.events.back().kind);
}

TEST(MasterJob, RedirectReplaysStoredAndKeptDataInOrderWithoutDuplicates) {
  // The first node acknowledged nothing (the master keeps every byte) or 900 bytes
  // while it holds 1000; or the next node drops out on its first chunk and the
  // replay starts over into a third.
  enum { kAllKept, kOverlap, kRestart };
  for (int variant : {kAllKept, kOverlap, kRestart}) {
    bk_master_rig_t rig;
    auto first = rig.node("Remote job 0x1", test_peer(2));
    auto second = rig.node("Remote job 0x2", test_peer(3));
    auto third = rig.node("Remote job 0x3", test_peer(4));
    bk_fake_job_t& next = variant == kRestart ? *third : *second;
    if (variant == kRestart) {
      second->on_append = [&] {
        second->on_append = nullptr;
        second->alarm(vl::EC_LINK_DISCONNECTED);
      };
    }
    std::string data(1200, ' ');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
    rig.send(data.substr(0, 400));
    rig.send(data.substr(400, 400));
    rig.job->scan(options());
    rig.send(data.substr(800, 400));
    first->acknowledge(variant == kAllKept ? 0 : 900);
    first->read_back = data.substr(0, 1000);
    first->alarm(vl::EC_NO_SCAN_ENGINE, true);
    EXPECT_EQ(std::set<bk_master_job_t::endpoint_t>{test_peer(2)},
              rig.cluster.placements.at(1).excluded);
    EXPECT_EQ(test_peer(2), rig.cluster.failures.at(0));
    // A chunk and a scan that come during the replay join its end.
    rig.send("tail");
    rig.job->scan(options());
    ASSERT_TRUE(rig.store_all(next, 1204)) << variant;
    EXPECT_EQ(data + "tail", next.stored);
    // Each scan is asked of the new node after the data it covers.
    EXPECT_EQ((std::vector<uint64_t>{800, 1204}), next.scanned_at);
    // The end of the move comes after the acknowledgements, for one grant.
    EXPECT_EQ(kind_t::kRedirectEnd, rig.client.events.back().kind);
    EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
    EXPECT_EQ(1204u, rig.client.acknowledged());
    if (variant == kAllKept) {
      // The first node is never asked, and the client's own chunks are replayed.
      EXPECT_EQ(0u, first->data_resets + first->get_data_calls.size());
      EXPECT_EQ(first->chunks[0].get(), second->chunks[0].get());
    }
    if (variant == kRestart) {
      EXPECT_EQ(2u, first->data_resets);
    }
    next.answer_scan();
    next.answer_scan();
    EXPECT_EQ(2u, rig.count(kind_t::kScanResponse));
    // Running normally again: new data goes straight to the new node.
    rig.send("more");
    EXPECT_EQ(data + "tailmore", next.stored);
  }
}

TEST(MasterJob, ReadBackAskedOfANodeThatFailsMidReplayIsAskedOfTheNextOne) {
  bk_master_rig_t rig;
  rig.cluster.add_failure(vl::EC_NOT_READY);
  auto dropping = rig.node("Remote job 0x1", test_peer(2));
  auto next = rig.node("Remote job 0x2", test_peer(3));
  // Asked for the data during its replay, it drops out before it answers.
  dropping->auto_read_back = false;
  const std::string data = "0123456789";
  rig.send(data);
  rig.job->get_data(4);
  ASSERT_TRUE(rig.run_until([&] { return !dropping->get_data_calls.empty(); }));
  dropping->alarm(vl::EC_LINK_DISCONNECTED);
  EXPECT_EQ(data, rig.read_back());
  EXPECT_EQ(std::vector<uint32_t>{4}, next->get_data_calls);
  EXPECT_EQ(std::vector<uint64_t>{10}, rig.client.sizes(kind_t::kGetDataResponse));
  EXPECT_EQ((std::vector<uint64_t>{4, 4, 2}), rig.client.sizes(kind_t::kDataChunk));
  ASSERT_TRUE(rig.store_all(*next, 10));
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
  EXPECT_EQ(10u, rig.client.acknowledged());
}

TEST(MasterJob, RequestsWithoutDataAreAnsweredLaterAndACureForbidsData) {
  bk_master_rig_t rig;
  rig.job->scan(options(true));
  rig.job->get_data(65535);
  rig.job->get_data(65535);
  // Never from inside the request.
  EXPECT_TRUE(rig.client.events.empty());
  rig.poll();
  ASSERT_EQ(1u, rig.count(kind_t::kScanResponse));
  EXPECT_FALSE(rig.client.of(kind_t::kScanResponse)[0].report.has_error());
  EXPECT_EQ((std::vector<uint64_t>{0, 0}), rig.client.sizes(kind_t::kGetDataResponse));
  rig.send("late");
  EXPECT_EQ("Data chunk after cure: Protocol violation", rig.alarm().text());
  // The refused bytes return to the client's window when the job goes.
  EXPECT_EQ(4u, rig.client.acknowledged());
}

TEST(MasterJob, ScansAreAnsweredInRequestOrderAndLimitsWaitForTheCuredSize) {
  bk_master_rig_t rig;
  auto local = rig.node("Local job 0x1");
  rig.send(std::string(100, 'x'));
  local->acknowledge_all();
  rig.job->scan(options());
  rig.job->scan(options(false, 101));
  rig.job->scan(options(true));
  EXPECT_EQ(2u, local->scans.size());
  vl::ScanReport report;
  report.set_object("one");
  local->answer_scan(report);
  report.set_cured(true);
  local->answer_scan(report);
  const auto answers = rig.client.of(kind_t::kScanResponse);
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ("one", answers[0].report.object());
  EXPECT_EQ("SHA1", answers[0].hashes.sha1);
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, answers[1].report.error());
  EXPECT_TRUE(answers[2].report.cured());
  EXPECT_EQ(0u, rig.job->scan_request_count());
  // Only the executor's answers count for the node.
  EXPECT_EQ(2u, rig.cluster.successes.size());
  // The read-back tells the cured size, and limits apply to it again.
  local->read_back = "ok";
  rig.job->get_data(65535);
  EXPECT_EQ("ok", rig.read_back());
  rig.job->scan(options(false, 3));
  rig.poll();
  EXPECT_EQ(vl::SE_OBJECT_SIZE_LIMIT, rig.client.of(kind_t::kScanResponse).at(3).report.error());
}

TEST(MasterJob, SoftClientWhoseJobWasNeverPlacedReadsBackEveryChunkItSent) {
  bk_master_rig_t rig(true);
  rig.cluster.add_failure(vl::EC_NOT_READY);
  rig.send("abcdef");
  ASSERT_TRUE(rig.alarm().soft);
  // Chunks on their way when the alarm went out are the rest of the client's file.
  rig.send("gh");
  rig.send("ij");
  EXPECT_EQ(1u, rig.count(kind_t::kAlarm));
  // Held in memory, stored nowhere: the client's window stays spent on them.
  EXPECT_EQ(0u, rig.client.acknowledged());
  rig.job->get_data(4);
  EXPECT_EQ("abcdefghij", rig.read_back());
  EXPECT_EQ((std::vector<uint64_t>{4, 4, 2}), rig.client.sizes(kind_t::kDataChunk));
  // Reading back says the data is complete.
  rig.send("x");
  EXPECT_EQ("Data chunk after soft error: Protocol violation", rig.alarm(1).text());
  EXPECT_EQ(1u, rig.cluster.placements.size());
  EXPECT_EQ(11u, rig.client.acknowledged());

  bk_master_rig_t scanned(true);
  scanned.cluster.add_failure(vl::EC_NO_SCAN_ENGINE);
  scanned.send("abc");
  ASSERT_TRUE(scanned.alarm().soft);
  scanned.job->scan(options());
  EXPECT_EQ("Scan is not allowed after soft error: Protocol violation", scanned.alarm(1).text());
  EXPECT_FALSE(scanned.alarm(1).soft);
}

TEST(MasterJob, SoftClientWhoseNodeFailedKeepsStoringOnItAndReadsBackWhatItSent) {
  bk_master_rig_t rig(true);
  auto local = rig.node("Local job 0x1");
  rig.send("abc");
  ASSERT_TRUE(rig.store_all(*local, 3));
  rig.job->scan(options());
  // No other node: the engine's failure is the client's soft alarm.
  local->alarm(vl::EC_LINK_DISCONNECTED, true);
  ASSERT_TRUE(rig.alarm().soft);
  EXPECT_EQ(3u, rig.client.acknowledged());
  rig.send("def");
  rig.send("gh");
  EXPECT_EQ("abcdefgh", local->stored);
  // Stored there, so the window comes back as for a running job.
  ASSERT_TRUE(rig.store_all(*local, 8));
  EXPECT_EQ(8u, rig.client.acknowledged());
  rig.job->get_data(65535);
  EXPECT_EQ("abcdefgh", rig.read_back());
  rig.send("i");
  EXPECT_EQ("Data chunk after soft error: Protocol violation", rig.alarm(1).text());
  EXPECT_EQ("abcdefgh", local->stored);

  // A node that lost part of the file never passes the rest off as the client's data.
  bk_master_rig_t lossy(true);
  auto broken = lossy.node("Local job 0x1");
  lossy.send("abc");
  ASSERT_TRUE(lossy.store_all(*broken, 3));
  broken->alarm(vl::EC_LINK_DISCONNECTED, true);
  ASSERT_TRUE(lossy.alarm().soft);
  lossy.send("def");
  broken->read_back = "abc";
  lossy.job->get_data(65535);
  ASSERT_TRUE(lossy.run_until([&] { return lossy.count(kind_t::kAlarm) > 1; }));
  EXPECT_EQ(vl::EC_DATA_CORRUPTED, lossy.alarm(1).code());
  EXPECT_EQ(0u, lossy.count(kind_t::kDataChunk));
}

TEST(MasterJob, SoftClientWhoseReplayFailsReadsItsDataBackFromTheFirstNode) {
  bk_master_rig_t rig(true);
  auto first = rig.node("Remote job 0x1", test_peer(2));
  auto second = rig.node("Remote job 0x2", test_peer(3));
  rig.send("abc");
  first->acknowledge(1);
  rig.job->scan(options());
  first->alarm(vl::EC_LINK_DISCONNECTED, true);
  rig.send("def");
  // The replay read the first node's data, which then acknowledged the rest of it.
  rig.poll();
  first->acknowledge(2);
  second->alarm(vl::EC_LINK_DISCONNECTED);
  ASSERT_TRUE(rig.alarm().soft);
  // No grant of the connection waits for this job any more.
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  // The chunk sent during the replay reached the first node too, and one more
  // after the alarm.
  EXPECT_EQ("abcdef", first->stored);
  EXPECT_EQ(3u, rig.client.acknowledged());
  rig.send("g");
  EXPECT_EQ("abcdefg", first->stored);
  first->acknowledge(4);
  EXPECT_EQ(7u, rig.client.acknowledged());
  // The alarm answered the scan; a late answer of the failed node is dropped.
  first->answer_scan();
  EXPECT_EQ(0u, rig.count(kind_t::kScanResponse));
  // Asked before the node confirmed the end of the replay's read-back: what that
  // read-back still sends is not the client's.
  rig.job->get_data(65535);
  EXPECT_EQ(1u, first->get_data_calls.size());
  first->send_chunk("stale");
  EXPECT_EQ("abcdefg", rig.read_back());
  EXPECT_EQ(2u, first->get_data_calls.size());
}

}  // namespace
