// One blocking step on the task-queue worker whose outcome, the step's value or
// the exception it threw, is handed to a next step on the event loop.
//
// Both steps run only while their owner lives: each holds the owner weakly and is
// skipped (nothing is delivered) when it is gone by then. While the worker step
// runs it keeps the owner alive, so an owner released meanwhile by the event loop
// dies on the worker. The steps' captures may likewise be destroyed on either
// thread. make_async_chain is called on the event loop.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "core/task_queue.h"

namespace util {

// What a worker step gives: its value, or the exception it threw (never null).
template <class T>
using outcome_t = std::variant<T, std::exception_ptr>;

// The failure an outcome holds, null when it holds a value.
template <class T>
std::exception_ptr failure_of(const outcome_t<T>& outcome) {
  const std::exception_ptr* failure = std::get_if<std::exception_ptr>(&outcome);
  return failure ? *failure : std::exception_ptr();
}

// `step(Owner&) -> T` runs on the worker; `next(Owner&, outcome_t<T>)` runs on the
// event loop. Both must be copyable.
// REQUIRES: `queue` and `io` outlive every task posted.
template <class Owner, class Step, class Next>
void make_async_chain(bk_task_queue_t& queue, boost::asio::io_context& io,
                      std::weak_ptr<Owner> owner, Step step, Next next) {
  using result_t = outcome_t<std::decay_t<std::invoke_result_t<Step&, Owner&>>>;
  queue.post([&io, owner, step = std::move(step), next = std::move(next)]() mutable {
    std::optional<result_t> result;
    {
      const std::shared_ptr<Owner> self = owner.lock();
      if (!self) return;
      try {
        result.emplace(std::in_place_index<0>, step(*self));
      } catch (...) {
        result.emplace(std::in_place_index<1>, std::current_exception());
      }
    }
    boost::asio::post(io, [owner = std::move(owner), next = std::move(next),
                           result = std::move(*result)]() mutable {
      if (const std::shared_ptr<Owner> self = owner.lock()) next(*self, std::move(result));
    });
  });
}

// As make_async_chain for a step that returns nothing; `next(Owner&, std::exception_ptr)`
// gets a null pointer on success.
template <class Owner, class Step, class Next>
void make_async_chain_void(bk_task_queue_t& queue, boost::asio::io_context& io,
                           std::weak_ptr<Owner> owner, Step step, Next next) {
  make_async_chain(
      queue, io, std::move(owner),
      [step = std::move(step)](Owner& self) mutable {
        step(self);
        return std::monostate();
      },
      [next = std::move(next)](Owner& self, outcome_t<std::monostate> result) mutable {
        next(self, failure_of(result));
      });
}

}  // namespace util
