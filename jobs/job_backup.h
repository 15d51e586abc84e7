// Moves a master job's data into a new executor after the old one failed. The
// data lives in two places: the failed executor (the source job) still holds what
// it stored, the master's chunk buffer holds what it had not acknowledged. The
// backup reads the source job back, drops the part of the kept chunks the source
// already had, and feeds the rest after it, in order and without duplicates,
// through the master into the new executor; it counts the new executor's
// acknowledgements until the whole data size is stored.
//
// Owned by its master job (from the first failure until the redirect finishes or
// the job ends); the delegate of its source job meanwhile. Event loop only. Every
// call into the master may destroy the backup: nothing is touched after one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/signals2/signal.hpp>

#include "jobs/callback_wrapper.h"
#include "jobs/job.h"
#include "jobs/master_job.h"

class bk_job_backup_t : public bk_job_t::delegate, public bk_callback_wrapper_t {
 public:
  // Takes the failed executor `job` (may be null). When the master keeps every
  // byte, the source job is released at once and never asked.
  // REQUIRES: `master` owns the backup; `data` is not null.
  bk_job_backup_t(bk_master_job_t& master, std::shared_ptr<bk_job_t> job,
                  std::shared_ptr<bk_master_job_t::data_state_t> data);
  ~bk_job_backup_t() override;
  bk_job_backup_t(const bk_job_backup_t&) = delete;
  bk_job_backup_t& operator=(const bk_job_backup_t&) = delete;

  const std::string& name() const { return name_; }
  // The failed executor still held, or null.
  const std::shared_ptr<bk_job_t>& source_job() const { return job_; }
  // Gives the source job up (for the master to take it back).
  std::shared_ptr<bk_job_t> take_source_job();
  // data.size when the backup was made: what the source job was handed.
  std::optional<uint64_t> source_size() const { return source_size_; }

  // (Re)starts the replay into the master's current executor from the beginning;
  // callbacks of an earlier replay are dropped.
  void start();
  // The new executor stored one more chunk.
  void on_resume(uint32_t size) override;
  // The new executor acknowledged `n` bytes.
  void on_acknowledged(uint64_t n);
  // Cuts the backup off from its master for good: every later call does nothing.
  void detach();

 private:
  // As the source job's delegate.
  void on_get_data_response(uint32_t job_id, uint64_t data_size) override;
  void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) override;
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override;
  void on_data_chunk_appended(uint32_t job_id, uint32_t size) override;
  void on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) override;
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override;
  void on_data_reset_response(uint32_t job_id) override;

  void pump();
  void finish();
  void corrupted(const std::string& text);

  // Event loop only.
  uint64_t pending_ = 0;
  uint64_t acknowledged_ = 0;
  uint64_t in_flight_ = 0;
  // Lets the source job send its next chunk.
  boost::signals2::signal<void()> drained_;
  std::shared_ptr<bk_job_t> job_;
  // Null once detached.
  bk_master_job_t* master_;
  const std::shared_ptr<bk_master_job_t::data_state_t> data_;
  bool active_ = false;
  // The source job's read-back size came in this replay.
  bool response_received_ = false;
  // Constant after construction.
  const std::optional<uint64_t> source_size_;
  std::string name_;
};
