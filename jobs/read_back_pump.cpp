#include "jobs/read_back_pump.h"

#include <utility>

#include "core/core_inventory.h"
#include "jobs/local_job.h"

bk_read_back_pump_t::bk_read_back_pump_t(bk_local_job_t& job, delegate_t& delegate,
                                         bk_spool_t& spool)
    : job_(job), delegate_(delegate), spool_(spool) {}

void bk_read_back_pump_t::start(std::uint32_t max_chunk, bool wait_for_spool) {
  opening_ = true;
  max_chunk_ = max_chunk;
  ++reading_number_;
  if (wait_for_spool) {
    waiting_ = true;
    return;
  }
  open();
}

void bk_read_back_pump_t::on_spool_settled() {
  if (waiting_) open();
}

void bk_read_back_pump_t::open() {
  waiting_ = false;
  spool_.open_reading([this, weak = job_.weak_from_this(), reading = reading_number_](
                          const util::outcome_t<bk_spool_t::reading_t>& result) {
    if (const std::shared_ptr<bk_local_job_t> self = weak.lock()) on_opened(self, reading, result);
  });
}

void bk_read_back_pump_t::on_opened(const std::shared_ptr<bk_local_job_t>& self,
                                    std::uint64_t reading,
                                    const util::outcome_t<bk_spool_t::reading_t>& result) {
  // A data reset or reset came first.
  if (reading != reading_number_) return;
  opening_ = false;
  if (const std::exception_ptr failure = util::failure_of(result)) {
    delegate_.on_read_back_failed(failure);
    return;
  }
  const bk_spool_t::reading_t& cursors = std::get<bk_spool_t::reading_t>(result);
  // What the cursors hold is exactly what will be sent, whatever arrived since.
  std::uint64_t total = 0;
  for (const auto& cursor : *cursors) total += cursor.size - cursor.position;
  if (!cursors->empty()) cursors_ = cursors;
  if (!job_.get_delegate()) return;
  job_.get_delegate()->on_get_data_response(job_.job_id, total);
  // The driver let go of the job, ended the reading or went away during the call.
  if (self.use_count() <= 1 || reading != reading_number_ || !cursors_ || !job_.get_delegate())
    return;
  drained_connection_ =
      job_.get_delegate()->connect_on_drained(job_.wrap([this, reading] { on_drained(reading); }));
  // The first chunk is read while the answer goes out.
  read_next_chunk(reading);
}

void bk_read_back_pump_t::on_drained(std::uint64_t reading) {
  if (reading != reading_number_ || !cursors_) return;
  if (next_chunk_) {
    send_chunk(reading);
    return;
  }
  // The chunk goes out as soon as its read is done.
  chunk_wanted_ = true;
  read_next_chunk(reading);
}

void bk_read_back_pump_t::read_next_chunk(std::uint64_t reading) {
  // One read at a time, and at most one chunk read ahead of the drained signals.
  if (reading != reading_number_ || !cursors_ || chunk_reading_ || next_chunk_) return;
  chunk_reading_ = true;
  util::make_async_chain(
      *job_.inventory.task_queue, job_.inventory.io_context,
      std::weak_ptr<bk_local_file_t::read_list_t>(cursors_),
      [max = max_chunk_](bk_local_file_t::read_list_t& list) {
        chunk_t chunk;
        chunk.data = bk_local_file_t::read_chunk(list, max);
        chunk.last = list.empty();
        return chunk;
      },
      job_.wrap([this, reading](bk_local_file_t::read_list_t&, util::outcome_t<chunk_t> result) {
        on_chunk_read(reading, std::move(result));
      }));
}

void bk_read_back_pump_t::on_chunk_read(std::uint64_t reading, util::outcome_t<chunk_t> result) {
  if (reading != reading_number_) return;
  chunk_reading_ = false;
  next_chunk_.emplace(std::move(result));
  if (chunk_wanted_) send_chunk(reading);
}

// One chunk per drained signal; a read failure is reported in a chunk's place.
void bk_read_back_pump_t::send_chunk(std::uint64_t reading) {
  const util::outcome_t<chunk_t> result = std::move(*next_chunk_);
  next_chunk_.reset();
  chunk_wanted_ = false;
  if (const std::exception_ptr failure = util::failure_of(result)) {
    stop();
    delegate_.on_read_back_failed(failure);
    return;
  }
  const chunk_t& chunk = std::get<chunk_t>(result);
  // Ended before the chunk goes out, so that a driver that reads on from inside the
  // call finds the reading over; otherwise the next chunk is read meanwhile.
  if (chunk.last) {
    stop();
  } else {
    read_next_chunk(reading);
  }
  bk_job_t::delegate* driver = job_.get_delegate();
  if (!chunk.data || chunk.data->empty() || !driver) return;
  driver->on_data_chunk(job_.job_id, chunk.data->data(), chunk.data->size());
}

void bk_read_back_pump_t::stop() {
  ++reading_number_;
  opening_ = false;
  waiting_ = false;
  chunk_reading_ = false;
  next_chunk_.reset();
  chunk_wanted_ = false;
  cursors_.reset();
  drained_connection_.disconnect();
}
