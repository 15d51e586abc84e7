// The master job's life: the state table, placement on a node, executor failures,
// redirects to another node, giving up softly or for good. The data path is in
// master_job_data.cpp, the replay itself in job_backup.cpp.
#include "jobs/master_job.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "framework/log.h"
#include "jobs/chunk_sender.h"
#include "jobs/ignoring_delegate.h"

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

// ---------------------------------------------------------------------------
// The state

bool bk_master_job_t::may_enter(state_t from, state_t to) {
  using s = state_t;
  // An executor holds all the data: its failure moves the job.
  const bool running = from == s::kRunning || from == s::kFinishing;
  switch (to) {
    case s::kUnplaced:
      return false;
    // The first placement, or the driver told that the move is over.
    case s::kRunning:
      return from == s::kUnplaced || from == s::kFinishing;
    // An executor failed (during a replay too) and a node took the job, at once or
    // after a wait.
    case s::kRedirecting:
      return running || from == s::kRedirecting || from == s::kWaiting;
    // No node is free, for the first placement, after a failure or after a wait.
    case s::kWaiting:
      return from == s::kUnplaced || running || from == s::kRedirecting || from == s::kWaiting;
    case s::kFinishing:
      return from == s::kRedirecting;
    // A soft-error client whose job was never placed, or whose executor failed with
    // no other node free.
    case s::kSoftFailed:
      return from == s::kUnplaced || running || from == s::kRedirecting;
    case s::kSoftFailedOnSource:
      return from == s::kSoftFailed;
    case s::kEnded:
      return true;
  }
  return false;
}

void bk_master_job_t::move_to(state_t next) {
  assert(may_enter(state_, next));
  state_ = next;
  ++epoch_;
  switch (next) {
    case state_t::kFinishing:
    case state_t::kSoftFailedOnSource:
      // An executor holds all the data again: a later failure is a new first one.
      kept_error_.reset();
      break;
    case state_t::kRedirecting:
    case state_t::kWaiting:
      // The driver holds back its grants of the connection meanwhile.
      delegate_->on_redirect_begin(job_id);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Placement

void bk_master_job_t::place() {
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
  if (node_t node = executor_endpoint()) {
    tried_peers_.insert(*node);
  } else {
    local_tried_ = true;
  }
  executor_->set_delegate(this);
  CF_LOG(kLogDebug, name_ + ": Start as: " + executor_->name() + ", " + executor_->describe());
}

// ---------------------------------------------------------------------------
// Executor failures and redirects

void bk_master_job_t::on_alarm(uint32_t, const std::exception_ptr& error, bool soft) {
  auto self = weak_from_this().lock();
  // Nothing could rebuild the data the executor took with it.
  if (!soft && !all_data_kept() && !backup_) {
    fail(error);
    return;
  }
  // A read-back under way outside a redirect, or one the client has seen part of.
  if (get_data_state_ && (executor_holds_data() || get_data_state_->response_received)) {
    fail(error);
    return;
  }
  on_executor_error(error, true);
}

void bk_master_job_t::on_executor_error(const std::exception_ptr& error, bool alarm) {
  auto self = weak_from_this().lock();
  // After a soft alarm the job only serves its data back, and once part of a
  // read-back reached the client no other node could continue it: either way a
  // failure ends the job.
  if (soft_failed() || (get_data_state_ && get_data_state_->response_received)) {
    fail(error);
    return;
  }
  const int level = executor_ && !executor_endpoint() ? kLogError : kLogWarning;
  CF_LOG(level, name_ + " (" + describe() + "): " + exception_ptr_text(error));
  services_.report_failure(executor_endpoint());
  if (!data_) return;
  if (!kept_error_) kept_error_ = kept_error_t{error, false};
  if (!backup_) backup_ = make_backup();
  drop_executor();
  // A read-back the failed executor never answered is asked of the next one.
  if (get_data_state_) get_data_state_->requested = false;
  start_redirect(alarm);
}

bool bk_master_job_t::place_or_redispatch(bool alarm) {
  try {
    place();
  } catch (const std::exception&) {
    // An executor that cannot even be made (its spool file named, its link asked
    // for) fails this job alone: never the client's connection, nor the event loop
    // when called from an executor's or the timer's completion.
    fail(std::current_exception());
    return false;
  }
  if (executor_) return true;
  redispatch(alarm);
  return false;
}

void bk_master_job_t::start_redirect(bool alarm) {
  auto self = weak_from_this().lock();
  if (!place_or_redispatch(alarm)) return;
  move_to(state_t::kRedirecting);
  CF_LOG(kLogDebug, name_ + ": Redirect started: " + backup_->name() + " -> " + executor_->name());
  scans_forwarded_ = 0;
  backup_->start();
}

// No node could take the job.
void bk_master_job_t::redispatch(bool alarm) {
  // A soft-error client is not kept waiting when its job was never placed, or when
  // its executor said it failed: it can still read its data back.
  if (soft_error_ && (state_ == state_t::kUnplaced || alarm)) {
    fail_softly();
    return;
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
  move_to(state_t::kWaiting);
  if (!backup_) backup_ = make_backup();
  start_job_timer();
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
  start_redirect(false);
}

// The client gets a soft alarm and may still read its data back: from the failed
// executor when it holds some, which first gets the chunks that came during the
// redirect and never reached it, and otherwise from the master's own copy. Chunks
// already on their way are taken as well, until the read-back begins.
void bk_master_job_t::fail_softly() {
  auto self = weak_from_this().lock();
  const bool redirect_announced = move_announced();
  const std::exception_ptr error = kept_error_ ? kept_error_->error : nullptr;
  std::shared_ptr<bk_job_t> source;
  std::optional<uint64_t> source_size;
  uint64_t source_acknowledged = 0;
  bool source_read = false;
  if (backup_) {
    source = backup_->take_source_job();
    source_size = backup_->source_size();
    source_acknowledged = backup_->source_acknowledged();
    source_read = backup_->source_read();
    dispose_backup();
  }
  move_to(state_t::kSoftFailed);
  if (source) {
    executor_ = std::move(source);
    executor_->set_delegate(this);
    const uint64_t epoch = epoch_;
    if (source_read) {
      // A replay had it send its data back; that must end before the client's own
      // read-back can start.
      source_resetting_ = true;
      executor_->data_reset();
      if (epoch != epoch_) return;
    }
    if (data_ && data_->size && source_size && *data_->size > *source_size) {
      if (!hand_tail_to_executor(*data_->size - *source_size)) return;
    }
    move_to(state_t::kSoftFailedOnSource);
    // From here on the executor's acknowledgements come straight to the client:
    // the master keeps nothing more for a move that will not come.
    if (data_) {
      data_->kept.clear();
      // What it stored while the backup stood in for the master.
      acknowledge(std::min(source_acknowledged, data_->unacknowledged));
    }
  }
  // No grant of the connection may wait for this job any more.
  if (redirect_announced) delegate_->on_redirect_end(job_id);
  // Requests the master answered itself before the failure are still due; the
  // alarm stands for the rest.
  deliver_own_answers();
  scans_.clear();
  scans_forwarded_ = 0;
  // The bytes the master keeps, or the executor has yet to store, stay open: they
  // are the client's data, not yet stored anywhere but in memory.
  delegate_->on_alarm(job_id, error, true);
  if (!get_data_state_) return;
  // A read-back that waited for the redirect is served by what holds the data.
  reading_back_ = true;
  if (executor_) {
    get_data_state_->requested = false;
    request_data();
  } else {
    const uint32_t max_chunk = get_data_state_->max_chunk;
    get_data_state_.reset();
    start_chunk_sender(max_chunk);
  }
}

void bk_master_job_t::on_redirect_finished() {
  CF_LOG(kLogDebug, name_ + ": Redirect finished: data_size=" +
                        std::to_string(data_->size ? *data_->size : 0));
  finish_redirect();
}

void bk_master_job_t::finish_redirect() {
  auto self = weak_from_this().lock();
  move_to(state_t::kFinishing);
  const uint64_t epoch = epoch_;
  dispose_backup();
  // The new executor acknowledged everything.
  data_->kept.clear();
  if (!forward_scans(std::nullopt)) return;
  request_data();
  if (epoch != epoch_) return;
  acknowledge(data_->unacknowledged);
  // Last, so that the driver grants the acknowledged bytes in one go.
  if (state_ != state_t::kFinishing) return;
  move_to(state_t::kRunning);
  delegate_->on_redirect_end(job_id);
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

// ---------------------------------------------------------------------------
// The end

void bk_master_job_t::fail(std::exception_ptr error) {
  auto self = weak_from_this().lock();
  CF_LOG(kLogError, name_ + " (" + describe() + "): Fatal: " + exception_ptr_text(error));
  if (executor_) services_.report_failure(executor_endpoint());
  end();
  delegate_->on_alarm(job_id, error, false);
}

void bk_master_job_t::reject(const std::string& text) {
  fail(make_error_exception_ptr(make_error_code(vl::EC_PROTOCOL_VIOLATION), text));
}

void bk_master_job_t::reset() {
  CF_LOG(kLogDebug, name_ + ": Reset");
  end();
}

void bk_master_job_t::end() {
  move_to(state_t::kEnded);
  dispose_backup();
  drop_executor();
  chunk_sender_.reset();
  if (timer_) timer_->cancel();
  kill_callbacks();
  scans_.clear();
  scans_forwarded_ = 0;
  get_data_state_.reset();
}

// ---------------------------------------------------------------------------
// Helpers

std::unique_ptr<bk_job_backup_t> bk_master_job_t::make_backup() {
  bk_job_backup_t::master_t& master = *this;
  return std::make_unique<bk_job_backup_t>(master, *services_.io_context, std::move(executor_),
                                           data_);
}

bk_master_job_t::node_t bk_master_job_t::executor_endpoint() const {
  if (!executor_) return std::nullopt;
  return services_.node_of(*executor_);
}

void bk_master_job_t::drop_executor() {
  if (!executor_) return;
  executor_->set_delegate(&bk_ignoring_delegate());
  executor_.reset();
}

void bk_master_job_t::dispose_backup() {
  if (!backup_) return;
  backup_->detach();
  std::shared_ptr<bk_job_backup_t> doomed(std::move(backup_));
  boost::asio::post(*services_.io_context, [doomed] {});
}

bool bk_master_job_t::all_data_kept() const {
  return !data_ || (data_->size && *data_->size == data_->kept.total());
}
