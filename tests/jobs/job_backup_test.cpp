// The job backup is driven through its master job: a failed executor (the source
// job) and the master's kept chunks are replayed into the next executor.
#include "jobs/job_backup.h"

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"

namespace {

using kind_t = bk_recording_delegate_t::kind_t;

TEST(JobBackup, MasterHoldingEveryByteNeverAsksTheSourceJob) {
  bk_master_rig_t rig;
  auto first = rig.node("Remote job 0x1", test_peer(2));
  auto second = rig.node("Remote job 0x2", test_peer(3));
  rig.send("abc");
  rig.send("defg");
  first->alarm(vl::EC_LINK_DISCONNECTED);
  ASSERT_TRUE(rig.store_all(*second, 7));
  EXPECT_EQ("abcdefg", second->stored);
  // The client's own chunk objects are replayed, not copies.
  EXPECT_EQ(first->chunks[0].get(), second->chunks[0].get());
  EXPECT_EQ(0u, first->data_resets);
  EXPECT_TRUE(first->get_data_calls.empty());
  EXPECT_EQ(7u, rig.client.acknowledged());
}

TEST(JobBackup, EmptyDataFinishesTheRedirectAtOnce) {
  bk_master_rig_t rig;
  auto first = rig.node("Local job 0x1");
  auto second = rig.node("Remote job 0x1", test_peer(2));
  rig.send("");
  first->alarm(vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectBegin));
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
}

TEST(JobBackup, SourceHoldingTooLittleEndsTheJob) {
  bk_master_rig_t rig;
  auto first = rig.node("Local job 0x1");
  rig.node("Remote job 0x1", test_peer(2));
  rig.send(std::string(600, 'a'));
  rig.send(std::string(600, 'b'));
  first->acknowledge(900);
  first->read_back = std::string(800, 'a');
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kAlarm) == 1; }));
  // The client hears of the executor's failure; the replay's own error is logged.
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, rig.alarm().code());
  EXPECT_FALSE(rig.alarm().soft);
}

TEST(JobBackup, SourceSendingMoreThanItAcknowledgedEndsTheJobInsteadOfTheDaemon) {
  struct case_t {
    uint32_t acknowledged;
    uint64_t announced;
    std::vector<std::string> chunks;
    std::string replayed;
  };
  // Announced beyond the data; a chunk beyond the announced size.
  for (const case_t& c : {case_t{5, 11, {}, ""}, case_t{8, 8, {"012345", "6789"}, "012345"}}) {
    bk_master_rig_t rig;
    auto first = rig.node("Local job 0x1");
    auto second = rig.node("Remote job 0x1", test_peer(2));
    rig.send("0123456789");
    first->acknowledge(c.acknowledged);
    first->auto_read_back = false;
    first->alarm(vl::EC_NO_SCAN_ENGINE, true);
    ASSERT_TRUE(rig.run_until([&] { return !first->get_data_calls.empty(); }));
    first->respond(c.announced);
    for (const std::string& chunk : c.chunks) first->send_chunk(chunk);
    EXPECT_EQ(1u, rig.count(kind_t::kAlarm)) << c.announced;
    EXPECT_EQ(c.replayed, second->stored);
  }
}

TEST(JobBackup, CuredDataIsReplayedWholeAndRequestsFollowIt) {
  bk_master_rig_t rig;
  auto first = rig.node("Local job 0x1");
  auto second = rig.node("Remote job 0x1", test_peer(2));
  rig.send("infected file");
  first->acknowledge_all();
  bk::ScanOptions cure;
  cure.set_cure(true);
  rig.job->scan(cure);
  vl::ScanReport cured;
  cured.set_cured(true);
  first->answer_scan(cured);
  // The executor fails before anyone learnt the cured size.
  first->read_back = "cured";
  rig.job->scan(bk::ScanOptions());
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.store_all(*second, 5));
  EXPECT_EQ("cured", second->stored);
  EXPECT_EQ(std::vector<uint64_t>{5}, second->scanned_at);
  EXPECT_EQ(1u, second->get_data_calls.size());
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(5u, rig.job->data_size());
  ASSERT_TRUE(rig.run_until([&] { return rig.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("cured", rig.client.read_back());
}

}  // namespace
