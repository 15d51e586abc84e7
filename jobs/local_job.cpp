#include "jobs/local_job.h"

#include <atomic>
#include <charconv>
#include <sstream>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>

#include "core/core_inventory.h"
#include "framework/error.h"
#include "framework/log.h"

// Every line of the job is its name, ": " and the text, at Debug.
#define JOB_DEBUG(text) CF_LOG(kLogDebug, name_ + ": " + (text))

namespace {

std::atomic<std::uint32_t> local_job_counter{0};

std::string next_name() {
  // Formatted by hand: a string stream costs more than the rest of a small job's start.
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, ++local_job_counter, 16).ptr;
  return "Local job 0x" + std::string(digits, end);
}

// What scan_options gives while no request is queued (never asked in practice).
const bk::ScanOptions& default_options() {
  static const bk::ScanOptions options;
  return options;
}

}  // namespace

bk_local_job_t::bk_local_job_t(std::uint32_t job_id, bk_core_inventory_t& inventory)
    : bk_job_t(job_id, inventory),
      name_(next_name()),
      spool_(inventory),
      requests_(*this, hooks_, spool_),
      read_back_(*this, hooks_, spool_) {
  JOB_DEBUG(describe());
}

bk_local_job_t::~bk_local_job_t() {
  requests_.leave_scanner();
  JOB_DEBUG("Destroyed");
  // The spool goes last: it drops the segments, whose files are removed when their
  // last reference goes.
}

// ---------------------------------------------------------------------------
// Job interface

std::string bk_local_job_t::name() const {
  return name_;
}

std::string bk_local_job_t::describe() const {
  std::ostringstream text;
  text << "file " << boost::filesystem::path(spool_.path());
  return text.str();
}

std::uint64_t bk_local_job_t::data_size() const {
  return spool_.size();
}

std::uint32_t bk_local_job_t::scan_request_count() const {
  return spool_.request_count();
}

void bk_local_job_t::append_data(const std::shared_ptr<const std::string>& chunk) {
  if (reset_ || failed_ || !chunk || chunk->empty()) return;
  if (cure_requested_) {
    boost::asio::post(inventory.io_context, wrap([this] {
                        // One alarm for a burst of such chunks.
                        if (reset_ || failed_) return;
                        fail("Append data",
                             make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION),
                                                      "Append after cure request"),
                             false);
                      }));
    return;
  }
  const auto size = static_cast<std::uint32_t>(chunk->size());
  spool_.append(chunk, [weak = weak_from_this(),
                        size](const bk_threaded_local_file_t::size_result_t& result) {
    if (const std::shared_ptr<bk_local_job_t> self = weak.lock())
      self->on_data_appended(self, size, result);
  });
}

void bk_local_job_t::on_data_appended(const std::shared_ptr<bk_local_job_t>& self,
                                      std::uint32_t size,
                                      const bk_threaded_local_file_t::size_result_t& result) {
  if (reset_) return;
  if (const std::exception_ptr failure = util::failure_of(result)) {
    // The first failure tells; later writes of the same burst add nothing.
    if (failed_) return;
    fail("Append data", failure, data_size() != 0);
    return;
  }
  if (!delegate_) return;
  delegate_->on_resume(size);
  // The driver let go of the job during the call and may be gone.
  if (self.use_count() <= 1 || reset_ || !delegate_) return;
  delegate_->on_data_chunk_appended(job_id, size);
}

void bk_local_job_t::scan(const bk::ScanOptions& options) {
  if (reset_) return;
  JOB_DEBUG("Scan");
  if (options.cure()) cure_requested_ = true;
  requests_.add(options);
}

void bk_local_job_t::get_data(std::uint32_t max_chunk) {
  if (reset_) return;
  JOB_DEBUG("Get data " + std::to_string(max_chunk));
  if (read_back_.running()) {
    fail("Get data",
         make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION),
                                  "previous GET_DATA request is not handled yet"),
         false);
    return;
  }
  read_back_.start(max_chunk, requests_.settling());
}

void bk_local_job_t::data_reset() {
  if (reset_) return;
  read_back_.stop();
  boost::asio::post(inventory.io_context, wrap([this] {
                      if (!reset_ && delegate_) delegate_->on_data_reset_response(job_id);
                    }));
}

void bk_local_job_t::reset() {
  if (reset_) return;
  reset_ = true;
  failed_ = true;
  requests_.abandon();
  read_back_.stop();
}

// ---------------------------------------------------------------------------
// For the scanner

std::string bk_local_job_t::scan_path() const {
  return spool_.path();
}

const bk::ScanOptions& bk_local_job_t::scan_options() const {
  const bk::ScanOptions* options = spool_.front_request();
  return options ? *options : default_options();
}

void bk_local_job_t::on_scan_report(const vl::ScanReport& report) {
  requests_.on_engine_report(report);
}

void bk_local_job_t::on_scan_error(const std::exception_ptr& error, bool soft) {
  requests_.on_engine_error(error, soft);
}

// ---------------------------------------------------------------------------
// Failures and the parts' reports

void bk_local_job_t::fail(const char* context, const std::exception_ptr& error, bool soft,
                          bool usable) {
  CF_LOG(kLogDebug, name_ + ": " + context + ": " + exception_ptr_text(error));
  if (!usable) failed_ = true;
  // The alarm is the answer for the request in progress.
  requests_.abandon();
  if (delegate_) delegate_->on_alarm(job_id, error, soft);
}

void bk_local_job_t::part_hooks_t::on_request_failed(const char* context,
                                                     const std::exception_ptr& error, bool soft) {
  // A reset job tells nothing more.
  if (job_.reset_) return;
  // Only that request failed: the job stays usable, unless the driver resets it on
  // hearing of the failure. A soft-error client's driver may hand it the rest of
  // the file right then.
  job_.fail(context, error, soft, soft);
}

void bk_local_job_t::part_hooks_t::on_spool_settled() {
  job_.read_back_.on_spool_settled();
}

void bk_local_job_t::part_hooks_t::on_read_back_failed(const std::exception_ptr& error) {
  job_.fail("Get data", error, false);
}
