// The job interface: one unit of scanning work (a stream of file data growing by
// chunks, scans asked on it, its possibly cured data read back) and the delegate
// through which a job answers whoever drives it. Client ties drive master jobs,
// master jobs and job backups drive executors (local and remote jobs), peer tie-ins
// drive local jobs for another instance.
//
// Owned by its driver through a std::shared_ptr; the job keeps only the raw
// `delegate` pointer back. Event-loop thread only: every operation is called and
// every delegate callback is made on the main thread's event loop.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/signals2/connection.hpp>

class bk_core_inventory_t;
struct bk_hash_values_t;

namespace vl {
class ScanReport;
}
namespace bk {
class ScanOptions;
}

// Calling order, as every driver uses it: create the job and set `delegate`; then
// any number of append_data interleaved with scan (each scan covers the data
// appended before it); get_data only while no earlier read-back is running; reset
// when dropping the job, then destroy it. name, describe, data_size and
// scan_request_count may be called at any time.
//
// A job answers later, or at once from inside the call when it refuses the call or
// fails. A callback may make the driver destroy the job: a job touches none of its
// own members after a callback that can end it.
class bk_job_t {
 public:
  class delegate;

  virtual ~bk_job_t() = default;
  bk_job_t(const bk_job_t&) = delete;
  bk_job_t& operator=(const bk_job_t&) = delete;

  // A copy of the display name ("Job 0x<n>", "Local job 0x<n>", "Remote job 0x<n>"),
  // the prefix of the job's log lines.
  virtual std::string name() const = 0;
  // Where the job runs, for logs.
  virtual std::string describe() const = 0;
  // Bytes of job data held now.
  virtual uint64_t data_size() const = 0;
  // Scan requests accepted and not yet answered.
  virtual uint32_t scan_request_count() const = 0;

  // Appends one chunk; the job may keep the pointer. Acknowledged later, possibly
  // in other portions, by on_data_chunk_appended.
  virtual void append_data(const std::shared_ptr<const std::string>& chunk) = 0;
  // One scan (a cure when options.cure is set) of all data appended so far.
  // Requests are answered in order, each by one on_scan_response (or an alarm).
  virtual void scan(const bk::ScanOptions& options) = 0;
  // Reads the (possibly cured) data back: one on_get_data_response with the total,
  // then on_data_chunk calls of at most `max_chunk` bytes adding up to it.
  virtual void get_data(uint32_t max_chunk) = 0;
  // Stops a read-back under way so that the next get_data starts from the
  // beginning; answered by on_data_reset_response.
  virtual void data_reset() = 0;
  // Cancels the job: no callback follows for work already under way.
  virtual void reset() = 0;

  // Constant after construction.
  // Given by the creator; the first argument of every callback but on_resume and
  // connect_on_drained.
  const uint32_t job_id;
  bk_core_inventory_t& inventory;

  // Event loop only. The driver sets itself right after creating the job and before
  // its first operation; a driver that takes the job over sets itself in turn.
  // REQUIRES: `d` outlives every callback the job can still make.
  void set_delegate(delegate* d) { delegate_ = d; }
  delegate* get_delegate() const { return delegate_; }

 protected:
  // REQUIRES: `inventory` outlives the job.
  bk_job_t(uint32_t job_id, bk_core_inventory_t& inventory)
      : job_id(job_id), inventory(inventory) {}

  // Event loop only. Not owned; null until set_delegate. Named with a suffix because
  // a master job is both a job and a delegate, where a bare `delegate` would be
  // ambiguous with the delegate's class name.
  delegate* delegate_ = nullptr;
};

// A job's callbacks, all made on the event-loop thread, later or from inside the
// job operation that caused them. The receiver may destroy the job (and so the
// caller) during any of them. Operations up to connect_on_drained must be
// implemented; the rest do nothing unless overridden.
class bk_job_t::delegate {
 public:
  virtual ~delegate() = default;

  // Start of a read-back: `data_size` bytes follow in on_data_chunk calls.
  virtual void on_get_data_response(uint32_t job_id, uint64_t data_size) = 0;
  // One chunk of read-back data. `data` is valid only during the call; a receiver
  // that keeps it copies it.
  virtual void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) = 0;
  // The answer to the oldest open scan request; `hashes` holds the digests as far as
  // they were computed (empty texts otherwise).
  virtual void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                                const bk_hash_values_t& hashes) = 0;
  // The job has stored `size` more bytes of appended data. Over a job's life these
  // add up to the bytes appended; one may cover part of a chunk or several chunks.
  virtual void on_data_chunk_appended(uint32_t job_id, uint32_t size) = 0;
  // The job failed; `error` holds the failure (normally a system_error in the
  // "vl.Error" category). `soft`: only this request failed and the data can still
  // be read back; otherwise the job is finished.
  virtual void on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) = 0;
  // Connects `callback` to the driver's send-queue-drained signal; the job
  // disconnects it when it no longer needs it. A driver that forwards to its own
  // driver returns that driver's connection.
  virtual boost::signals2::connection connect_on_drained(const std::function<void()>& callback) = 0;

  // The job has just stored one more chunk of `size` bytes (sent right before the
  // matching on_data_chunk_appended). No job identifier: a receiver that needs one
  // knows it already.
  virtual void on_resume(uint32_t /*size*/) {}
  // The master job is about to move the job to another executor.
  virtual void on_redirect_begin(uint32_t /*job_id*/) {}
  // The move is over, or the master job is being destroyed.
  virtual void on_redirect_end(uint32_t /*job_id*/) {}
  // Answer to data_reset.
  virtual void on_data_reset_response(uint32_t /*job_id*/) {}
};

// Declares the delegate's required operations as overrides, for a class that takes
// them all: every driver of a job handles each, so the list lives here once.
#define BK_JOB_DELEGATE_OPERATIONS                                                     \
  void on_get_data_response(uint32_t job_id, uint64_t data_size) override;             \
  void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) override;       \
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,                 \
                        const bk_hash_values_t& hashes) override;                      \
  void on_data_chunk_appended(uint32_t job_id, uint32_t size) override;                \
  void on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) override; \
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override;
