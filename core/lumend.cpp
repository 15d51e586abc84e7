#include "core/lumend.h"

#include <cerrno>
#include <limits>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "core/core_inventory.h"
#include "core/marrod_tie.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"

namespace {

// A check's timeout in the timer's unit. One longer than the clock can count is as
// good as none; the timer itself holds now + timeout at the clock's end.
boost::asio::steady_timer::duration to_interval(std::uint64_t ms) {
  using duration = boost::asio::steady_timer::duration;
  constexpr auto most = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(duration::max()).count());
  if (ms >= most) return duration::max();
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

// The configuration link answers every path request exactly once, on the event loop.
bk_lumend_t::bk_lumend_t(bk_core_inventory_t& inventory)
    : bk_lumend_t(inventory.io_context, [&inventory](path_callback_t callback) {
        inventory.marrod_tie->request_lumend(std::move(callback));
      }) {}

bk_lumend_t::bk_lumend_t(boost::asio::io_context& io, path_source_t path_source,
                         bk_lumend_timing_t timing)
    : io(io),
      release_timer(io),
      recovery_timer(io),
      path_source(std::move(path_source)),
      timing(timing),
      self(std::make_shared<bk_lumend_t*>(this)) {}

bk_lumend_t::~bk_lumend_t() {
  // Late completions and path replies are dropped from here on; callbacks that
  // check again are refused rather than queued.
  self.reset();
  enabled = false;
  fail_all(make_error_code(vl::EC_APP_TERMINATED));
}

void bk_lumend_t::configure(const vl::BrelConfig& config) {
  set_enabled(config.use_cloud());
}

void bk_lumend_t::set_enabled(bool use_cloud) {
  enabled = use_cloud;
  if (!enabled) fail_all(make_error_code(vl::EC_NO_LUMEND));
}

void bk_lumend_t::check(const std::string& sha1, std::uint64_t size, callback_t callback,
                        std::uint64_t timeout_ms) {
  if (!enabled || suspended()) {
    boost::asio::post(io, [callback = std::move(callback)] {
      callback(make_error_code(vl::EC_NO_LUMEND), std::nullopt);
    });
    return;
  }
  if (!tie) {
    waiting.push_back(queued_check_t{sha1, size, std::move(callback), timeout_ms});
    acquire_lumend();
    return;
  }
  // A serial still pending after the link's counter wrapped is skipped: each answer
  // must find its own check.
  const std::uint32_t serial =
      tie->check(sha1, size, [this](std::uint32_t taken) { return pending.count(taken) > 0; });
  pending_check_t& sent = pending
                              .emplace(serial, pending_check_t{std::move(callback), ++checks_sent,
                                                               boost::asio::steady_timer(io)})
                              .first->second;
  sent.deadline.expires_after(to_interval(timeout_ms));
  sent.deadline.async_wait([alive = std::weak_ptr<bk_lumend_t*>(self), serial,
                            number = sent.number](const boost::system::error_code& error) {
    if (const auto owner = alive.lock()) (*owner)->on_check_timer(serial, number, error);
  });
}

// ---------------------------------------------------------------------------
// Getting a link

void bk_lumend_t::acquire_lumend() {
  if (acquiring || tie || connecting || !enabled || suspended()) return;
  // Set first: a path source may answer before it returns.
  acquiring = true;
  std::weak_ptr<bk_lumend_t*> alive = self;
  auto reply = [alive](const std::exception_ptr& error, const boost::filesystem::path& path) {
    if (const auto owner = alive.lock()) (*owner)->on_lumend_path(error, path);
  };
  try {
    path_source(reply);
  } catch (...) {
    // Failing the checks here would call them back from inside `check`.
    boost::asio::post(
        io, [reply, error = std::current_exception()] { reply(error, boost::filesystem::path()); });
  }
}

void bk_lumend_t::on_lumend_path(const std::exception_ptr& error,
                                 const boost::filesystem::path& path) {
  acquiring = false;
  try {
    if (error) std::rethrow_exception(error);
    connecting = bk_lumend_tie_t::connect(
        io, path, this,
        [alive = std::weak_ptr<bk_lumend_t*>(self)](const std::exception_ptr& failure) {
          if (const auto owner = alive.lock()) (*owner)->on_lumend_connected(failure);
        });
  } catch (...) {
    lumend_unavailable(std::current_exception());
  }
}

void bk_lumend_t::on_lumend_connected(const std::exception_ptr& failure) {
  std::shared_ptr<bk_lumend_tie_t> connected = std::move(connecting);
  connecting.reset();
  try {
    if (failure) std::rethrow_exception(failure);
    tie = std::move(connected);
    arm_release_timer();
    flush_queue();
  } catch (...) {
    lumend_unavailable(std::current_exception());
  }
}

void bk_lumend_t::lumend_unavailable(const std::exception_ptr& error) {
  CF_LOG(kLogWarning, "Cannot get LumenD: " + exception_ptr_text(error));
  const auto no_lumend = make_error_code(vl::EC_NO_LUMEND);
  count_error(no_lumend);
  fail_all(no_lumend);
}

void bk_lumend_t::flush_queue() {
  // Oldest first. An entry leaves the queue only once sent, so a check that cannot
  // be framed is still there for the caller's failure handling to answer.
  while (tie && !waiting.empty()) {
    const queued_check_t& front = waiting.front();
    check(front.sha1, front.size, front.callback, front.timeout_ms);
    waiting.pop_front();
  }
}

// ---------------------------------------------------------------------------
// Answers

void bk_lumend_t::on_check_result(std::uint32_t serial, const boost::system::error_code& result,
                                  const std::optional<vl::Virus>& virus) {
  const auto found = pending.find(serial);
  if (found == pending.end()) {
    CF_LOG(kLogDebug, "LumenD: Dropped check result, serial=" + std::to_string(serial));
    return;
  }
  const callback_t callback = std::move(found->second.callback);
  // Its deadline goes with it: a later check on another link may reuse the serial.
  pending.erase(found);
  if (pending.empty()) arm_release_timer();
  if (result == make_error_code(vl::EC_NETWORK_TIMEDOUT)) {
    count_error(result);
  } else {
    error_count = 0;
  }
  callback(result, virus);
}

void bk_lumend_t::on_check_timer(std::uint32_t serial, std::uint64_t number,
                                 const boost::system::error_code& error) {
  // Answered or failed: the timer went with its entry.
  if (error == boost::asio::error::operation_aborted) return;
  const auto found = pending.find(serial);
  // Answered or failed after the wait had completed, or the serial names a later check.
  if (found == pending.end() || found->second.number != number) return;
  // No other wait would ever answer the check: it times out now.
  if (error) CF_LOG(kLogError, "LumenD check timer: " + error.message());
  CF_LOG(kLogDebug, "LumenD: check timed out for serial " + std::to_string(serial));
  const callback_t callback = std::move(found->second.callback);
  pending.erase(found);
  // Otherwise a link whose last check timed out would never be released.
  if (pending.empty() && tie) arm_release_timer();
  callback(boost::system::error_code(ETIMEDOUT, boost::system::system_category()), std::nullopt);
}

void bk_lumend_t::on_link_error(const boost::system::error_code& error) {
  const boost::system::error_code code =
      error == boost::asio::error::eof ? make_error_code(vl::EC_LINK_DISCONNECTED) : error;
  CF_LOG(kLogWarning, "LumenD: " + code.message());
  count_error(code);
  fail_all(code);
}

// ---------------------------------------------------------------------------
// Failures

void bk_lumend_t::count_error(const boost::system::error_code& error) {
  if (error_count < std::numeric_limits<std::int32_t>::max()) ++error_count;
  if (!suspended()) return;
  CF_LOG(kLogDebug, "LumenD: too many errors, suspending operation");
  arm_recovery_timer();
  fail_all(error);
}

void bk_lumend_t::fail_all(const boost::system::error_code& error) {
  const boost::system::error_code code = error;
  drop_link();
  // A connect under way is given up too: the checks it was for are answered here.
  if (const auto dropped = std::move(connecting)) dropped->close();
  // Callbacks may check again: what they add is not failed here. The deadlines of
  // the checks failed here go with them.
  auto failed_pending = std::exchange(pending, {});
  auto failed_waiting = std::exchange(waiting, {});
  for (auto& entry : failed_pending) entry.second.callback(code, std::nullopt);
  for (auto& entry : failed_waiting) entry.callback(code, std::nullopt);
}

void bk_lumend_t::drop_link() {
  if (!tie) return;
  const auto closing = std::move(tie);
  tie.reset();
  closing->close();
}

// ---------------------------------------------------------------------------
// Timers

void bk_lumend_t::start_timer(boost::asio::steady_timer& timer, std::chrono::milliseconds interval,
                              const char* name, void (bk_lumend_t::*expired)()) {
  timer.expires_after(interval);
  timer.async_wait([alive = std::weak_ptr<bk_lumend_t*>(self), &timer, name,
                    expired](const boost::system::error_code& error) {
    if (const auto owner = alive.lock()) (*owner)->on_timer(timer, name, expired, error);
  });
}

void bk_lumend_t::on_timer(const boost::asio::steady_timer& timer, const char* name,
                           void (bk_lumend_t::*expired)(), const boost::system::error_code& error) {
  // Re-armed; the newer wait decides.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, name + (": " + error.message()));
    return;
  }
  // This wait had completed before a re-arm that its completion could not see.
  if (timer.expiry() > boost::asio::steady_timer::clock_type::now()) return;
  (this->*expired)();
}

void bk_lumend_t::arm_release_timer() {
  start_timer(release_timer, timing.release, "LumenD release timer", &bk_lumend_t::release_link);
}

void bk_lumend_t::release_link() {
  if (pending.empty()) drop_link();
}

void bk_lumend_t::arm_recovery_timer() {
  start_timer(recovery_timer, timing.recovery, "LumenD recovery timer", &bk_lumend_t::recover);
}

void bk_lumend_t::recover() {
  CF_LOG(kLogDebug, "LumenD: resuming operation");
  error_count = kRecoveredErrors;
}
