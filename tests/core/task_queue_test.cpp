#include "core/task_queue.h"

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "tests/support/run_until.h"

TEST(TaskQueue, RunsTasksInPostingOrderOnOneWorkerThread) {
  boost::asio::io_context io;
  bk_task_queue_t queue(io);
  std::vector<int> order;  // worker only until `done`
  std::vector<std::thread::id> threads;
  bool done = false;
  for (int i = 0; i < 50; ++i) {
    queue.post([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
      // A task may post, also to the queue itself.
      if (i == 49) queue.post([&] { boost::asio::post(io, [&] { done = true; }); });
    });
  }
  ASSERT_TRUE(run_until(io, [&] { return done; }));
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST(TaskQueue, DestructionRunsQueuedTasksBeforeJoining) {
  boost::asio::io_context io;
  std::promise<void> release;
  std::atomic<int> ran{0};
  {
    bk_task_queue_t queue(io);
    queue.post([released = release.get_future().share(), &ran] {
      released.wait();
      ++ran;
    });
    for (int i = 0; i < 20; ++i) queue.post([&ran] { ++ran; });
    release.set_value();
  }
  EXPECT_EQ(ran, 21);
}

TEST(TaskQueue, ThrowingTaskEndsTheLoopWithItsCodeAndStopsTheWorker) {
  boost::asio::io_context io;
  auto queue = std::make_unique<bk_task_queue_t>(io);
  std::atomic<bool> later_ran{false};
  queue->post(
      [] { throw boost::system::system_error(ENOENT, boost::system::system_category(), "open"); });
  queue->post([&] { later_ran = true; });

  // The work guard keeps an idle loop waiting for the worker's post.
  auto guard = boost::asio::make_work_guard(io);
  std::exception_ptr failure;
  try {
    io.run_for(std::chrono::seconds(10));
  } catch (...) {
    failure = std::current_exception();
  }
  EXPECT_EQ(exception_ptr_to_error_enum(failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(failure).rfind("Worker thread: open: ", 0), 0u)
      << exception_ptr_text(failure);
  // Never restarted: a task posted after the failure does not run either, not
  // even while the destructor joins.
  queue->post([&] { later_ran = true; });
  queue.reset();
  EXPECT_FALSE(later_ran);
}
