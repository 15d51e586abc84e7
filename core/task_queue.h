// The worker thread for the blocking file work of scan jobs.
//
// Owned by bk_inventory_t (built from the event loop, destroyed after the digest
// pool). post is called on the main thread; tasks run one at a time in posting
// order on one worker thread, started by the first post, without any lock held
// (so a task may post). Tasks report back by posting to the event loop themselves.
// A task that throws ends the daemon: its failure is rethrown on the event loop as
// "Worker thread: <what>", and the worker runs nothing more. The destructor lets
// the queued tasks run, then joins the worker.
#pragma once

#include <deque>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

class bk_task_queue_t {
 public:
  // REQUIRES: `io` outlives the queue.
  explicit bk_task_queue_t(boost::asio::io_context& io);
  ~bk_task_queue_t();
  bk_task_queue_t(const bk_task_queue_t&) = delete;
  bk_task_queue_t& operator=(const bk_task_queue_t&) = delete;

  // Main thread. Throws boost::thread_resource_error when the worker cannot start.
  void post(std::function<void()>&& task);

 private:
  void run_worker();
  static void rethrow_on_main(const std::exception_ptr& failure);

  // Guarded by mutex.
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;

  boost::mutex mutex_;
  boost::condition_variable not_empty_;
  // Main thread only; not-a-thread until the first post.
  boost::thread worker_;
  boost::asio::io_context& io_;
};
