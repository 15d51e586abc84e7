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

std::chrono::milliseconds to_interval(std::uint64_t ms) {
  constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms < most ? ms : most));
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
      timeouts(io),
      path_source(std::move(path_source)),
      timing(timing),
      self(std::make_shared<bk_lumend_t*>(this)) {
  timeout_connection =
      timeouts.expired.connect([this](const std::uint32_t& serial) { on_check_timeout(serial); });
}

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
  const std::uint32_t serial = tie->check(sha1, size);
  pending[serial] = std::move(callback);
  timeouts.add(bk_timed_queue_t::deadline_after(to_interval(timeout_ms)), serial);
  timeouts.process();
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
  const callback_t callback = std::move(found->second);
  pending.erase(found);
  // A later check on another link may reuse this serial; its deadline is its own.
  timeouts.remove(serial);
  if (pending.empty()) arm_release_timer();
  if (result == make_error_code(vl::EC_NETWORK_TIMEDOUT)) {
    count_error(result);
  } else {
    error_count = 0;
  }
  callback(result, virus);
}

void bk_lumend_t::on_check_timeout(std::uint32_t serial) {
  const auto found = pending.find(serial);
  // Answered or failed already.
  if (found == pending.end()) return;
  CF_LOG(kLogDebug, "LumenD: check timed out for serial " + std::to_string(serial));
  const callback_t callback = std::move(found->second);
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
  // Every deadline belongs to a check answered below.
  timeouts.clear();
  // Callbacks may check again: what they add is not failed here.
  auto failed_pending = std::exchange(pending, {});
  auto failed_waiting = std::exchange(waiting, {});
  for (auto& entry : failed_pending) entry.second(code, std::nullopt);
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

void bk_lumend_t::arm_release_timer() {
  release_timer.expires_at(bk_timed_queue_t::deadline_after(timing.release));
  release_timer.async_wait(
      [alive = std::weak_ptr<bk_lumend_t*>(self)](const boost::system::error_code& error) {
        if (const auto owner = alive.lock()) (*owner)->on_release_timer(error);
      });
}

void bk_lumend_t::on_release_timer(const boost::system::error_code& error) {
  // Re-armed; the newer wait decides.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, "LumenD release timer: " + error.message());
    return;
  }
  // This wait had completed before a re-arm that its completion could not see.
  if (release_timer.expiry() > bk_timed_queue_t::clock_t::now()) return;
  if (pending.empty()) drop_link();
}

void bk_lumend_t::arm_recovery_timer() {
  recovery_timer.expires_at(bk_timed_queue_t::deadline_after(timing.recovery));
  recovery_timer.async_wait(
      [alive = std::weak_ptr<bk_lumend_t*>(self)](const boost::system::error_code& error) {
        if (const auto owner = alive.lock()) (*owner)->on_recovery_timer(error);
      });
}

void bk_lumend_t::on_recovery_timer(const boost::system::error_code& error) {
  // Re-armed by a further error while suspended; the newer wait decides.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, "LumenD recovery timer: " + error.message());
    return;
  }
  if (recovery_timer.expiry() > bk_timed_queue_t::clock_t::now()) return;
  CF_LOG(kLogDebug, "LumenD: resuming operation");
  error_count = kRecoveredErrors;
}
