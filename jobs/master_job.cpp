// The master job's life: construction, placement on a node, executor failures,
// redirects to another node, giving up. The data path is in master_job_data.cpp.
#include "jobs/master_job.h"

#include <charconv>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "framework/log.h"
#include "jobs/job_backup.h"

namespace {

// Process-wide; event loop only. The first job is "Job 0x0".
uint32_t job_counter = 0;

std::string next_job_name() {
  // Formatted by hand: a string stream costs more than the rest of a small job's start.
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, job_counter++, 16).ptr;
  return "Job 0x" + std::string(digits, end);
}

// At most this many placements per job, the first one included.
constexpr uint32_t kMaxStarts = 30;

}  // namespace

bk_master_job_t::bk_master_job_t(bk_core_inventory_t& inventory, uint32_t job_id,
                                 services_t services)
    : bk_job_t(job_id, inventory), name_(next_job_name()), services_(std::move(services)) {}

bk_master_job_t::~bk_master_job_t() {
  // The client gets its window back for everything still open, and its flow
  // control never stays held for a job that is gone.
  if (data_ && delegate_) acknowledge(data_->unacknowledged);
  if (delegate_) delegate_->on_redirect_end(job_id);
  // The executor may outlive this job by a call it is finishing.
  drop_executor();
  CF_LOG(kLogDebug, name_ + ": Destroyed");
}

std::string bk_master_job_t::describe() const {
  if (!executor_) return {};
  return executor_->name() + ", " + executor_->describe();
}

uint64_t bk_master_job_t::data_size() const {
  return data_ && data_->size ? *data_->size : 0;
}

void bk_master_job_t::start() {
  ++starts_;
  drop_executor();
  try {
    executor_ = services_.choose_node(job_id, tried_peers_, local_tried_);
  } catch (const cf_proto_exception_t& e) {
    const size_t tried = (local_tried_ ? 1 : 0) + tried_peers_.size();
    // The client is told about the executor that failed first, unless the job has
    // been on more than one node and only the cluster is left to blame.
    if (!kept_error_ || tried > 1) {
      kept_error_ = kept_error_t{std::current_exception(), false};
    } else {
      CF_LOG(kLogInfo, name_ + ": " + exception_text(e));
    }
    kept_error_->final = e.code() != vl::EC_NOT_READY;
    return;
  }
  if (!executor_) {
    // The cluster throws when it has no node; an empty answer is no better.
    if (!kept_error_) {
      kept_error_ =
          kept_error_t{make_error_exception_ptr(make_error_code(vl::EC_UNEXPECTED_ERROR),
                                                "No facilities were able to process the job"),
                       true};
    }
    return;
  }
  started_ = true;
  if (node_t node = executor_endpoint()) {
    tried_peers_.insert(*node);
  } else {
    local_tried_ = true;
  }
  executor_->set_delegate(this);
  CF_LOG(kLogDebug, name_ + ": Start as: " + executor_->name() + ", " + executor_->describe());
}

void bk_master_job_t::on_alarm(uint32_t, const std::exception_ptr& error, bool soft) {
  auto self = weak_from_this().lock();
  // Nothing could rebuild the data the executor took with it.
  if (!soft && !all_data_kept() && !backup_) {
    fail(error);
    return;
  }
  // A read-back under way outside a redirect, or one the client has seen part of.
  if (get_data_state_ && (!kept_error_ || get_data_state_->response_received)) {
    fail(error);
    return;
  }
  alarm_received_ = true;
  on_executor_error(error);
}

void bk_master_job_t::on_executor_error(const std::exception_ptr& error) {
  auto self = weak_from_this().lock();
  // After a soft alarm the job only serves its data back, and once part of a
  // read-back reached the client no other node could continue it: either way a
  // failure ends the job.
  if (soft_mode_ || (get_data_state_ && get_data_state_->response_received)) {
    fail(error);
    return;
  }
  const int level = executor_ && !executor_endpoint() ? kLogError : kLogWarning;
  CF_LOG(level, name_ + " (" + describe() + "): " + exception_ptr_text(error));
  services_.report_failure(executor_endpoint());
  if (!data_) return;
  ++generation_;
  if (!kept_error_) kept_error_ = kept_error_t{error, false};
  if (!backup_) {
    backup_ = std::make_unique<bk_job_backup_t>(*this, std::move(executor_), data_);
  }
  drop_executor();
  // A read-back the failed executor never answered is asked of the next one.
  if (get_data_state_) get_data_state_->requested = false;
  start_redirect();
}

void bk_master_job_t::start_redirect() {
  auto self = weak_from_this().lock();
  try {
    start();
  } catch (const std::exception&) {
    // Called from an executor's or the timer's completion: a failure to create the
    // executor ends this job, never the event loop.
    fail(std::current_exception());
    return;
  }
  if (!executor_) {
    redispatch();
    return;
  }
  alarm_received_ = false;
  begin_redirect_for_driver();
  CF_LOG(kLogDebug, name_ + ": Redirect started: " + backup_->name() + " -> " + executor_->name());
  data_->forwarded = 0;
  scans_forwarded_ = 0;
  backup_->start();
}

void bk_master_job_t::redispatch() {
  if (soft_error_) {
    if (!started_) {
      enter_soft_mode();
      return;
    }
    if (alarm_received_) {
      alarm_received_ = false;
      take_back_source_job();
      return;
    }
  }
  if (kept_error_->final) {
    fail(kept_error_->error);
    return;
  }
  if (starts_ >= kMaxStarts) {
    CF_LOG(kLogDebug, name_ + ": No more redirect attempts");
    fail(kept_error_->error);
    return;
  }
  begin_redirect_for_driver();
  if (!backup_) {
    backup_ = std::make_unique<bk_job_backup_t>(*this, std::move(executor_), data_);
  }
  start_job_timer();
}

// A soft-error client whose executor failed with nowhere else to go: the failed
// executor still holds the data and serves it back. Chunks that came during the
// redirect never reached it, so it gets them now.
void bk_master_job_t::take_back_source_job() {
  std::shared_ptr<bk_job_t> source;
  std::optional<uint64_t> source_size;
  if (backup_) {
    source = backup_->take_source_job();
    source_size = backup_->source_size();
    dispose_backup();
  }
  const uint64_t generation = ++generation_;
  soft_mode_ = true;
  if (source) {
    executor_ = std::move(source);
    executor_->set_delegate(this);
    if (data_ && data_->size && source_size && *data_->size > *source_size) {
      if (!hand_tail_to_executor(*data_->size - *source_size)) return;
    }
  }
  if (generation != generation_) return;
  enter_soft_mode();
}

void bk_master_job_t::enter_soft_mode() {
  auto self = weak_from_this().lock();
  std::exception_ptr error = kept_error_ ? kept_error_->error : nullptr;
  soft_mode_ = true;
  // With an executor back the redirect is over; without one the job never runs
  // again. Either way no grant of the connection may wait for this job.
  if (executor_) kept_error_.reset();
  end_redirect_for_driver();
  // Requests the master answered itself before the failure are still due; the
  // alarm stands for the rest.
  deliver_own_answers();
  scans_.clear();
  scans_forwarded_ = 0;
  // Nothing more will be stored for this job.
  if (data_) acknowledge(data_->unacknowledged);
  delegate_->on_alarm(job_id, error, true);
  if (!get_data_state_) return;
  // A read-back that waited for the redirect is served by what holds the data.
  if (executor_) {
    get_data_state_->requested = false;
    request_data();
  } else {
    const uint32_t max_chunk = get_data_state_->max_chunk;
    get_data_state_.reset();
    CF_LOG(kLogDebug, name_ + ": Started sending chunks back to client after soft error");
    chunk_sender_ = std::make_unique<chunk_sender_t>(*this, max_chunk);
  }
}

void bk_master_job_t::start_job_timer() {
  if (!timer_) timer_.emplace(*services_.io_context);
  timer_->expires_after(services_.redirect_pause);
  timer_->async_wait(wrap([this](const boost::system::error_code& error) { on_job_timer(error); }));
}

void bk_master_job_t::on_job_timer(const boost::system::error_code& error) {
  // Cancelled by a reset or by the job's end.
  if (error == boost::asio::error::operation_aborted) return;
  // A failed wait ends the pause all the same: the placement is tried now, and the
  // limit on placements bounds how often that can repeat.
  if (error) CF_LOG(kLogError, name_ + ": Job timer: " + error.message());
  start_redirect();
}

void bk_master_job_t::fail(std::exception_ptr error) {
  auto self = weak_from_this().lock();
  CF_LOG(kLogError, name_ + " (" + describe() + "): Fatal: " + exception_ptr_text(error));
  if (executor_) services_.report_failure(executor_endpoint());
  release_executor();
  scans_.clear();
  scans_forwarded_ = 0;
  get_data_state_.reset();
  delegate_->on_alarm(job_id, error, false);
}

void bk_master_job_t::reject(const std::string& text) {
  fail(make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION), text));
}

void bk_master_job_t::on_redirect_error(const std::exception_ptr& error) {
  auto self = weak_from_this().lock();
  CF_LOG(kLogWarning, name_ + ": Redirect: " + exception_ptr_text(error));
  if (backup_ && backup_->source_job()) {
    services_.report_failure(services_.node_of(*backup_->source_job()));
  }
  drop_executor();
  fail(kept_error_ ? kept_error_->error : error);
}

void bk_master_job_t::on_redirect_finished() {
  CF_LOG(kLogDebug, name_ + ": Redirect finished: data_size=" +
                        std::to_string(data_->size ? *data_->size : 0));
  finish_redirect();
}

bk_master_job_t::node_t bk_master_job_t::executor_endpoint() const {
  if (!executor_) return std::nullopt;
  return services_.node_of(*executor_);
}

void bk_master_job_t::release_executor() {
  ++generation_;
  dispose_backup();
  drop_executor();
  chunk_sender_.reset();
  if (timer_) timer_->cancel();
  kill_callbacks();
}

void bk_master_job_t::drop_executor() {
  if (!executor_) return;
  executor_->set_delegate(&ignoring_delegate());
  executor_.reset();
}

void bk_master_job_t::dispose_backup() {
  if (!backup_) return;
  backup_->detach();
  std::shared_ptr<bk_job_backup_t> doomed(std::move(backup_));
  boost::asio::post(*services_.io_context, [doomed] {});
}

bk_job_t::delegate& bk_master_job_t::ignoring_delegate() {
  class ignoring_delegate_t : public bk_job_t::delegate {
   public:
    void on_get_data_response(uint32_t, uint64_t) override {}
    void on_data_chunk(uint32_t, const char*, uint64_t) override {}
    void on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) override {}
    void on_data_chunk_appended(uint32_t, uint32_t) override {}
    void on_alarm(uint32_t, const std::exception_ptr&, bool) override {}
    boost::signals2::connection connect_on_drained(const std::function<void()>&) override {
      return {};
    }
  };
  static ignoring_delegate_t sink;
  return sink;
}

void bk_master_job_t::begin_redirect_for_driver() {
  redirect_announced_ = true;
  delegate_->on_redirect_begin(job_id);
}

void bk_master_job_t::end_redirect_for_driver() {
  if (!redirect_announced_) return;
  redirect_announced_ = false;
  delegate_->on_redirect_end(job_id);
}

bool bk_master_job_t::all_data_kept() const {
  return !data_ || (data_->size && *data_->size == data_->kept.total());
}
