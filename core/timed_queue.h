// The deadline list of the cloud-lookup manager: one entry per sent check, keyed by
// its deadline on the steady clock, and one timer armed for the earliest deadline.
// When a deadline passes, `expired` is emitted with the check's serial.
//
// Owned by value by bk_lumend_t; the timer's handler holds only a weak token, so a
// completion that arrives after destruction does nothing. Main thread only.
// Slots of `expired` may call `add`, `remove`, `clear` and `process` again: each
// entry is erased before its serial is emitted, and no iterator is held across it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/signal.hpp>

class bk_timed_queue_t {
 public:
  using clock_t = std::chrono::steady_clock;
  using expired_signal_t = boost::signals2::signal<void(const std::uint32_t&)>;

  explicit bk_timed_queue_t(boost::asio::io_context& io);
  ~bk_timed_queue_t();
  bk_timed_queue_t(const bk_timed_queue_t&) = delete;
  bk_timed_queue_t& operator=(const bk_timed_queue_t&) = delete;

  // Now plus `interval`, saturating at the clock's maximum.
  static clock_t::time_point deadline_after(std::chrono::milliseconds interval);

  // Adds a deadline; entries with equal deadlines expire in the order added.
  // A serial already present keeps only its newest deadline. Call `process` to
  // re-arm the timer.
  void add(clock_t::time_point deadline, std::uint32_t serial);
  // Drops the deadline of `serial`, if any, so it can never expire for a later
  // check that reuses the serial. The timer is left as it is: an early wake-up
  // finds nothing due and re-arms for what remains.
  void remove(std::uint32_t serial);
  void clear();

  // Emits `expired` for (and removes) every entry whose deadline has passed, then
  // arms the timer for the earliest remaining one, or cancels it.
  // Throws boost::system::system_error when the timer cannot be set. A failed wait
  // is logged at Error ("Timed queue timer: ") and processed like an expiry.
  void process();

  bool empty() const { return entries.empty(); }
  std::size_t size() const { return entries.size(); }

  expired_signal_t expired;

 private:
  // Tests hand the timer's handler a failure no real timer can be made to give.
  friend class bk_timed_queue_test_access_t;

  using entries_t = std::multimap<clock_t::time_point, std::uint32_t>;

  void start_wait();
  void on_wait(const boost::system::error_code& error);

  // Event loop only.
  entries_t entries;
  std::map<std::uint32_t, entries_t::iterator> by_serial;
  boost::asio::steady_timer timer;
  // Handlers hold a weak reference: a late completion after destruction is dropped.
  std::shared_ptr<bk_timed_queue_t*> self;
};
