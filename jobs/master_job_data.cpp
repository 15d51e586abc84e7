// The master job's data path: the client's chunks and acknowledgements, scans and
// their answers in request order, read-back, and the client's requests during the
// replay of a redirect.
#include <algorithm>
#include <limits>

#include <boost/asio/post.hpp>

#include "core/hash_values.h"
#include "core/scan_report_helpers.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/chunk_sender.h"
#include "jobs/master_job.h"

namespace {

std::exception_ptr out_of_order(const std::string& text) {
  return make_error_exception_ptr(make_error_code(vl::EC_UNEXPECTED_ERROR), text);
}

}  // namespace

// ---------------------------------------------------------------------------
// Data and acknowledgements

void bk_master_job_t::append_data(const std::shared_ptr<const std::string>& chunk) {
  auto self = weak_from_this().lock();
  if (cure_requested_ || reading_back_) {
    // The refused bytes came out of the client's window all the same: they go
    // back with the job's other open bytes when the job ends.
    if (!data_) data_ = std::make_shared<bk_job_data_t>();
    data_->unacknowledged += chunk->size();
    reject(cure_requested_ ? "Data chunk after cure" : "Data chunk after soft error");
    return;
  }
  if (!data_) data_ = std::make_shared<bk_job_data_t>();
  data_->size = data_->size.value_or(0) + chunk->size();
  data_->unacknowledged += chunk->size();
  // The failed executor taken back stores the rest of the file; nothing will
  // replay it, so the master keeps no copy.
  if (state_ == state_t::kSoftFailedOnSource) {
    hand_on(chunk);
    return;
  }
  data_->kept.push_back(chunk);
  // Held for the client's read-back, or handed on by the replay.
  if (state_ == state_t::kSoftFailed || moving()) return;
  if (state_ == state_t::kUnplaced) {
    if (!place_or_redispatch(false)) return;
    move_to(state_t::kRunning);
  }
  hand_on(chunk);
}

void bk_master_job_t::hand_on(const std::shared_ptr<const std::string>& piece) {
  if (auto executor = executor_) executor->append_data(piece);
}

void bk_master_job_t::on_data_chunk_appended(uint32_t, uint32_t size) {
  auto self = weak_from_this().lock();
  // The master keeps the data itself: no executor stores any of it.
  if (state_ == state_t::kSoftFailed) return;
  if (moving()) {
    if (backup_) backup_->on_acknowledged(size);
    return;
  }
  // The executor taken back after a soft alarm: its chunks are no longer kept.
  if (state_ == state_t::kSoftFailedOnSource) {
    if (data_ && data_->unacknowledged >= size) {
      acknowledge(size);
      return;
    }
  } else if (data_ && data_->kept.total() >= size && data_->unacknowledged >= size) {
    data_->kept.shrink_front(size);
    acknowledge(size);
    return;
  }
  CF_LOG(kLogWarning, name_ + ": Impossible data chunk size");
  fail(make_error_exception_ptr(make_error_code(vl::EC_DATA_CORRUPTED)));
}

void bk_master_job_t::on_resume(uint32_t size) {
  if (state_ == state_t::kRedirecting && backup_) backup_->on_resume(size);
}

void bk_master_job_t::on_data_reset_response(uint32_t) {
  auto self = weak_from_this().lock();
  if (!source_resetting_) return;
  // The read-back of the failed run is over: a client's one may go to it now.
  source_resetting_ = false;
  if (state_ == state_t::kSoftFailedOnSource) request_data();
}

boost::signals2::connection bk_master_job_t::connect_on_drained(
    const std::function<void()>& callback) {
  return delegate_->connect_on_drained(callback);
}

void bk_master_job_t::acknowledge(uint64_t n) {
  data_->unacknowledged -= n;
  // The delegate counts in 32 bits; more than that unacknowledged is possible for a
  // client without flow control.
  while (n > 0) {
    const uint32_t part =
        static_cast<uint32_t>(std::min<uint64_t>(n, std::numeric_limits<uint32_t>::max()));
    n -= part;
    delegate_->on_data_chunk_appended(job_id, part);
  }
}

// ---------------------------------------------------------------------------
// Scans

void bk_master_job_t::scan(const bk::ScanOptions& options) {
  auto self = weak_from_this().lock();
  if (soft_failed()) {
    reject("Scan is not allowed after soft error");
    return;
  }
  if (get_data_state_ && options.cure()) {
    reject("Request to cure while GET_DATA is not finished");
    return;
  }
  if (!data_) {
    if (options.cure()) {
      cure_requested_ = true;
      data_replaced_ = true;
    }
    queue_own_answer(options, make_scan_report());
    return;
  }
  // An unknown size (a cured file not read back yet) is no reason to refuse: the
  // executor scans the cured data.
  const std::optional<uint64_t> size = data_->size;
  if (size && (*size < options.min_size_to_scan() || options.max_size_to_scan() < *size)) {
    vl::ScanReport report = make_scan_report();
    report.set_error(vl::SE_OBJECT_SIZE_LIMIT);
    queue_own_answer(options, std::move(report));
    return;
  }
  if (options.cure()) cure_requested_ = true;
  scans_.push_back(scan_entry_t{options, size, nullptr});
  // The replay issues it at its offset.
  if (moving()) return;
  ++scans_forwarded_;
  if (auto executor = executor_) executor->scan(options);
}

// The answer waits behind the requests before it, so that the client gets its
// answers in the order it asked.
void bk_master_job_t::queue_own_answer(const bk::ScanOptions& options, vl::ScanReport report) {
  scans_.push_back(scan_entry_t{options, data_ ? data_->size : std::nullopt,
                                std::make_shared<const vl::ScanReport>(std::move(report))});
  if (!moving()) ++scans_forwarded_;
  // Never from inside the client's request.
  if (scans_.front().own_answer) {
    boost::asio::post(*services_.io_context, wrap([this] { deliver_own_answers(); }));
  }
}

void bk_master_job_t::deliver_own_answers() {
  auto self = weak_from_this().lock();
  while (!scans_.empty() && scans_.front().own_answer) {
    const std::shared_ptr<const vl::ScanReport> report = scans_.front().own_answer;
    scans_.pop_front();
    if (scans_forwarded_ > 0) --scans_forwarded_;
    delegate_->on_scan_response(job_id, *report, bk_hash_values_t{});
  }
}

void bk_master_job_t::on_scan_response(uint32_t, const vl::ScanReport& report,
                                       const bk_hash_values_t& hashes) {
  auto self = weak_from_this().lock();
  // The soft alarm answered every open request.
  if (soft_failed()) {
    CF_LOG(kLogDebug, name_ + ": Dropped SCAN_RESPONSE after soft error");
    return;
  }
  // Requests the master answered itself that came before this one go first.
  deliver_own_answers();
  if (scans_.empty() || scans_forwarded_ == 0) {
    on_executor_error(out_of_order("Out of order scan response"));
    return;
  }
  const scan_entry_t entry = std::move(scans_.front());
  scans_.pop_front();
  --scans_forwarded_;
  if (entry.options.cure() && data_) {
    // The executor holds the cured file now; the client's chunks no longer
    // rebuild it.
    data_->size.reset();
    data_->kept.clear();
    data_replaced_ = true;
  }
  if (report.cured() && report.cured_by_deletion() && data_) data_->size = 0;
  services_.report_success(executor_endpoint());
  delegate_->on_scan_response(job_id, report, hashes);
  deliver_own_answers();
}

// ---------------------------------------------------------------------------
// Read-back

void bk_master_job_t::get_data(uint32_t max_chunk) {
  auto self = weak_from_this().lock();
  if (get_data_state_ || chunk_sender_) {
    reject("Previous GET_DATA request is not finished");
    return;
  }
  if (!data_ || (data_->size && *data_->size == 0)) {
    boost::asio::post(*services_.io_context,
                      wrap([this] { delegate_->on_get_data_response(job_id, 0); }));
    return;
  }
  for (const scan_entry_t& entry : scans_) {
    if (!entry.own_answer && entry.options.cure()) {
      reject("GET_DATA while curing");
      return;
    }
  }
  // After a soft alarm the data is complete once the client reads it back.
  if (soft_failed()) reading_back_ = true;
  // No executor holds the data: the master has all of it and sends it itself.
  if (state_ == state_t::kSoftFailed) {
    start_chunk_sender(max_chunk);
    return;
  }
  get_data_state_t state;
  state.max_chunk = max_chunk;
  state.request_at = data_->size;
  get_data_state_ = state;
  // Also while waiting for the first node: the replay asks once the data it
  // covers was handed over.
  if (moving()) return;
  request_data();
}

void bk_master_job_t::request_data() {
  // Asked again once the executor confirmed the end of its earlier read-back.
  if (!get_data_state_ || get_data_state_->requested || source_resetting_) return;
  get_data_state_->requested = true;
  if (auto executor = executor_) executor->get_data(get_data_state_->max_chunk);
}

void bk_master_job_t::start_chunk_sender(uint32_t max_chunk) {
  CF_LOG(kLogDebug, name_ + ": Started sending chunks back to client after soft error");
  chunk_sender_.reset();
  chunk_sender_ = std::make_unique<bk_chunk_sender_t>(*this, data_->kept, max_chunk,
                                                      [this] { chunk_sender_.reset(); });
}

void bk_master_job_t::on_get_data_response(uint32_t, uint64_t size) {
  auto self = weak_from_this().lock();
  const bool asked = get_data_state_ && get_data_state_->requested;
  // While the executor holds no or not all of the data, or is ending the
  // read-back of a replay, an answer nobody asked for is a leftover of the
  // failed run.
  if (!asked && (!executor_holds_data() || source_resetting_)) {
    CF_LOG(kLogDebug, name_ + ": Dropped GET_DATA_RESPONSE, size=" + std::to_string(size));
    return;
  }
  if (!asked) {
    on_executor_error(out_of_order("Out of order GET_DATA_RESPONSE"));
    return;
  }
  if (!get_data_state_->response_received && read_back_incomplete(size)) {
    CF_LOG(kLogWarning, name_ + ": Read-back of " + std::to_string(size) +
                            " bytes, the client sent " + std::to_string(*data_->size));
    fail(make_error_exception_ptr(make_error_code(vl::EC_DATA_CORRUPTED)));
    return;
  }
  if (data_ && !data_->size) data_->size = size;
  if (get_data_state_->response_received) return;
  get_data_state_->response_received = true;
  get_data_state_->response_size = size;
  // No chunk follows an empty read-back.
  if (size == 0) get_data_state_.reset();
  delegate_->on_get_data_response(job_id, size);
}

// A failed executor taken back may have lost part of what it was handed (a write
// that failed): its read-back would then pass for the client's whole file. Without
// a cure its file is exactly the client's bytes.
bool bk_master_job_t::read_back_incomplete(uint64_t size) const {
  return state_ == state_t::kSoftFailedOnSource && !cure_requested_ && data_ && data_->size &&
         size != *data_->size;
}

void bk_master_job_t::on_data_chunk(uint32_t, const char* data, uint64_t size) {
  auto self = weak_from_this().lock();
  if (source_resetting_) {
    CF_LOG(kLogDebug,
           name_ + ": Dropped data chunk of the failed run, size=" + std::to_string(size));
    return;
  }
  if (!get_data_state_ || !get_data_state_->response_received) {
    on_executor_error(out_of_order("Out of order data chunk"));
    return;
  }
  get_data_state_->received += size;
  if (get_data_state_->received >= get_data_state_->response_size) get_data_state_.reset();
  delegate_->on_data_chunk(job_id, data, size);
}

void bk_master_job_t::data_reset() {
  auto self = weak_from_this().lock();
  chunk_sender_.reset();
  // A read-back waits for the replay or for the master's own sending: no
  // executor has anything to reset.
  if (!executor_holds_data()) return;
  get_data_state_.reset();
  if (auto executor = executor_) executor->data_reset();
}

// ---------------------------------------------------------------------------
// Requests during a replay (the backup's master_t)

std::optional<uint64_t> bk_master_job_t::next_request_at() {
  // The cured file has no offsets in common with the client's requests: they are
  // issued once all of it was handed over.
  if (data_replaced_) return std::nullopt;
  while (scans_forwarded_ < scans_.size() && scans_[scans_forwarded_].own_answer) {
    ++scans_forwarded_;
  }
  // The earlier of the pending read-back's offset and the next scan's.
  std::optional<uint64_t> boundary;
  if (get_data_state_ && !get_data_state_->requested) boundary = get_data_state_->request_at;
  if (scans_forwarded_ < scans_.size()) {
    const std::optional<uint64_t>& at_size = scans_[scans_forwarded_].at_size;
    if (at_size && (!boundary || *at_size < *boundary)) boundary = at_size;
  }
  return boundary;
}

void bk_master_job_t::issue_requests_due(uint64_t forwarded) {
  auto self = weak_from_this().lock();
  const uint64_t epoch = epoch_;
  if (data_replaced_) {
    if (data_->size && forwarded == *data_->size) {
      request_data();
      if (epoch != epoch_) return;
      forward_scans(std::nullopt);
    }
    return;
  }
  if (get_data_state_ && !get_data_state_->requested && get_data_state_->request_at == forwarded) {
    request_data();
    if (epoch != epoch_) return;
  }
  forward_scans(forwarded);
}

bool bk_master_job_t::forward_scans(std::optional<uint64_t> due_at) {
  const uint64_t epoch = epoch_;
  while (scans_forwarded_ < scans_.size()) {
    const scan_entry_t& entry = scans_[scans_forwarded_];
    // Answered by the master: it never reaches an executor.
    if (entry.own_answer) {
      ++scans_forwarded_;
      continue;
    }
    if (due_at && entry.at_size != *due_at) return true;
    ++scans_forwarded_;
    const bk::ScanOptions options = entry.options;
    if (auto executor = executor_) executor->scan(options);
    if (epoch != epoch_) return false;
  }
  return true;
}

// The last `size` bytes of the kept chunks, for a failed executor taken back.
bool bk_master_job_t::hand_tail_to_executor(uint64_t size) {
  const uint64_t epoch = epoch_;
  const std::deque<std::shared_ptr<const std::string>> chunks = data_->kept.chunks();
  size_t index = chunks.size();
  uint64_t skip = 0;
  uint64_t found = 0;
  while (index > 0 && found < size) {
    --index;
    found += chunks[index]->size();
  }
  if (found > size) skip = found - size;
  for (; index < chunks.size(); ++index) {
    const std::shared_ptr<const std::string>& chunk = chunks[index];
    hand_on(skip == 0 ? chunk
                      : std::make_shared<const std::string>(*chunk, static_cast<size_t>(skip)));
    skip = 0;
    if (epoch != epoch_) return false;
  }
  return true;
}
