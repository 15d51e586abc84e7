#include "core/timed_queue.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"

// Hands the timer's handler a failure no real timer can be made to give.
class bk_timed_queue_test_access_t {
 public:
  static void fail_wait(bk_timed_queue_t& queue, const boost::system::error_code& error) {
    queue.on_wait(error);
  }
};

namespace {

using std::chrono::milliseconds;

class TimedQueueTest : public ::testing::Test {
 protected:
  TimedQueueTest() : queue(std::make_unique<bk_timed_queue_t>(io)) {
    queue->expired.connect([this](const std::uint32_t& serial) { fired.push_back(serial); });
  }

  void add_in(milliseconds interval, std::uint32_t serial) {
    queue->add(bk_timed_queue_t::deadline_after(interval), serial);
  }

  bool run_until_fired(std::size_t count) {
    return run_until(io, [&] { return fired.size() >= count; });
  }

  boost::asio::io_context io;
  std::unique_ptr<bk_timed_queue_t> queue;
  std::vector<std::uint32_t> fired;
};

TEST_F(TimedQueueTest, ExpiresInDeadlineOrderAndEqualDeadlinesInInsertionOrder) {
  const auto same = bk_timed_queue_t::deadline_after(milliseconds(20));
  add_in(milliseconds(40), 9);
  queue->add(same, 3);
  queue->add(same, 1);
  queue->add(same, 2);
  queue->process();
  EXPECT_TRUE(fired.empty()) << "nothing is due yet";
  ASSERT_TRUE(run_until_fired(4));
  EXPECT_EQ(fired, (std::vector<std::uint32_t>{3, 1, 2, 9}));
  EXPECT_TRUE(queue->empty());
}

TEST_F(TimedQueueTest, RemovedDeadlineNeverFiresAndReAddKeepsOnlyTheNewest) {
  add_in(milliseconds(5), 1);
  add_in(milliseconds(5), 2);
  add_in(milliseconds(5), 3);
  queue->remove(2);
  // Serial 3 reused: only the later deadline counts.
  add_in(milliseconds(60), 3);
  queue->process();
  EXPECT_EQ(queue->size(), 2u);
  ASSERT_TRUE(run_until_fired(1));
  EXPECT_EQ(fired, std::vector<std::uint32_t>{1});
  ASSERT_TRUE(run_until_fired(2));
  EXPECT_EQ(fired, (std::vector<std::uint32_t>{1, 3}));
}

TEST_F(TimedQueueTest, SlotsMayAddRemoveProcessAndClearDuringExpiry) {
  queue->expired.connect([this](const std::uint32_t& serial) {
    if (serial == 1) {
      // Due at once: expires within the same pass or the nested one.
      add_in(milliseconds(0), 10);
      queue->remove(2);
      queue->process();
    }
    if (serial == 10) add_in(milliseconds(10), 11);
    if (serial == 11) queue->clear();
  });
  const auto due = bk_timed_queue_t::deadline_after(milliseconds(0));
  queue->add(due, 1);
  queue->add(due, 2);
  queue->process();
  EXPECT_EQ(fired, (std::vector<std::uint32_t>{1, 10}));
  add_in(milliseconds(10), 12);
  queue->process();
  ASSERT_TRUE(run_until_fired(3));
  EXPECT_EQ(fired, (std::vector<std::uint32_t>{1, 10, 11}));
  EXPECT_TRUE(queue->empty());
}

TEST_F(TimedQueueTest, DestroyedQueueIgnoresItsOutstandingWait) {
  add_in(milliseconds(1), 1);
  queue->process();
  queue.reset();
  // The cancelled (or already completed) wait must not touch the dead queue.
  io.run_for(milliseconds(20));
  EXPECT_TRUE(fired.empty());
}

TEST_F(TimedQueueTest, FailedWaitIsLoggedAndTheDeadlinesStillExpire) {
  auto log = std::make_shared<recording_log_t>();
  install_log(log);
  add_in(milliseconds(0), 1);
  add_in(milliseconds(10), 2);
  bk_timed_queue_test_access_t::fail_wait(
      *queue, boost::system::error_code(EIO, boost::system::system_category()));
  EXPECT_TRUE(log->has_line("Error: Timed queue timer: Input/output error"));
  EXPECT_EQ(fired, std::vector<std::uint32_t>{1});
  ASSERT_TRUE(run_until_fired(2));
  EXPECT_EQ(fired, (std::vector<std::uint32_t>{1, 2}));
}

TEST(TimedQueueDeadline, SaturatesAtTheClockMaximum) {
  EXPECT_EQ(bk_timed_queue_t::deadline_after(milliseconds::max()),
            bk_timed_queue_t::clock_t::time_point::max());
}

}  // namespace
