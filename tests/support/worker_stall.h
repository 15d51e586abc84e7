// worker_stall_t: holds the task-queue worker (the thread that writes spool files)
// on a task of its own until the test releases it, so that a test can stand for a
// spool disk that does not keep up. Tasks posted meanwhile wait behind it, in order.
//
// Owned by one test on the main thread; it must go (or be released) before the
// central object whose queue it holds, since that object's destructor joins the
// worker. Releasing more than once does nothing.
#pragma once

#include <future>

#include "core/task_queue.h"

class worker_stall_t {
 public:
  explicit worker_stall_t(bk_task_queue_t& queue) {
    queue.post([gate = gate_.get_future().share()] { gate.wait(); });
  }
  ~worker_stall_t() { release(); }
  worker_stall_t(const worker_stall_t&) = delete;
  worker_stall_t& operator=(const worker_stall_t&) = delete;

  void release() {
    if (released_) return;
    released_ = true;
    gate_.set_value();
  }

 private:
  std::promise<void> gate_;
  bool released_ = false;
};
