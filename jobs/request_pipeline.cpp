#include "jobs/request_pipeline.h"

#include <sstream>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>

#include "core/core_inventory.h"
#include "core/digest_pool.h"
#include "core/lumend.h"
#include "core/scan_report_helpers.h"
#include "core/scanner.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/local_job.h"
#include "jobs/spool.h"

// Every line is the job's name, ": " and the text, at Debug.
#define JOB_DEBUG(text) CF_LOG(kLogDebug, job_.name() + ": " + (text))

namespace {

bool lists_hash(const bk::ScanOptions& options, bk::HashType type) {
  for (const int listed : options.threat_hash())
    if (listed == type) return true;
  return false;
}

}  // namespace

bk_request_pipeline_t::bk_request_pipeline_t(bk_local_job_t& job, delegate_t& delegate,
                                             bk_spool_t& spool)
    : job_(job), delegate_(delegate), spool_(spool), scanner_(job.inventory.scanner) {}

void bk_request_pipeline_t::add(const bk::ScanOptions& options) {
  // The scanner weighs the job by the requests counted before this one.
  if (const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock()) scanner->add_scan(job_);
  spool_.add_request(options);
  if (spool_.request_count() == 1) next_step();
}

void bk_request_pipeline_t::leave_scanner() {
  if (const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock()) {
    // Nothing the engine would still answer is wanted; a request not sent yet is
    // not sent at all.
    if (engine_serial_ != 0) scanner->cancel(engine_serial_);
    scanner->remove_job(job_);
  }
}

// ---------------------------------------------------------------------------
// One request

void bk_request_pipeline_t::next_step() {
  // A request in progress, or a merge under way, starts the next one when it ends.
  if (delegate_.failed() || in_progress_ || unlocking_) return;
  asked_ = bk_verdict_request_t();
  digests_ = bk_hash_values_t();
  digests_ready_ = false;
  engine_report_.reset();
  cloud_report_.reset();

  const bk::ScanOptions* options = spool_.front_request();
  if (!options) {
    unlock();
    return;
  }
  in_progress_ = true;
  ++request_number_;
  // The engine reads the file from its path: everything written so far must be on
  // disk first, once for scans and once more before a cure.
  if (spool_.synced_for(options->cure())) {
    start_checks();
  } else {
    sync();
  }
}

void bk_request_pipeline_t::sync() {
  spool_.sync(spool_.front_request()->cure(),
              job_.wrap([this, request = request_number_](std::exception_ptr failure) {
                on_synced(request, failure);
              }));
}

void bk_request_pipeline_t::on_synced(std::uint64_t request, const std::exception_ptr& failure) {
  if (request != request_number_ || !in_progress_) return;
  if (failure) {
    fail("File locking", failure);
    return;
  }
  start_checks();
}

void bk_request_pipeline_t::start_checks() {
  const bk::ScanOptions& options = *spool_.front_request();
  const bool sha1 = lists_hash(options, bk::SHA1) || job_.inventory.use_cloud;
  const bool sha256 = lists_hash(options, bk::SHA256);
  asked_.hashed = sha1 || sha256;
  asked_.lists_digests = options.threat_hash_size() > 0;
  asked_.cure = options.cure();
  asked_.component_info = options.report_component_info();
  if (!asked_.hashed) {
    submit();
    return;
  }
  // A cure changes the file: the digests are of the data as it was sent.
  calculate_hash(sha1, sha256);
  if (!asked_.cure) submit();
}

void bk_request_pipeline_t::submit() {
  const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock();
  if (!scanner) {
    // Shutting down: nothing will scan the request, so it fails now (posted, as an
    // answer never comes from inside the driver's call).
    boost::asio::post(job_.inventory.io_context, job_.wrap([this, request = request_number_] {
      if (request != request_number_ || !in_progress_) return;
      scan_failed(make_error_exception_ptr(make_error_code(vl::EC_NO_SCAN_ENGINE)), true);
    }));
    return;
  }
  engine_serial_ = scanner->submit(job_.weak_from_this());
}

void bk_request_pipeline_t::calculate_hash(bool sha1, bool sha256) {
  job_.inventory.digest_pool->hash_file(
      sha1, sha256, spool_.path(),
      job_.wrap([this, request = request_number_](std::exception_ptr failure,
                                                  const bk_hash_values_t& values) {
        on_hashes(request, failure, values);
      }));
}

void bk_request_pipeline_t::on_hashes(std::uint64_t request, const std::exception_ptr& failure,
                                      const bk_hash_values_t& values) {
  // The digests of an earlier request say nothing about this one.
  if (request != request_number_ || !in_progress_) return;
  if (failure) {
    fail("Hash calculation", failure);
    return;
  }
  digests_ = values;
  digests_ready_ = true;
  cloud_check();
  // The engine may have answered while the digests were computed.
  finish_request();
  if (request == request_number_ && in_progress_ && asked_.cure) submit();
}

void bk_request_pipeline_t::cloud_check() {
  const auto cancel = std::make_shared<bool>(false);
  cloud_cancel_ = cancel;
  bk_core_inventory_t& inventory = job_.inventory;
  if (!inventory.use_cloud || digests_.sha1.empty() || !inventory.lumend) {
    cloud_report_ = make_scan_report();
    return;
  }
  JOB_DEBUG("Cloud check: request");
  try {
    inventory.lumend->check(
        digests_.sha1, spool_.main_size(),
        job_.wrap([this, request = request_number_, cancel](const boost::system::error_code& result,
                                                            const std::optional<vl::Virus>& virus) {
          on_cloud_answer(request, cancel, result, virus);
        }),
        kCloudTimeoutMs);
  } catch (const std::exception& e) {
    // No cloud verdict: the engine alone decides.
    JOB_DEBUG(std::string("Cloud check: ") + exception_text(e));
  }
}

void bk_request_pipeline_t::on_cloud_answer(std::uint64_t request,
                                            const std::shared_ptr<bool>& cancel,
                                            const boost::system::error_code& result,
                                            const std::optional<vl::Virus>& virus) {
  // Its request was answered or failed, or another one runs now.
  if (*cancel || request != request_number_ || !in_progress_) return;
  if (error_code_to_error_enum(result) == vl::EC_NO_LUMEND) {
    // No verdict: the answer rests on the engine, which may have answered already.
    finish_request();
    return;
  }
  if (result) {
    JOB_DEBUG("Cloud check: " + result.message());
  } else if (virus) {
    JOB_DEBUG("Cloud check: found " + virus->name());
  } else {
    JOB_DEBUG("Cloud check: clean");
  }
  // A failed lookup is no verdict of a threat.
  cloud_report_ = make_scan_report(result ? std::nullopt : virus);
  finish_request();
}

void bk_request_pipeline_t::on_engine_report(const vl::ScanReport& report) {
  // Only the request in flight has an engine answer coming.
  if (engine_serial_ == 0 || !in_progress_) return;
  JOB_DEBUG("Scan report received");
  engine_report_ = report;
  engine_serial_ = 0;
  finish_request();
}

void bk_request_pipeline_t::on_engine_error(const std::exception_ptr& error, bool soft) {
  if (engine_serial_ == 0 || !in_progress_) return;
  engine_serial_ = 0;
  scan_failed(error, soft);
}

void bk_request_pipeline_t::finish_request() {
  if (!in_progress_) return;
  const std::optional<vl::ScanReport> report =
      bk_scan_verdict(asked_, digests_ready_, std::move(engine_report_), std::move(cloud_report_));
  if (report) answer(*report);
}

void bk_request_pipeline_t::answer(const vl::ScanReport& report) {
  const std::shared_ptr<bk_local_job_t> self = job_.shared_from_this();
  if (report.has_new_path() && !spool_.follow_move(report.new_path()) &&
      kLogDebug >= log_threshold) {
    std::ostringstream text;
    text << job_.name() << ": Ignored new path " << boost::filesystem::path(report.new_path());
    log_message(kLogDebug, text.str());
  }
  spool_.pop_request();
  const bk_hash_values_t digests = std::move(digests_);
  // Started before the driver hears of the answer, so that a GET_DATA it sends at
  // once reads the cured file whole.
  if (asked_.cure || report.has_new_path()) refresh_size();
  abandon();
  if (bk_job_t::delegate* driver = job_.get_delegate())
    driver->on_scan_response(job_.job_id, report, digests);
  next_step();
}

void bk_request_pipeline_t::scan_failed(const std::exception_ptr& error, bool soft) {
  const std::shared_ptr<bk_local_job_t> self = job_.shared_from_this();
  // A failed cure may have left the file half cured: the data is not worth reading.
  if (spool_.front_request()->cure()) soft = false;
  spool_.pop_request();
  delegate_.on_request_failed("Scan error", error, soft);
  if (!soft) return;
  // The requests queued behind go on, unless the driver drops the job on hearing
  // of the failure.
  if (spool_.request_count() != 0)
    boost::asio::post(job_.inventory.io_context, job_.wrap([this] { next_step(); }));
}

void bk_request_pipeline_t::fail(const char* context, const std::exception_ptr& error) {
  delegate_.on_request_failed(context, error, false);
}

void bk_request_pipeline_t::abandon() {
  if (const std::shared_ptr<bool> cancel = cloud_cancel_.lock()) *cancel = true;
  cloud_cancel_.reset();
  if (engine_serial_ != 0) {
    if (const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock())
      scanner->cancel(engine_serial_);
    engine_serial_ = 0;
  }
  if (in_progress_) {
    in_progress_ = false;
    ++request_number_;
  }
}

// ---------------------------------------------------------------------------
// Between requests

void bk_request_pipeline_t::unlock() {
  JOB_DEBUG("Unlock after scanning");
  unlocking_ = true;
  spool_.unlock(job_.wrap([this](std::exception_ptr failure) { on_unlocked(failure); }));
}

void bk_request_pipeline_t::on_unlocked(const std::exception_ptr& failure) {
  unlocking_ = false;
  if (failure) {
    fail("Unlock", failure);
    return;
  }
  if (!refreshing_) delegate_.on_spool_settled();
  // One patch is merged per call: a request queued on a later segment runs once
  // every earlier patch is part of the main file.
  if (spool_.request_count() != 0) next_step();
}

void bk_request_pipeline_t::refresh_size() {
  refreshing_ = true;
  spool_.refresh_size(
      job_.wrap([this](std::exception_ptr failure) { on_size_refreshed(failure); }));
}

void bk_request_pipeline_t::on_size_refreshed(const std::exception_ptr& failure) {
  refreshing_ = false;
  if (failure) {
    // The merge or size refresh that follows may tell the same.
    if (!delegate_.failed()) fail("Unlock", failure);
    return;
  }
  if (!unlocking_) delegate_.on_spool_settled();
}
