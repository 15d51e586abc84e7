// The job backup is driven through its master job: a failed executor (the source
// job) and the master's kept chunks are replayed into the next executor.
#include "jobs/job_backup.h"

#include <gtest/gtest.h>

#include "tests/support/fake_job.h"

namespace {

using kind_t = bk_recording_delegate_t::kind_t;

std::string bytes(size_t n) {
  std::string data(n, ' ');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('A' + i % 26);
  return data;
}

TEST(JobBackup, MasterHoldingEveryByteNeverAsksTheSourceJob) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x2", test_peer(3));
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
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  rig.send("");
  first->alarm(vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectBegin));
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ("", second->stored);
  EXPECT_EQ(0u, rig.client.count(kind_t::kAlarm));
}

TEST(JobBackup, SourceHoldingTooLittleEndsTheJobAsCorrupted) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  const std::string data = bytes(1200);
  rig.send(data.substr(0, 600));
  rig.send(data.substr(600));
  first->acknowledge(900);
  first->read_back = data.substr(0, 800);
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kAlarm) == 1; }));
  const auto alarm = rig.client.of(kind_t::kAlarm)[0];
  // The client hears of the executor's failure; the replay's own error is logged.
  EXPECT_EQ(vl::EC_NO_SCAN_ENGINE, error_code_of(alarm.error));
  EXPECT_FALSE(alarm.soft);
}

TEST(JobBackup, SourceAnnouncingMoreThanTheDataEndsTheJobInsteadOfTheDaemon) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  rig.send("0123456789");
  first->acknowledge(5);
  first->auto_read_back = false;
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_TRUE(rig.run_until([&] { return !first->get_data_calls.empty(); }));
  first->respond(11);
  EXPECT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_TRUE(second->stored.empty());
}

TEST(JobBackup, SourceChunkBeyondItsAnnouncedSizeEndsTheJob) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  rig.send("0123456789");
  first->acknowledge(8);
  first->auto_read_back = false;
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  ASSERT_TRUE(rig.run_until([&] { return !first->get_data_calls.empty(); }));
  first->respond(8);
  first->send_chunk("012345");
  EXPECT_EQ("012345", second->stored);
  first->send_chunk("6789");
  EXPECT_EQ(1u, rig.client.count(kind_t::kAlarm));
  EXPECT_EQ("012345", second->stored);
}

TEST(JobBackup, CuredDataIsReplayedWholeAndRequestsFollowIt) {
  bk_master_rig_t rig;
  auto first = rig.cluster.add_node(rig.io, "Local job 0x1");
  auto second = rig.cluster.add_node(rig.io, "Remote job 0x1", test_peer(2));
  rig.send("infected file");
  first->acknowledge_all();
  bk::ScanOptions cure;
  cure.set_cure(true);
  rig.job->scan(cure);
  vl::ScanReport cured;
  cured.set_object("");
  cured.set_cured(true);
  first->answer_scan(cured);
  // The executor fails before anyone learnt the cured size.
  first->read_back = "cured";
  rig.job->scan(bk::ScanOptions());
  first->alarm(vl::EC_NO_SCAN_ENGINE, true);
  rig.job->get_data(65535);
  ASSERT_TRUE(rig.store_all(*second, 5));
  EXPECT_EQ("cured", second->stored);
  ASSERT_EQ(1u, second->scanned_at.size());
  EXPECT_EQ(5u, second->scanned_at[0]);
  ASSERT_EQ(1u, second->get_data_calls.size());
  EXPECT_EQ(1u, rig.client.count(kind_t::kRedirectEnd));
  EXPECT_EQ(5u, rig.job->data_size());
  ASSERT_TRUE(rig.run_until([&] { return rig.client.count(kind_t::kGetDataResponse) == 1; }));
  rig.client.drained();
  EXPECT_EQ("cured", rig.client.read_back());
}

TEST(JobBackup, NamesTheSourceJobAndTheBuffer) {
  boost::asio::io_context io;
  bk_fake_cluster_t cluster;
  bk_master_job_t master(unused_inventory(), 3, cluster.services(io, std::chrono::milliseconds(1)));
  auto data = std::make_shared<bk_master_job_t::data_state_t>();
  data->size = 10;
  data->kept.push_back(std::make_shared<const std::string>("6789"));
  auto source = std::make_shared<bk_fake_job_t>(io, 3, "Local job 0x9");
  bk_job_backup_t backup(master, source, data);
  EXPECT_EQ("Backup (Local job 0x9 + " + data->kept.name() + ")", backup.name());
  EXPECT_EQ(&backup, source->get_delegate());

  data->kept.push_back(std::make_shared<const std::string>("012345"));
  bk_job_backup_t released(master, source, data);
  EXPECT_EQ("Backup (" + data->kept.name() + ")", released.name());
  EXPECT_EQ(nullptr, released.source_job());
}

}  // namespace
