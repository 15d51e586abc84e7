// The worker thread for the blocking file work of scan jobs: an io_context of its
// own, run by one thread.
//
// Owned by bk_inventory_t (built from the event loop, destroyed after the digest
// pool). post is called on the main thread, and from tasks; tasks run one at a time
// in posting order on one worker thread, started by the first post, without any
// lock held (so a task may post). Tasks report back by posting to the event loop
// themselves. A task that throws ends the daemon: its failure is rethrown on the
// event loop as "Worker thread: <what>", and the worker runs nothing more. The
// destructor lets the queued tasks run, then joins the worker.
#pragma once

#include <exception>
#include <functional>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>

class bk_task_queue_t {
 public:
  // REQUIRES: `io` outlives the queue.
  explicit bk_task_queue_t(boost::asio::io_context& io);
  ~bk_task_queue_t();
  bk_task_queue_t(const bk_task_queue_t&) = delete;
  bk_task_queue_t& operator=(const bk_task_queue_t&) = delete;

  // Throws boost::thread_resource_error when the worker cannot start.
  void post(std::function<void()>&& task);

 private:
  void run_worker();
  static void rethrow_on_main(const std::exception_ptr& failure);

  // Constant after construction.
  boost::asio::io_context& io_;
  // The worker's own loop; its tasks are its handlers, and the guard keeps it
  // running while it has none, until the destructor lets it go.
  boost::asio::io_context tasks_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  // Not-a-thread until the first post, which starts it on the main thread; a task's
  // own post only reads it, after that start and before the destructor's join.
  boost::thread worker_;
};
