// A replay runs: start (the source job resets its read-back) -> the source job's
// read-back size, which drops the kept bytes it also holds -> its chunks, one each
// time the new executor stored the last -> the kept chunks, one per pump -> the
// last acknowledgement finishes. Each chunk goes on in pieces through feed, which
// has the master issue the client's requests at their offsets.
#include "jobs/job_backup.h"

#include <algorithm>

#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "jobs/client_protocol.h"
#include "jobs/ignoring_delegate.h"

bk_job_backup_t::bk_job_backup_t(master_t& master, boost::asio::io_context& io,
                                 std::shared_ptr<bk_job_t> job, std::shared_ptr<bk_job_data_t> data)
    : io_(io),
      data_(std::move(data)),
      source_size_(data_->size),
      master_(&master),
      job_(std::move(job)) {
  // The master keeps every byte: the source job has nothing to add.
  if (data_->size && *data_->size == data_->kept.total()) {
    if (job_) job_->set_delegate(&bk_ignoring_delegate());
    job_.reset();
  } else if (job_) {
    job_->set_delegate(this);
  }
  name_ = "Backup (" + (job_ ? job_->name() + " + " : std::string()) + data_->kept.name() + ")";
}

bk_job_backup_t::~bk_job_backup_t() {
  drained_.disconnect_all_slots();
  if (job_) job_->set_delegate(&bk_ignoring_delegate());
}

void bk_job_backup_t::start() {
  active_ = false;
  response_received_ = false;
  pending_ = 0;
  acknowledged_ = 0;
  in_flight_ = 0;
  forwarded_ = 0;
  data_->kept.rewind();
  kill_callbacks();
  drained_.disconnect_all_slots();
  if (auto job = job_) {
    source_read_ = true;
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
  // Each piece is copied straight out of the source job's bytes.
  feed(data, size, nullptr);
}

boost::signals2::connection bk_job_backup_t::connect_on_drained(
    const std::function<void()>& callback) {
  if (!master_) return {};
  // The first chunk may come at once; every later one when the new executor has
  // stored enough.
  auto wrapped = wrap(callback);
  boost::asio::post(io_, wrapped);
  return drained_.connect(wrapped);
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
    feed(chunk->data(), chunk->size(), &chunk);
    return;
  }
  // Bytes are missing that nothing will deliver.
  if (in_flight_ == 0) corrupted("Backup job");
}

void bk_job_backup_t::feed(const char* data, size_t size, const chunk_t* whole) {
  if (size == 0) return;
  const uint64_t epoch = master_->epoch();
  size_t offset = 0;
  while (offset < size) {
    uint64_t length = size - offset;
    // A boundary already passed does not cut: its request goes when the
    // redirect finishes.
    const std::optional<uint64_t> boundary = master_->next_request_at();
    if (boundary && *boundary >= forwarded_) {
      length = std::min<uint64_t>(length, *boundary - forwarded_);
    }
    if (length > 0) {
      // The client's own chunk object when it goes whole.
      const chunk_t piece =
          whole && length == size
              ? *whole
              : std::make_shared<const std::string>(data + offset, static_cast<size_t>(length));
      offset += length;
      forwarded_ += length;
      master_->hand_on(piece);
      if (moved_on(epoch)) return;
    }
    master_->issue_requests_due(forwarded_);
    if (moved_on(epoch)) return;
  }
}

bool bk_job_backup_t::moved_on(uint64_t epoch) const {
  return !master_ || master_->epoch() != epoch;
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

void bk_job_backup_t::finish() {
  kill_callbacks();
  active_ = false;
  master_->on_redirect_finished();
}

void bk_job_backup_t::on_alarm(uint32_t, const std::exception_ptr& error, bool) {
  if (master_) master_->on_redirect_error(error);
}

void bk_job_backup_t::corrupted(const std::string& text) {
  const boost::system::error_code code = make_error_code(vl::EC_DATA_CORRUPTED);
  master_->on_redirect_error(text.empty() ? make_error_exception_ptr(code)
                                          : make_error_exception_ptr(code, text));
}

void bk_job_backup_t::detach() {
  master_ = nullptr;
  active_ = false;
  kill_callbacks();
  drained_.disconnect_all_slots();
}

std::shared_ptr<bk_job_t> bk_job_backup_t::take_source_job() {
  return std::move(job_);
}

// The source job's scan answers and acknowledgements belong to the failed run; the
// acknowledgements are counted for a master that takes the source job back.
void bk_job_backup_t::on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) {}

void bk_job_backup_t::on_data_chunk_appended(uint32_t, uint32_t size) {
  source_acknowledged_ += size;
}
