// The job backup is driven through its master job: a failed executor (the source
// job) and the master's kept chunks are replayed into the next executor.
#include "jobs/job_backup.h"

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"

namespace {

using kind_t = bk_recording_delegate_t::kind_t;

TEST(JobBackup, EmptyDataFinishesTheRedirectAtOnce) {
  bk_master_rig_t rig;
  auto first = rig.node("Local job 0x1");
  rig.node("Remote job 0x1", test_peer(2));
  rig.send("");
  first->alarm(vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectBegin));
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(0u, rig.count(kind_t::kAlarm));
}

TEST(JobBackup, ReplayThatCannotCompleteEndsTheJobWithTheFirstError) {
  // The source job, holding 3 of 4 bytes: holds too little, announces more than
  // the data, sends more than it announced, fails.
  const std::function<void(bk_fake_job_t&)> answers[] = {
      [](auto& source) { source.respond(1); },
      [](auto& source) { source.respond(5); },
      [](auto& source) {
        source.respond(3);
        source.send_chunk("da");
        source.send_chunk("ta");
      },
      [](auto& source) { source.alarm(vl::EC_DATA_CORRUPTED); },
  };
  for (const auto& answer : answers) {
    bk_master_rig_t rig;
    auto first = rig.node("Local job 0x1");
    rig.node("Remote job 0x1", test_peer(2));
    rig.send("data");
    first->acknowledge(2);
    first->auto_read_back = false;
    first->alarm(vl::EC_NO_SCAN_ENGINE, true, "first");
    ASSERT_TRUE(rig.run_until([&] { return !first->get_data_calls.empty(); }));
    answer(*first);
    ASSERT_EQ(1u, rig.count(kind_t::kAlarm));
    EXPECT_FALSE(rig.alarm().soft);
    EXPECT_EQ("first: ScanEngine is not available", rig.alarm().text());
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
  // The executor fails before anyone learnt the cured size, which no limit may
  // then be applied to.
  first->read_back = "cured";
  bk::ScanOptions rescan;
  rescan.set_min_size_to_scan(1);
  rig.job->scan(rescan);
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.store_all(*second, 5));
  EXPECT_EQ("cured", second->stored);
  EXPECT_EQ(std::vector<uint64_t>{5}, second->scanned_at);
  EXPECT_EQ(1u, second->get_data_calls.size());
  EXPECT_EQ(1u, rig.count(kind_t::kRedirectEnd));
  EXPECT_EQ(5u, rig.job->data_size());
  EXPECT_EQ("cured", rig.read_back());
}

}  // namespace
