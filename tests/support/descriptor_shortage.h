// worker_descriptor_shortage_t: a stretch of the task-queue worker's queue during
// which the process can get no new descriptor, as a daemon that has run out: open,
// socket, accept and the like fail with EMFILE, while the descriptors already open
// keep working. Only the tasks queued between begin() and end() run short: run()
// lets the worker through that stretch while the test thread waits, so that no
// other thread runs short meanwhile (the sanitizers, too, need descriptors for
// some of their checks).
//
// Used on the test thread. The shortage lowers the soft RLIMIT_NOFILE below every
// descriptor held and restores it at end(); a guard never run lets the worker on
// when it goes.
#pragma once

#include <sys/resource.h>

#include <future>
#include <memory>
#include <stdexcept>

#include "core/task_queue.h"

class worker_descriptor_shortage_t {
 public:
  explicit worker_descriptor_shortage_t(bk_task_queue_t& queue) : queue_(queue) {}
  ~worker_descriptor_shortage_t() {
    if (!state_->released) state_->go.set_value();
  }
  worker_descriptor_shortage_t(const worker_descriptor_shortage_t&) = delete;
  worker_descriptor_shortage_t& operator=(const worker_descriptor_shortage_t&) = delete;

  // Queues the start of the shortage; the worker waits there until run().
  void begin() {
    queue_.post([state = state_, started = state_->go.get_future().share()] {
      started.wait();
      if (::getrlimit(RLIMIT_NOFILE, &state->saved) != 0) throw std::runtime_error("getrlimit");
      rlimit none = state->saved;
      none.rlim_cur = 0;
      if (::setrlimit(RLIMIT_NOFILE, &none) != 0) throw std::runtime_error("setrlimit");
    });
  }
  // Queues the end of the shortage.
  void end() {
    queue_.post([state = state_] {
      ::setrlimit(RLIMIT_NOFILE, &state->saved);
      state->over.set_value();
    });
  }
  // Lets the worker run through the shortage and waits until it has ended.
  // REQUIRES: begin() and end() were called.
  void run() {
    state_->released = true;
    state_->go.set_value();
    state_->over.get_future().wait();
  }

 private:
  struct state_t {
    std::promise<void> go;
    std::promise<void> over;
    rlimit saved{};
    bool released = false;
  };

  bk_task_queue_t& queue_;
  const std::shared_ptr<state_t> state_ = std::make_shared<state_t>();
};
