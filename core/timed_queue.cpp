#include "core/timed_queue.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "framework/log.h"

bk_timed_queue_t::bk_timed_queue_t(boost::asio::io_context& io)
    : timer(io), self(std::make_shared<bk_timed_queue_t*>(this)) {}

bk_timed_queue_t::~bk_timed_queue_t() = default;

bk_timed_queue_t::clock_t::time_point bk_timed_queue_t::deadline_after(
    std::chrono::milliseconds interval) {
  const auto now = clock_t::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_t::time_point::max() - now);
  if (interval >= room) return clock_t::time_point::max();
  return now + interval;
}

void bk_timed_queue_t::add(clock_t::time_point deadline, std::uint32_t serial) {
  remove(serial);
  // Inserting at upper_bound keeps equal deadlines in insertion order.
  const auto it = entries.emplace(deadline, serial);
  by_serial[serial] = it;
}

void bk_timed_queue_t::remove(std::uint32_t serial) {
  const auto found = by_serial.find(serial);
  if (found == by_serial.end()) return;
  entries.erase(found->second);
  by_serial.erase(found);
}

void bk_timed_queue_t::clear() {
  entries.clear();
  by_serial.clear();
}

void bk_timed_queue_t::process() {
  // A slot may add, remove or process again; only the head is looked at, afresh
  // each round, and it is gone before its serial is emitted.
  const std::weak_ptr<bk_timed_queue_t*> alive = self;
  while (!entries.empty() && clock_t::now() >= entries.begin()->first) {
    const std::uint32_t serial = entries.begin()->second;
    by_serial.erase(serial);
    entries.erase(entries.begin());
    expired(serial);
    if (alive.expired()) return;
  }
  if (!entries.empty()) {
    try {
      timer.expires_at(entries.begin()->first);
    } catch (const boost::system::system_error& e) {
      throw boost::system::system_error(e.code(), "expires_at");
    }
    start_wait();
  } else {
    try {
      timer.cancel();
    } catch (const boost::system::system_error& e) {
      throw boost::system::system_error(e.code(), "cancel");
    }
  }
}

void bk_timed_queue_t::start_wait() {
  timer.async_wait(
      [alive = std::weak_ptr<bk_timed_queue_t*>(self)](const boost::system::error_code& error) {
        const auto owner = alive.lock();
        if (!owner) return;
        (*owner)->on_wait(error);
      });
}

void bk_timed_queue_t::on_wait(const boost::system::error_code& error) {
  // Re-arming or cancelling replaced this wait; the newer one is in charge.
  if (error == boost::asio::error::operation_aborted) return;
  // After a failed wait the deadlines are looked at all the same: what is due
  // expires, and the timer is armed again for the rest.
  if (error) CF_LOG(kLogError, "Timed queue timer: " + error.message());
  process();
}
