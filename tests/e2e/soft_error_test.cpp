// A client that accepts soft alarms keeps its whole file when no node can scan it:
// the chunks it sent without waiting, before and after the soft alarm, all come
// back on GET_DATA, whether the job was never placed or its node failed. Each test
// ends with an empty spool.
#include <string>

#include "tests/e2e/daemon_set.h"

namespace {

class SoftErrorTest : public ::testing::Test, protected daemon_set_t {
 protected:
  std::shared_ptr<end_t> connect_soft(const node_t& node) {
    // Nothing else tells when a daemon without engine listens.
    EXPECT_TRUE(wait_output(node, "Server on \"" + node.path("brel.sock") + "\" started"));
    auto end =
        end_t::connect(io, boost::asio::local::stream_protocol::endpoint(node.path("brel.sock")));
    end->hello(false, true);
    return end;
  }
  message_t next(end_t& end) { return end.next(io); }

  // Sends `pieces` as the job's chunks, one after the other without waiting.
  static void send_all(end_t& end, uint32_t job_id, const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) end.chunk(job_id, piece);
  }
};

TEST_F(SoftErrorTest, JobNeverPlacedReturnsEveryChunkSentAroundTheSoftAlarm) {
  node_t& node = start("d", false);
  auto client = connect_soft(node);
  const std::string data = pattern(300000, 3);
  client->send(bk::ClientMessage::INIT, 1);
  send_all(*client, 1, {data.substr(0, 100000), data.substr(100000, 100000)});

  const message_t alarm = next(*client);
  ASSERT_EQ(alarm.tag(), message_t::ALARM) << alarm.ShortDebugString();
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  // After the alarm, the rest of the file.
  client->chunk(1, data.substr(200000));
  const std::string back = client->read_back(io, 1);
  EXPECT_TRUE(back == data) << back.size() << " bytes of " << data.size() << node.daemon.output();

  // The data is complete once read back; scans stay refused.
  client->chunk(1, "late");
  message_t refusal = next(*client);
  EXPECT_EQ(refusal.error().code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_EQ(refusal.error().what(), "Data chunk after soft error: Protocol violation");
  EXPECT_FALSE(refusal.soft());
  client->send(bk::ClientMessage::INIT, 2);
  client->chunk(2, "abc");
  ASSERT_TRUE(next(*client).soft());
  client->scan(2, bk::ScanOptions());
  refusal = next(*client);
  EXPECT_EQ(refusal.error().what(), "Scan is not allowed after soft error: Protocol violation");
  EXPECT_FALSE(refusal.soft());
}

TEST_F(SoftErrorTest, NodeThatFailedSoftlyStoresAndReturnsTheRestOfTheFile) {
  node_t& node = start("d", true);
  // The engine drops the link instead of answering: the only node fails the scan.
  node.engine->options().fault = stand_se_options_t::fault_t::drop;
  auto client = connect_soft(node);
  const std::string data = pattern(500000, 4);
  client->send(bk::ClientMessage::INIT, 1);
  send_all(*client, 1, {data.substr(0, 100000), data.substr(100000, 100000)});
  client->scan(1, bk::ScanOptions());
  send_all(*client, 1, {data.substr(200000, 100000), data.substr(300000, 100000)});

  const message_t alarm = next(*client);
  ASSERT_EQ(alarm.tag(), message_t::ALARM) << alarm.ShortDebugString();
  EXPECT_TRUE(alarm.soft());
  client->chunk(1, data.substr(400000));
  const std::string back = client->read_back(io, 1);
  EXPECT_TRUE(back == data) << back.size() << " bytes of " << data.size() << node.daemon.output();
  client->send(bk::ClientMessage::RESET, 1);
}

}  // namespace
