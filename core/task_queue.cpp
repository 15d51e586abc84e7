#include "core/task_queue.h"

#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "framework/exception.h"

bk_task_queue_t::bk_task_queue_t(boost::asio::io_context& io) : io_(io) {}

bk_task_queue_t::~bk_task_queue_t() {
  if (!worker_.joinable()) return;
  {
    boost::lock_guard<boost::mutex> lock(mutex_);
    stopping_ = true;
  }
  not_empty_.notify_one();
  worker_.join();
}

void bk_task_queue_t::post(std::function<void()>&& task) {
  // A worker that ended after a failure is still joinable: it is never restarted.
  if (!worker_.joinable()) worker_ = boost::thread([this] { run_worker(); });
  bool was_empty;
  {
    boost::lock_guard<boost::mutex> lock(mutex_);
    was_empty = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  // Only an empty queue can have the worker waiting; woken outside the lock, it
  // does not block again at once on the mutex we still hold.
  if (was_empty) not_empty_.notify_one();
}

void bk_task_queue_t::run_worker() {
  for (;;) {
    std::function<void()> task;
    {
      boost::unique_lock<boost::mutex> lock(mutex_);
      // Stopping still lets the queued tasks run: their files must be settled.
      while (tasks_.empty() && !stopping_) not_empty_.wait(lock);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();  // an empty task throws std::bad_function_call
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      const auto error = std::make_exception_ptr(cf_exception_t(
          exception_ptr_to_error_code(failure), "Worker thread: " + exception_ptr_text(failure)));
      boost::asio::post(io_, [error] { rethrow_on_main(error); });
      return;
    }
  }
}

void bk_task_queue_t::rethrow_on_main(const std::exception_ptr& failure) {
  std::rethrow_exception(failure);
}
