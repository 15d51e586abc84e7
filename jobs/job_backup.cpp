#include "jobs/job_backup.h"

#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "jobs/client_protocol.h"

bk_job_backup_t::bk_job_backup_t(bk_master_job_t& master, std::shared_ptr<bk_job_t> job,
                                 std::shared_ptr<bk_master_job_t::data_state_t> data)
    : job_(std::move(job)), master_(&master), data_(std::move(data)), source_size_(data_->size) {
  // The master keeps every byte: the source job has nothing to add.
  if (data_->size && *data_->size == data_->kept.total()) {
    if (job_) job_->set_delegate(&bk_master_job_t::ignoring_delegate());
    job_.reset();
  } else if (job_) {
    job_->set_delegate(this);
  }
  name_ = "Backup (" + (job_ ? job_->name() + " + " : std::string()) + data_->kept.name() + ")";
}

bk_job_backup_t::~bk_job_backup_t() {
  drained_.disconnect_all_slots();
  if (job_) job_->set_delegate(&bk_master_job_t::ignoring_delegate());
}

void bk_job_backup_t::detach() {
  master_ = nullptr;
  active_ = false;
  kill_callbacks();
  drained_.disconnect_all_slots();
}

std::shared_ptr<bk_job_t> bk_job_backup_t::take_source_job() {
  std::shared_ptr<bk_job_t> job = std::move(job_);
  job_.reset();
  return job;
}

void bk_job_backup_t::start() {
  active_ = false;
  response_received_ = false;
  pending_ = 0;
  acknowledged_ = 0;
  in_flight_ = 0;
  data_->kept.rewind();
  kill_callbacks();
  drained_.disconnect_all_slots();
  if (auto job = job_) {
    job->data_reset();
    return;
  }
  if (data_->size && *data_->size != 0) {
    active_ = true;
    pump();
    return;
  }
  master_->on_redirect_finished();
}

void bk_job_backup_t::on_data_reset_response(uint32_t) {
  // Only the first answer after a start begins the reading; a later one belongs
  // to an aborted replay.
  if (active_ || !master_) return;
  active_ = true;
  if (auto job = job_) job->get_data(kLocalReadChunk);
}

void bk_job_backup_t::on_get_data_response(uint32_t, uint64_t size) {
  if (!active_ || response_received_) return;
  response_received_ = true;
  // A cured file: its size is known from here on.
  if (!data_->size) data_->size = size;
  const uint64_t total = size + data_->kept.total();
  if (total < *data_->size || size > *data_->size) {
    corrupted("Backup job");
    return;
  }
  // The first kept bytes are held by the source job too.
  data_->kept.shrink_front(total - *data_->size);
  pending_ = size;
  if (pending_ == 0) pump();
}

void bk_job_backup_t::on_data_chunk(uint32_t, const char* data, uint64_t size) {
  if (!active_ || pending_ == 0) return;
  if (size > pending_) {
    corrupted(std::string());
    return;
  }
  in_flight_ += size;
  pending_ -= size;
  master_->feed_executor(std::make_shared<const std::string>(data, size));
}

void bk_job_backup_t::on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) {}

void bk_job_backup_t::on_data_chunk_appended(uint32_t, uint32_t) {}

void bk_job_backup_t::on_alarm(uint32_t, const std::exception_ptr& error, bool) {
  if (master_) master_->on_redirect_error(error);
}

boost::signals2::connection bk_job_backup_t::connect_on_drained(
    const std::function<void()>& callback) {
  if (!master_) return {};
  // The first chunk may come at once; every later one when the new executor has
  // stored enough.
  auto wrapped = wrap(callback);
  boost::asio::post(*master_->services_.io_context, wrapped);
  return drained_.connect(wrapped);
}

void bk_job_backup_t::on_resume(uint32_t) {
  if (active_) pump();
}

void bk_job_backup_t::on_acknowledged(uint64_t n) {
  if (!active_) return;
  if (n > in_flight_) {
    corrupted("Backup job");
    return;
  }
  in_flight_ -= n;
  acknowledged_ += n;
  if (!data_->size || acknowledged_ > *data_->size) {
    corrupted("Backup job");
    return;
  }
  if (acknowledged_ == *data_->size) {
    finish();
    return;
  }
  if (in_flight_ == 0) pump();
}

void bk_job_backup_t::pump() {
  // The source job's bytes come first.
  if (job_ && !response_received_) return;
  if (data_->size && in_flight_ + acknowledged_ == *data_->size) {
    // Only when there was nothing to hand over at all; otherwise the last
    // acknowledgement finishes.
    if (in_flight_ == 0) finish();
    return;
  }
  if (pending_ > 0) {
    drained_();
    return;
  }
  // The source job delivered everything: the kept chunks follow, one per call.
  while (auto chunk = data_->kept.next()) {
    if (chunk->empty()) continue;
    in_flight_ += chunk->size();
    master_->feed_executor(chunk);
    return;
  }
  // Bytes are missing that nothing will deliver.
  if (in_flight_ == 0) corrupted("Backup job");
}

void bk_job_backup_t::finish() {
  kill_callbacks();
  active_ = false;
  master_->on_redirect_finished();
}

void bk_job_backup_t::corrupted(const std::string& text) {
  const boost::system::error_code code = make_error_code(vl::EC_DATA_CORRUPTED);
  master_->on_redirect_error(text.empty() ? make_error_exception_ptr(code)
                                          : make_error_exception_ptr(code, text));
}
