#include "jobs/local_job.h"

#include <atomic>
#include <charconv>
#include <sstream>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include "core/core_inventory.h"
#include "core/digest_pool.h"
#include "core/lumend.h"
#include "core/scan_report_helpers.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/job.h"

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

// A threat anywhere in the report tree.
bool infected(const vl::ScanReport& report) {
  if (report.virus_size() > 0) return true;
  for (const vl::ScanReport& item : report.item())
    if (infected(item)) return true;
  return false;
}

bool lists_hash(const bk::ScanOptions& options, bk::HashType type) {
  for (const int listed : options.threat_hash())
    if (listed == type) return true;
  return false;
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
      scanner_(inventory.scanner),
      detail_(std::make_unique<detail_t>(inventory)) {
  JOB_DEBUG(describe());
}

bk_local_job_t::~bk_local_job_t() {
  if (const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock()) {
    // Nothing the engine would still answer is wanted; a request not sent yet is
    // not sent at all.
    if (engine_serial_ != 0) scanner->cancel(engine_serial_);
    scanner->remove_job(*this);
  }
  JOB_DEBUG("Destroyed");
  // detail_ goes first: it marks its completions closed and drops the segments,
  // whose files are removed when their last reference goes.
}

// ---------------------------------------------------------------------------
// Job interface

std::string bk_local_job_t::name() const {
  return name_;
}

std::string bk_local_job_t::describe() const {
  std::ostringstream text;
  text << "file " << boost::filesystem::path(detail_->segments.front().file->path());
  return text.str();
}

std::uint64_t bk_local_job_t::data_size() const {
  return detail_->data_size();
}

std::uint32_t bk_local_job_t::scan_request_count() const {
  return detail_->pending;
}

void bk_local_job_t::append_data(const std::shared_ptr<const std::string>& chunk) {
  if (reset_ || detail_->failed || !chunk || chunk->empty()) return;
  if (detail_->cure_requested) {
    // The cure rewrites the file; data after it has no place to go.
    boost::asio::post(inventory.io_context, wrap([this] {
                        // One alarm for a burst of such chunks.
                        if (reset_ || detail_->failed) return;
                        fail_request(
                            "Append data",
                            make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION),
                                                     "Append after cure request"),
                            false);
                      }));
    return;
  }
  const auto size = static_cast<std::uint32_t>(chunk->size());
  detail_->append_data(chunk, [weak = weak_from_this(),
                               size](const bk_threaded_local_file_t::size_result_t& result) {
    if (const std::shared_ptr<bk_local_job_t> self = weak.lock())
      self->on_data_appended(self, size, result);
  });
}

void bk_local_job_t::on_data_appended(const std::shared_ptr<bk_local_job_t>& self,
                                      std::uint32_t size,
                                      const bk_threaded_local_file_t::size_result_t& result) {
  if (reset_) return;
  if (result.is_left()) {
    // The first failure tells; later writes of the same burst add nothing.
    if (detail_->failed) return;
    fail_request("Append data", result.left(), data_size() != 0);
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
  if (const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock()) scanner->add_scan(*this);
  if (options.cure()) detail_->cure_requested = true;
  detail_->segments.back().requests.push_back(options);
  detail_->pending += 1;
  if (detail_->pending == 1) next_step();
}

void bk_local_job_t::get_data(std::uint32_t max_chunk) {
  if (reset_) return;
  JOB_DEBUG("Get data " + std::to_string(max_chunk));
  if (detail_->reading || reading_opening_) {
    fail_request("Get data",
                 make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION),
                                          "previous GET_DATA request is not handled yet"),
                 false);
    return;
  }
  reading_opening_ = true;
  max_chunk_ = max_chunk;
  ++reading_number_;
  if (unlocking_ || refreshing_) {
    reading_deferred_ = true;
    return;
  }
  open_reading();
}

void bk_local_job_t::open_reading() {
  reading_deferred_ = false;
  detail_->file_start_reading(
      [weak = weak_from_this(), reading = reading_number_](
          const util::either_t<std::exception_ptr, detail_t::reading_t>& result) {
        if (const std::shared_ptr<bk_local_job_t> self = weak.lock())
          self->on_reading_opened(self, reading, result);
      });
}

void bk_local_job_t::on_reading_opened(
    const std::shared_ptr<bk_local_job_t>& self, std::uint64_t reading,
    const util::either_t<std::exception_ptr, detail_t::reading_t>& result) {
  // A data reset or reset came first.
  if (reading != reading_number_ || reset_) return;
  reading_opening_ = false;
  if (result.is_left()) {
    fail_request("Get data", result.left(), false);
    return;
  }
  const detail_t::reading_t& cursors = result.right();
  // What the cursors hold is exactly what will be sent, whatever arrived since.
  std::uint64_t total = 0;
  for (const auto& cursor : *cursors) total += cursor.size - cursor.position;
  if (!cursors->empty()) detail_->reading = cursors;
  if (!delegate_) return;
  delegate_->on_get_data_response(job_id, total);
  if (self.use_count() <= 1 || reading != reading_number_ || !detail_->reading || !delegate_)
    return;
  drained_connection_ = delegate_->connect_on_drained([weak = weak_from_this(), reading] {
    if (const std::shared_ptr<bk_local_job_t> job = weak.lock()) job->send_chunk(reading);
  });
  // The first chunk is read while the answer goes out.
  read_next_chunk(reading);
}

void bk_local_job_t::send_chunk(std::uint64_t reading) {
  if (reading != reading_number_ || !detail_->reading || reset_) return;
  if (next_chunk_) {
    deliver_chunk(reading);
    return;
  }
  // The chunk goes out as soon as its read is done.
  chunk_wanted_ = true;
  read_next_chunk(reading);
}

void bk_local_job_t::read_next_chunk(std::uint64_t reading) {
  // One read at a time, and at most one chunk read ahead of the drained signals.
  if (reading != reading_number_ || !detail_->reading || chunk_reading_ || next_chunk_ || reset_)
    return;
  chunk_reading_ = true;
  detail_->read_chunk(
      max_chunk_,
      wrap([this, reading](const util::either_t<std::exception_ptr, detail_t::chunk_t>& result) {
        on_chunk_read(reading, result);
      }));
}

void bk_local_job_t::on_chunk_read(
    std::uint64_t reading, const util::either_t<std::exception_ptr, detail_t::chunk_t>& result) {
  if (reading != reading_number_ || reset_) return;
  chunk_reading_ = false;
  next_chunk_.emplace(result);
  if (chunk_wanted_) deliver_chunk(reading);
}

// One chunk per drained signal; a read failure is reported in a chunk's place.
void bk_local_job_t::deliver_chunk(std::uint64_t reading) {
  const util::either_t<std::exception_ptr, detail_t::chunk_t> result = std::move(*next_chunk_);
  next_chunk_.reset();
  chunk_wanted_ = false;
  if (result.is_left()) {
    end_reading();
    fail_request("Get data", result.left(), false);
    return;
  }
  const detail_t::chunk_t& chunk = result.right();
  // Ended before the chunk goes out, so that a driver that reads on from inside the
  // call finds the reading over; otherwise the next chunk is read meanwhile.
  if (chunk.last) {
    end_reading();
  } else {
    read_next_chunk(reading);
  }
  if (!chunk.data || chunk.data->empty() || !delegate_) return;
  delegate_->on_data_chunk(job_id, chunk.data->data(), chunk.data->size());
}

void bk_local_job_t::end_reading() {
  ++reading_number_;
  reading_opening_ = false;
  reading_deferred_ = false;
  chunk_reading_ = false;
  next_chunk_.reset();
  chunk_wanted_ = false;
  detail_->reading.reset();
  drained_connection_.disconnect();
}

void bk_local_job_t::data_reset() {
  if (reset_) return;
  end_reading();
  boost::asio::post(inventory.io_context, wrap([this] {
                      if (!reset_ && delegate_) delegate_->on_data_reset_response(job_id);
                    }));
}

void bk_local_job_t::reset() {
  if (reset_) return;
  reset_ = true;
  detail_->failed = true;
  abandon_request();
  end_reading();
}

// ---------------------------------------------------------------------------
// For the scanner

std::string bk_local_job_t::scan_path() const {
  return detail_->segments.front().file->path();
}

const bk::ScanOptions& bk_local_job_t::scan_options() const {
  const auto& requests = detail_->segments.front().requests;
  return requests.empty() ? default_options() : requests.front();
}

void bk_local_job_t::on_scan_report(const vl::ScanReport& report) {
  // Only the request in flight has an engine answer coming.
  if (reset_ || engine_serial_ == 0 || !in_progress_) return;
  JOB_DEBUG("Scan report received");
  engine_report_ = report;
  engine_serial_ = 0;
  finish_request();
}

void bk_local_job_t::on_scan_error(const std::exception_ptr& error, bool soft) {
  if (reset_ || engine_serial_ == 0 || !in_progress_) return;
  engine_serial_ = 0;
  scan_failed(error, soft);
}

// ---------------------------------------------------------------------------
// Requests

void bk_local_job_t::next_step() {
  // A request in progress, or a merge under way, starts the next one when it ends.
  if (detail_->failed || reset_ || in_progress_ || unlocking_) return;
  digests_ = bk_hash_values_t();
  digests_ready_ = false;
  engine_report_.reset();
  cloud_report_.reset();
  hashes_needed_ = false;
  cure_ = false;

  detail_t::segment_t& main_segment = detail_->segments.front();
  if (main_segment.requests.empty()) {
    unlock_after_scanning();
    return;
  }
  in_progress_ = true;
  ++request_number_;
  // The engine reads the file from its path: everything written so far must be on
  // disk first, once for scans and once more before a cure.
  if (main_segment.requests.front().cure()) {
    if (main_segment.state == 2) {
      start_checks();
    } else {
      main_segment.state = 2;
      scan_next();
    }
  } else {
    if (main_segment.state != 0) {
      start_checks();
    } else {
      main_segment.state = 1;
      scan_next();
    }
  }
}

void bk_local_job_t::scan_next() {
  detail_->segments.front().file->sync(
      wrap([this, request = request_number_](std::exception_ptr failure) {
        on_synced(request, failure);
      }));
}

void bk_local_job_t::on_synced(std::uint64_t request, const std::exception_ptr& failure) {
  if (request != request_number_ || !in_progress_) return;
  if (failure) {
    fail_request("File locking", failure, false);
    return;
  }
  start_checks();
}

void bk_local_job_t::start_checks() {
  const bk::ScanOptions& options = detail_->segments.front().requests.front();
  const bool sha1 = lists_hash(options, bk::SHA1) || inventory.use_cloud;
  const bool sha256 = lists_hash(options, bk::SHA256);
  hashes_needed_ = sha1 || sha256;
  cure_ = options.cure();
  if (!hashes_needed_) {
    submit();
    return;
  }
  // A cure changes the file: the digests are of the data as it was sent.
  calculate_hash(sha1, sha256);
  if (!cure_) submit();
}

void bk_local_job_t::submit() {
  const std::shared_ptr<bk_scanner_t> scanner = scanner_.lock();
  if (!scanner) {
    // Shutting down: nothing will scan the request, so it fails now (posted, as an
    // answer never comes from inside the driver's call).
    boost::asio::post(inventory.io_context, wrap([this, request = request_number_] {
                        if (request != request_number_ || !in_progress_ || reset_) return;
                        scan_failed(
                            make_error_exception_ptr(make_error_code(vl::EC_NO_SCAN_ENGINE)), true);
                      }));
    return;
  }
  engine_serial_ = scanner->submit(weak_from_this());
}

void bk_local_job_t::calculate_hash(bool sha1, bool sha256) {
  inventory.digest_pool->hash_file(
      sha1, sha256, detail_->segments.front().file->path(),
      wrap([this, request = request_number_](std::exception_ptr failure,
                                             const bk_hash_values_t& values) {
        on_hashes(request, failure, values);
      }));
}

void bk_local_job_t::on_hashes(std::uint64_t request, const std::exception_ptr& failure,
                               const bk_hash_values_t& values) {
  // The digests of an earlier request say nothing about this one.
  if (request != request_number_ || !in_progress_) return;
  if (failure) {
    fail_request("Hash calculation", failure, false);
    return;
  }
  digests_ = values;
  digests_ready_ = true;
  cloud_check();
  // The engine may have answered while the digests were computed.
  finish_request();
  if (request == request_number_ && in_progress_ && cure_) submit();
}

void bk_local_job_t::cloud_check() {
  const auto cancel = std::make_shared<bool>(false);
  cloud_cancel_ = cancel;
  if (!inventory.use_cloud || digests_.sha1.empty() || !inventory.lumend) {
    cloud_report_ = make_scan_report();
    return;
  }
  JOB_DEBUG("Cloud check: request");
  try {
    inventory.lumend->check(
        digests_.sha1, detail_->segments.front().file->size(),
        wrap([this, request = request_number_, cancel](const boost::system::error_code& result,
                                                       const std::optional<vl::Virus>& virus) {
          on_cloud_answer(request, cancel, result, virus);
        }),
        kCloudTimeoutMs);
  } catch (const std::exception& e) {
    // No cloud verdict: the engine alone decides.
    JOB_DEBUG(std::string("Cloud check: ") + exception_text(e));
  }
}

void bk_local_job_t::on_cloud_answer(std::uint64_t request, const std::shared_ptr<bool>& cancel,
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

void bk_local_job_t::finish_request() {
  if (!in_progress_) return;
  const bk::ScanOptions& options = detail_->segments.front().requests.front();
  if (!hashes_needed_) {
    if (engine_report_) answer(std::move(*engine_report_));
    return;
  }
  // The answer carries the digests asked for.
  if (options.threat_hash_size() > 0 && !digests_ready_) return;

  const bool cloud_found = cloud_report_ && infected(*cloud_report_);
  if (!cure_ && !options.report_component_info()) {
    if (!cloud_found) {
      if (engine_report_) answer(std::move(*engine_report_));
      return;
    }
    if (engine_report_ && infected(*engine_report_)) {
      answer(std::move(*engine_report_));
      return;
    }
    // The cloud knows the threat; the engine's answer, coming or not, adds nothing.
    cloud_report_->set_cloud(true);
    answer(std::move(*cloud_report_));
    return;
  }

  // A cure and the component versions come only from the engine.
  if (!engine_report_) return;
  if (!cloud_found || infected(*engine_report_)) {
    answer(std::move(*engine_report_));
    return;
  }
  vl::ScanReport& report = *cloud_report_;
  report.set_cloud(true);
  if (cure_) report.set_error(vl::SE_CAN_NOT_BE_CURED);
  if (options.report_component_info()) {
    vl::ScanReport& engine = *engine_report_;
    if (engine.has_se_version()) {
      report.set_se_version(engine.se_version());
      engine.clear_se_version();
    }
    if (engine.has_core_engine_version()) {
      report.set_core_engine_version(engine.core_engine_version());
      engine.clear_core_engine_version();
    }
    report.set_virus_records(engine.virus_records());
    report.set_base_stamp(engine.base_stamp());
  }
  answer(std::move(report));
}

void bk_local_job_t::answer(vl::ScanReport report) {
  const std::shared_ptr<bk_local_job_t> self = shared_from_this();
  if (report.has_new_path()) take_new_path(report.new_path());
  detail_->segments.front().requests.pop_front();
  detail_->pending -= 1;
  const bk_hash_values_t digests = std::move(digests_);
  // Started before the driver hears of the answer, so that a GET_DATA it sends at
  // once reads the cured file whole.
  if (cure_ || report.has_new_path()) refresh_size();
  abandon_request();
  if (delegate_) delegate_->on_scan_response(job_id, report, digests);
  next_step();
}

void bk_local_job_t::scan_failed(const std::exception_ptr& error, bool soft) {
  const std::shared_ptr<bk_local_job_t> self = shared_from_this();
  // A failed cure may have left the file half cured: the data is not worth reading.
  if (detail_->segments.front().requests.front().cure()) soft = false;
  detail_->segments.front().requests.pop_front();
  detail_->pending -= 1;
  fail_request("Scan error", error, soft);
  if (!soft) return;
  detail_->failed = false;
  // The job stays usable: the requests queued behind go on, unless the driver
  // drops the job on hearing of the failure.
  if (detail_->pending != 0) boost::asio::post(inventory.io_context, wrap([this] { next_step(); }));
}

void bk_local_job_t::unlock_after_scanning() {
  JOB_DEBUG("Unlock after scanning");
  unlocking_ = true;
  detail_->unlock(wrap([this](std::exception_ptr failure) { on_unlocked(failure); }));
}

void bk_local_job_t::on_unlocked(const std::exception_ptr& failure) {
  unlocking_ = false;
  if (reset_) return;
  if (failure) {
    fail_request("Unlock", failure, false);
    return;
  }
  if (reading_deferred_ && !refreshing_) open_reading();
  // One patch is merged per call: a request queued on a later segment runs once
  // every earlier patch is part of the main file.
  if (detail_->pending != 0) next_step();
}

void bk_local_job_t::refresh_size() {
  refreshing_ = true;
  detail_->segments.front().file->update_size(
      wrap([this](const bk_threaded_local_file_t::size_result_t& result) {
        on_size_refreshed(result.is_left() ? result.left() : std::exception_ptr());
      }));
}

void bk_local_job_t::on_size_refreshed(const std::exception_ptr& failure) {
  refreshing_ = false;
  if (reset_) return;
  if (failure) {
    // The merge or size refresh that follows may tell the same.
    if (!detail_->failed) fail_request("Unlock", failure, false);
    return;
  }
  if (reading_deferred_ && !unlocking_) open_reading();
}

// ---------------------------------------------------------------------------
// Failures and helpers

void bk_local_job_t::abandon_request() {
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

void bk_local_job_t::fail_request(const char* context, const std::exception_ptr& error, bool soft) {
  CF_LOG(kLogDebug, name_ + ": " + context + ": " + exception_ptr_text(error));
  detail_->failed = true;
  // The alarm is the answer for the request in progress.
  abandon_request();
  if (delegate_) delegate_->on_alarm(job_id, error, soft);
}

void bk_local_job_t::take_new_path(const std::string& path) {
  namespace fs = boost::filesystem;
  const std::string& current = detail_->segments.front().file->path();
  const fs::path wanted = fs::path(path).lexically_normal();
  const fs::path name = wanted.filename();
  const bool ours = wanted.is_absolute() && !name.empty() && name != "." && name != ".." &&
                    wanted.parent_path() == fs::path(current).lexically_normal().parent_path();
  if (!ours) {
    if (kLogDebug >= log_threshold) {
      std::ostringstream text;
      text << name_ << ": Ignored new path " << fs::path(path);
      log_message(kLogDebug, text.str());
    }
    return;
  }
  if (wanted.string() != current) detail_->segments.front().file->set_path(wanted.string());
}
