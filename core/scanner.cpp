#include "core/scanner.h"

#include <algorithm>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/core_inventory.h"
#include "core/marrod_tie.h"
#include "core/scan_report_helpers.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "schemas/scan_report.pb.h"

namespace {

// A job weighs its pending requests, and at least 1 while it exists.
std::uint32_t job_weight(const bk_scanner_t::scan_job_t& job) {
  return std::max<std::uint32_t>(job.scan_request_count(), 1);
}

std::uint64_t job_bytes(const bk_scanner_t::scan_job_t& job) {
  return job_load_bytes(job.data_size(), job.scan_request_count());
}

std::uint32_t saturating_sub32(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::uint32_t>(saturating_sub(a, b));
}

}  // namespace

bk_scanner_t::bk_scanner_t(bk_core_inventory_t& inventory)
    : bk_scanner_t(inventory, inventory.io_context, [&inventory](se_path_callback_t callback) {
        inventory.marrod_tie->request_se(std::move(callback));
      }) {}

bk_scanner_t::bk_scanner_t(bk_core_inventory_t& inventory, boost::asio::io_context& io,
                           se_path_source_t se_path_source)
    : inventory_(inventory),
      io_(io),
      se_path_source_(std::move(se_path_source)),
      release_timer_(io) {}

bk_scanner_t::~bk_scanner_t() {
  CF_LOG(kLogDebug, "Scanner: destroyed");
  try {
    release_timer_.cancel();
  } catch (const boost::system::system_error&) {
    // The timer dies with us; its handler holds only a weak reference.
  }
  drop_link();
}

// ---------------------------------------------------------------------------
// Configuration and figures

void bk_scanner_t::reconfigure(const vl::BrelConfig& config) {
  is_se_installed_ = config.is_se_installed();
  se_max_forks_ = config.se_max_forks();
  // Only the first configuration starts the engine early; later ones leave the
  // link to the first job that needs it, and switching the engine off drops nothing.
  if (is_se_installed_ && first_config_ && !config.actual_start()) acquire_se();
  first_config_ = false;
}

void bk_scanner_t::recount_load() {
  load_jobs_ = 0;
  load_bytes_ = 0;
  for (const auto& entry : jobs_) {
    const std::shared_ptr<scan_job_t> job = entry.second.lock();
    if (!job) continue;
    load_jobs_ += job_weight(*job);
    load_bytes_ += job_bytes(*job);
  }
}

// ---------------------------------------------------------------------------
// Jobs

void bk_scanner_t::prepare_job() {
  try {
    release_timer_.cancel();
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "cancel");
  }
  acquire_se();
}

void bk_scanner_t::register_job(const std::shared_ptr<scan_job_t>& job) {
  jobs_.emplace(job.get(), job);
  load_jobs_ += 1;
}

void bk_scanner_t::remove_job(scan_job_t& job) {
  load_jobs_ = saturating_sub32(load_jobs_, job_weight(job));
  load_bytes_ = saturating_sub(load_bytes_, job_bytes(job));
  jobs_.erase(&job);
  if (is_idle()) arm_release_timer();
}

void bk_scanner_t::add_scan(scan_job_t& job) {
  // A job's first request leaves its weight at 1; each further one adds a unit.
  if (job.scan_request_count() >= 1) {
    load_jobs_ += 1;
    load_bytes_ += job.data_size();
  }
}

std::uint32_t bk_scanner_t::submit(const std::weak_ptr<scan_job_t>& job) {
  const std::uint32_t request_id = next_request_id();
  queued_.push_back(queued_request_t{job, request_id});
  if (link_) {
    pump();
  } else {
    acquire_se();
  }
  return request_id;
}

void bk_scanner_t::cancel(std::uint32_t request_id) {
  auto& queued = queued_.get<by_request_id>();
  auto queued_it = queued.find(request_id);
  if (queued_it != queued.end()) {
    queued.erase(queued_it);
    return;
  }
  auto& in_flight = in_flight_.get<by_request_id>();
  auto in_flight_it = in_flight.find(request_id);
  if (in_flight_it != in_flight.end()) {
    in_flight.modify(in_flight_it, [](in_flight_request_t& r) { r.cancelled = true; });
    return;
  }
  unsent_.erase(
      std::remove_if(unsent_.begin(), unsent_.end(),
                     [&](const unsent_request_t& r) { return r.request_id == request_id; }),
      unsent_.end());
}

// ---------------------------------------------------------------------------
// Engine link

void bk_scanner_t::acquire_se() {
  if (link_ || acquiring_ || connecting_) return;
  acquiring_ = true;
  try {
    se_path_source_([self = shared_from_this()](const std::exception_ptr& error,
                                                const boost::filesystem::path& path) {
      self->on_se_acquired(error, path);
    });
  } catch (...) {
    // No answer will come; the next job or request asks again.
    acquiring_ = false;
    throw;
  }
}

void bk_scanner_t::on_se_acquired(const std::exception_ptr& error,
                                  const boost::filesystem::path& path) {
  acquiring_ = false;
  try {
    if (error) std::rethrow_exception(error);
    connecting_ = bk_se_connector_t::connect(
        io_, path.string(), this, [weak = weak_from_this()](const std::exception_ptr& failure) {
          if (const auto self = weak.lock()) self->on_se_connected(failure);
        });
  } catch (const std::exception& e) {
    se_unavailable(e);
  }
}

void bk_scanner_t::on_se_connected(const std::exception_ptr& failure) {
  std::shared_ptr<bk_se_connector_t> connected = std::move(connecting_);
  connecting_.reset();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      se_unavailable(e);
    }
    return;
  }
  link_ = std::move(connected);
  arm_release_timer();
  pump();
  state_changed();
}

void bk_scanner_t::se_unavailable(const std::exception& error) {
  CF_LOG(kLogWarning, std::string("Cannot get ScanEngine: ") + exception_text(error));
  drop_link();
  fail_queued(make_error_exception_ptr(make_error_code(vl::EC_NO_SCAN_ENGINE)), true);
  state_changed();
}

void bk_scanner_t::pump() {
  while (link_ && !queued_.empty()) {
    const queued_request_t request = queued_.front();
    queued_.pop_front();
    const std::shared_ptr<scan_job_t> job = request.job.lock();
    // A job gone while its request waited uses up no serial.
    if (!job) continue;
    const std::uint32_t serial = next_serial();
    try {
      link_->send_scan(serial, job->scan_options(), job->scan_path());
    } catch (const std::exception& e) {
      // This request alone cannot go out; the link and the others are fine. The
      // job hears of it later, as pump may run inside the job's own submit.
      CF_LOG(kLogWarning, std::string("Scanner: ") + exception_text(e));
      unsent_.push_back(
          unsent_request_t{request.job, request.request_id, std::current_exception()});
      if (unsent_.size() == 1) {
        boost::asio::post(io_, [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->fail_unsent();
        });
      }
      continue;
    }
    in_flight_.insert(in_flight_request_t{request.job, request.request_id, serial, false});
  }
}

void bk_scanner_t::fail_unsent() {
  std::vector<unsent_request_t> failing;
  failing.swap(unsent_);
  for (const unsent_request_t& request : failing) {
    if (const std::shared_ptr<scan_job_t> job = request.job.lock())
      job->on_scan_error(request.error, true);
  }
}

void bk_scanner_t::fail_queued(const std::exception_ptr& error, bool soft) {
  // Only what waits now fails: a request a job makes while hearing of its failure
  // waits for the next link.
  queued_table_t failing;
  failing.swap(queued_);
  while (!failing.empty()) {
    const std::shared_ptr<scan_job_t> job = failing.front().job.lock();
    failing.pop_front();
    if (job) job->on_scan_error(error, soft);
  }
}

void bk_scanner_t::on_scan_result(std::uint32_t serial, const vl::ScanReport& report) {
  auto& by_serial_index = in_flight_.get<by_serial>();
  auto it = by_serial_index.find(serial);
  // An answer nobody waits for (a request cancelled and forgotten, or a confused
  // engine) changes nothing.
  if (it == by_serial_index.end()) return;
  const in_flight_request_t request = *it;
  by_serial_index.erase(it);
  // Held across the report: the driver may drop the job while it answers.
  const std::shared_ptr<scan_job_t> job = request.job.lock();
  if (!job) return;
  if (job->scan_request_count() > 1) load_jobs_ = saturating_sub32(load_jobs_, 1);
  load_bytes_ = saturating_sub(load_bytes_, job_bytes(*job));
  if (!request.cancelled) job->on_scan_report(report);
  load_bytes_ += job_bytes(*job);
}

void bk_scanner_t::on_link_error(const boost::system::error_code& error) {
  const boost::system::error_code code =
      error == boost::asio::error::eof ? make_error_code(vl::EC_LINK_DISCONNECTED) : error;
  CF_LOG(kLogWarning, "Scanner: " + code.message());
  drop_link();
  // Nothing is re-sent: every request that was waiting or in flight fails.
  for (const in_flight_request_t& request : in_flight_) {
    if (!request.cancelled && !request.job.expired())
      queued_.push_back(queued_request_t{request.job, request.request_id});
  }
  in_flight_.clear();
  fail_queued(make_error_exception_ptr(code), true);
}

void bk_scanner_t::drop_link() {
  // Closing also silences the link: a completion still pending reaches no one.
  if (const auto connecting = std::move(connecting_)) connecting->close();
  if (!link_) return;
  link_->close();
  link_.reset();
}

// ---------------------------------------------------------------------------
// Numbering

std::uint32_t bk_scanner_t::next_request_id() {
  // Ids wrap from 2^32 - 1 to 1 and skip any still waiting for an answer.
  const auto& queued = queued_.get<by_request_id>();
  const auto& in_flight = in_flight_.get<by_request_id>();
  for (;;) {
    if (++last_request_id_ == 0) last_request_id_ = 1;
    if (queued.count(last_request_id_) || in_flight.count(last_request_id_)) continue;
    if (std::any_of(unsent_.begin(), unsent_.end(),
                    [&](const unsent_request_t& r) { return r.request_id == last_request_id_; }))
      continue;
    return last_request_id_;
  }
}

std::uint32_t bk_scanner_t::next_serial() {
  // Serials wrap too, skipping 0 and any serial the engine has still to answer, so
  // that every answer names exactly one request.
  const auto& in_flight = in_flight_.get<by_serial>();
  do {
    if (++last_serial_ == 0) last_serial_ = 1;
  } while (in_flight.count(last_serial_));
  return last_serial_;
}

// ---------------------------------------------------------------------------
// Release timer

void bk_scanner_t::arm_release_timer() {
  try {
    release_timer_.expires_after(release_delay_);
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "expires_from_now");
  }
  release_timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    if (auto self = weak.lock()) self->on_release_timer(error);
  });
}

void bk_scanner_t::on_release_timer(const boost::system::error_code& error) {
  // Re-armed or cancelled by a new job.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, "SE release timer: " + error.message());
    return;
  }
  if (!is_idle() || !link_) return;
  drop_link();
  // With no live job, whatever is still in flight was cancelled or belongs to a job
  // that is gone; no answer to it can arrive on another link.
  in_flight_.clear();
}
