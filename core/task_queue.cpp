#include "core/task_queue.h"

#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "framework/exception.h"

bk_task_queue_t::bk_task_queue_t(boost::asio::io_context& io)
    : io_(io), work_(tasks_.get_executor()) {}

bk_task_queue_t::~bk_task_queue_t() {
  // Without the guard the loop returns once the queued tasks have run: their files
  // must be settled.
  work_.reset();
  if (worker_.joinable()) worker_.join();
}

void bk_task_queue_t::post(std::function<void()>&& task) {
  // A worker that ended after a failure is still joinable: it is never restarted.
  if (!worker_.joinable()) worker_ = boost::thread([this] { run_worker(); });
  boost::asio::post(tasks_, std::move(task));
}

void bk_task_queue_t::run_worker() {
  try {
    // A task's exception leaves run(), which is not called again: the tasks still
    // queued never run.
    tasks_.run();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    const auto error = std::make_exception_ptr(cf_exception_t(
        exception_ptr_to_error_code(failure), "Worker thread: " + exception_ptr_text(failure)));
    boost::asio::post(io_, [error] { rethrow_on_main(error); });
  }
}

void bk_task_queue_t::rethrow_on_main(const std::exception_ptr& failure) {
  std::rethrow_exception(failure);
}
