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

// Holds exactly one of a left value (by convention the failure) or a right value.
template <class L, class R>
class either_t {
 public:
  static either_t from_left(L value) { return either_t(std::in_place_index<0>, std::move(value)); }
  static either_t from_right(R value) { return either_t(std::in_place_index<1>, std::move(value)); }

  bool is_left() const { return value_.index() == 0; }
  bool is_right() const { return value_.index() == 1; }
  // REQUIRES: is_left().
  const L& left() const { return std::get<0>(value_); }
  // REQUIRES: is_right().
  const R& right() const { return std::get<1>(value_); }
  R& right() { return std::get<1>(value_); }

 private:
  template <std::size_t I, class V>
  either_t(std::in_place_index_t<I> index, V&& value) : value_(index, std::forward<V>(value)) {}

  std::variant<L, R> value_;
};

// The value of a step that returns nothing.
struct none_t {};

// `step(Owner&) -> T` runs on the worker; `next(Owner&, either_t<std::exception_ptr, T>)`
// runs on the event loop. Both must be copyable.
// REQUIRES: `queue` and `io` outlive every task posted.
template <class Owner, class Step, class Next>
void make_async_chain(bk_task_queue_t& queue, boost::asio::io_context& io,
                      std::weak_ptr<Owner> owner, Step step, Next next) {
  using value_t = std::decay_t<std::invoke_result_t<Step&, Owner&>>;
  using result_t = either_t<std::exception_ptr, value_t>;
  queue.post([&io, owner, step = std::move(step), next = std::move(next)]() mutable {
    std::optional<result_t> result;
    {
      const std::shared_ptr<Owner> self = owner.lock();
      if (!self) return;
      try {
        result.emplace(result_t::from_right(step(*self)));
      } catch (...) {
        result.emplace(result_t::from_left(std::current_exception()));
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
        return none_t{};
      },
      [next = std::move(next)](Owner& self, either_t<std::exception_ptr, none_t> result) mutable {
        next(self, result.is_left() ? result.left() : std::exception_ptr());
      });
}

}  // namespace util
