// No client can take the daemon's memory from the others: one that ignores flow
// control in front of a stalled spool disk, and one that never reads its answers.
// The client tie and the real jobs run in this process (the test stalls the
// worker and watches the tie), the stand-in engine on the test's event loop. The
// job cap is in the client tests, against the real daemon. Every test ends with
// an empty spool.
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>

#include "core/scanner.h"
#include "jobs/client_protocol.h"
#include "jobs/client_tie.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/data_source.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/sample_data.h"
#include "tests/support/worker_stall.h"
#include "tools/stand-se/stand_se.h"
#include "wiring/master_job_services.h"

namespace {

using message_t = bk::ServerMessage;

class BoundedTieTest : public ::testing::Test {
 protected:
  BoundedTieTest() {
    fx.set_se_path(fx.path("se.sock"));
    engine = stand_se_t::create(fx.io(), fx.path("se.sock"));
    vl::BrelConfig config;
    config.set_is_se_installed(true);
    config.set_se_max_forks(4);
    config.set_actual_start(true);
    fx.inventory().scanner->reconfigure(config);
  }
  ~BoundedTieTest() override {
    for (const auto& socket : far_ends) socket->close();
    EXPECT_TRUE(run([&] {
      return std::all_of(ties.begin(), ties.end(), [](const auto& tie) { return tie.expired(); });
    }));
    engine->stop();
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>());
  }

  bool run(const std::function<bool()>& done) {
    return fx.run_until(done, std::chrono::milliseconds(60000));
  }

  // A new tie on a socket pair; returns the client's end, raw.
  std::shared_ptr<cf_local_socket_t> connect() {
    auto near = std::make_shared<cf_local_socket_t>(fx.io());
    far_ends.push_back(std::make_shared<cf_local_socket_t>(fx.io()));
    boost::asio::local::connect_pair(*near, *far_ends.back());
    auto tie = bk_local_client_tie_t::create(fx.inventory(), master_job_factory(fx.inventory()));
    tie->start(near);
    ties.push_back(tie);
    return far_ends.back();
  }
  std::shared_ptr<local_client_end_t> connect_client() {
    auto client = local_client_end_t::open(connect());
    client->hello(false);
    return client;
  }
  std::shared_ptr<bk_local_client_tie_t> tie(std::size_t i) const { return ties.at(i).lock(); }

  bk_inventory_fixture_t fx;
  std::shared_ptr<stand_se_t> engine;
  std::vector<std::weak_ptr<bk_local_client_tie_t>> ties;
  std::vector<std::shared_ptr<cf_local_socket_t>> far_ends;
};

TEST_F(BoundedTieTest, AClientWithoutFlowControlIsHeldToTheBoundWhileTheDiskStalls) {
  worker_stall_t stall(*fx.inventory().task_queue);
  auto client = connect_client();
  client->send(bk::ClientMessage::INIT, 1);
  constexpr std::size_t kChunk = 1 << 20;
  data_source_t data(std::size_t{256} << 20, kChunk);
  // The client sends as fast as the daemon takes its chunks.
  auto send_more = [&] {
    while (!data.done() && client->queued_send_bytes() < 4 * kChunk) client->chunk(1, data.next());
  };
  ASSERT_TRUE(run([&] {
    send_more();
    return tie(0)->reading_paused();
  }));
  EXPECT_GT(tie(0)->unstored_bytes(), kConnectionUnstoredLimit);
  EXPECT_LE(tie(0)->unstored_bytes(), kConnectionUnstoredLimit + kChunk);

  // Once the disk keeps up again, every byte is stored, in order.
  stall.release();
  ASSERT_TRUE(run([&] {
    send_more();
    return data.done();
  }));
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA256);
  client->scan(1, options);
  const message_t answer = client->next(fx.io());
  EXPECT_EQ(answer.scan_report().size(), data.offset()) << answer.ShortDebugString();
  EXPECT_EQ(answer.sha256(), data.sha256());
  EXPECT_FALSE(tie(0)->reading_paused());
}

TEST_F(BoundedTieTest, AClientThatNeverReadsIsNoLongerReadOnceItsAnswersPassTheBound) {
  auto silent = connect();
  bk::ClientMessage hello = client_message(bk::ClientMessage::HELLO, 0);
  hello.clear_job_id();
  hello.set_origin(vl::APP_WEB_GATEWAY);
  hello.set_origin_pid(77);
  boost::asio::write(*silent,
                     boost::asio::buffer(
                         frame_of(hello.SerializeAsString()) +
                         frame_of(client_message(bk::ClientMessage::INIT, 1).SerializeAsString())));
  // Batches of scans of a job without data, which the daemon answers by itself;
  // the write under way outlives the test body.
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 1);
  scan.mutable_scan_options();
  auto batch = std::make_shared<std::string>();
  for (int i = 0; i < 20000; ++i) *batch += frame_of(scan.SerializeAsString());
  auto writing = std::make_shared<bool>(false);
  ASSERT_TRUE(run([&] {
    if (!*writing) {
      *writing = true;
      boost::asio::async_write(
          *silent, boost::asio::buffer(*batch),
          [batch, writing](const boost::system::error_code&, std::size_t) { *writing = false; });
    }
    return tie(0)->reading_paused();
  }));
  // Beyond the bound by no more than the answers to requests already read.
  EXPECT_GT(tie(0)->queued_send_bytes(), kConnectionSendQueueLimit);
  EXPECT_LE(tie(0)->queued_send_bytes(), kConnectionSendQueueLimit + (1 << 20));
  const uint64_t queued = tie(0)->queued_send_bytes();

  // Another client is served meanwhile, and the silent one gets nothing further.
  auto other = connect_client();
  const std::string file = pattern(300000, 1);
  other->submit(1, file);
  EXPECT_EQ(other->next(fx.io()).scan_report().size(), file.size());
  EXPECT_EQ(tie(0)->queued_send_bytes(), queued);
  other->send(bk::ClientMessage::RESET, 1);
}

}  // namespace
