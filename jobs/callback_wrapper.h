// Callbacks that do nothing once their owner is reset or gone.
//
// bk_callback_wrapper_t: a base for objects with a plain lifetime (the master job,
// its chunk sender, the job backup). Its wrap ties a callback to the current dead
// flag; kill_callbacks (on reset, on a failure) and the destructor set the flag,
// and every callback wrapped before then does nothing when it fires. Callbacks
// wrapped afterwards get a fresh flag and work.
//
// bk_shared_callback_wrapper<T>: a base for objects owned by std::shared_ptr (the
// local job, its spooled file). Its wrap binds a callback to a weak reference, so
// a callback arriving after the object is gone does nothing, and one that runs
// keeps the object alive until it returns.
//
// Event-loop thread only: wrap, kill_callbacks and the wrapped callbacks all run
// there (the flag is not atomic). A wrapped callback may be copied and handed to
// other threads, but must be invoked on the event loop.
#pragma once

#include <memory>
#include <utility>

class bk_callback_wrapper_t {
 public:
  bk_callback_wrapper_t() : dead_(std::make_shared<bool>(false)) {}
  ~bk_callback_wrapper_t() { *dead_ = true; }
  bk_callback_wrapper_t(const bk_callback_wrapper_t&) = delete;
  bk_callback_wrapper_t& operator=(const bk_callback_wrapper_t&) = delete;

  // A callable that calls `fn` with its arguments while the flag current now is
  // unset, and otherwise does nothing. Returns nothing.
  template <class F>
  auto wrap(F fn) {
    if (*dead_) dead_ = std::make_shared<bool>(false);
    return [fn = std::move(fn), dead = dead_](auto&&... args) mutable {
      if (!*dead) fn(std::forward<decltype(args)>(args)...);
    };
  }

  // Makes every callback wrapped so far do nothing.
  void kill_callbacks() { *dead_ = true; }

 private:
  // Shared with every callback wrapped since it was made.
  std::shared_ptr<bool> dead_;
};

template <class T>
class bk_shared_callback_wrapper : public std::enable_shared_from_this<T> {
 public:
  // A callable that calls `fn` with its arguments while the object lives, holding a
  // strong reference during the call, and otherwise does nothing.
  // REQUIRES: the object is already owned by a std::shared_ptr (not from within its
  // constructor), else the callback never runs.
  template <class F>
  auto wrap(F fn) {
    return [fn = std::move(fn), weak = this->weak_from_this()](auto&&... args) mutable {
      if (auto self = weak.lock()) fn(std::forward<decltype(args)>(args)...);
    };
  }

 protected:
  bk_shared_callback_wrapper() = default;
  ~bk_shared_callback_wrapper() = default;
};
