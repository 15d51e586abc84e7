// bk_request_pipeline_t: the request pipeline of a local job. It runs the job's scan
// requests one at a time, oldest first: puts the data on disk, has the main spool
// file scanned by the engine (through bk_scanner_t) and, where asked or where the
// cloud lookup is on, hashed by the digest pool and checked by its SHA-1 (through
// bk_lumend_t), answers each request once with bk_scan_verdict's answer, and
// between requests merges the next patch into the main file.
//
// A member of its bk_local_job_t, which it reports to through delegate_t; event loop
// only. Its completions hold the job weakly and do nothing once it is gone. Digests
// and cloud verdicts carry the number of the request they were asked for and count
// for no other.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include <boost/system/error_code.hpp>

#include "core/hash_values.h"
#include "jobs/scan_verdict.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"

class bk_local_job_t;
class bk_scanner_t;
class bk_spool_t;

class bk_request_pipeline_t {
 public:
  // What the pipeline needs of its job beyond the job interface. Called on the
  // event loop from inside the pipeline's own steps.
  class delegate_t {
   public:
    // The job has failed: no request starts.
    virtual bool failed() const = 0;
    // A step failed; with `soft` only the request it was for, which is dropped. The
    // driver may drop the job during the call.
    virtual void on_request_failed(const char* context, const std::exception_ptr& error,
                                   bool soft) = 0;
    // No merge and no size refresh runs any more: the spool's sizes are the disk's.
    virtual void on_spool_settled() = 0;

   protected:
    ~delegate_t() = default;
  };

  // How long a cloud verdict is waited for.
  static constexpr std::uint64_t kCloudTimeoutMs = 3000;

  // REQUIRES: `job`, `delegate` and `spool` outlive the pipeline; the inventory of
  // `job` holds the scanner, the cloud-lookup manager and the digest pool.
  bk_request_pipeline_t(bk_local_job_t& job, delegate_t& delegate, bk_spool_t& spool);
  bk_request_pipeline_t(const bk_request_pipeline_t&) = delete;
  bk_request_pipeline_t& operator=(const bk_request_pipeline_t&) = delete;

  // Queues a request covering the data appended so far; starts it when it is the
  // only one.
  void add(const bk::ScanOptions& options);
  // A merge or size refresh runs: the spool's sizes are not the disk's yet.
  bool settling() const { return unlocking_ || refreshing_; }

  // The engine's answer to the request in flight (other calls are ignored).
  void on_engine_report(const vl::ScanReport& report);
  void on_engine_error(const std::exception_ptr& error, bool soft);

  // Ends the request in progress without an answer: its digests, cloud verdict
  // and engine report no longer count.
  void abandon();
  // From the job's destructor: the engine front forgets the job.
  void leave_scanner();

 private:
  // In the order a request goes through them.
  void next_step();
  void sync();
  void on_synced(std::uint64_t request, const std::exception_ptr& failure);
  void start_checks();
  void submit();
  void calculate_hash(bool sha1, bool sha256);
  void on_hashes(std::uint64_t request, const std::exception_ptr& failure,
                 const bk_hash_values_t& values);
  void cloud_check();
  void on_cloud_answer(std::uint64_t request, const std::shared_ptr<bool>& cancel,
                       const boost::system::error_code& result,
                       const std::optional<vl::Virus>& virus);
  void finish_request();
  void answer(const vl::ScanReport& report);
  void scan_failed(const std::exception_ptr& error, bool soft);
  void fail(const char* context, const std::exception_ptr& error);
  // Between requests.
  void unlock();
  void on_unlocked(const std::exception_ptr& failure);
  void refresh_size();
  void on_size_refreshed(const std::exception_ptr& failure);

  // Constant after construction.
  bk_local_job_t& job_;
  delegate_t& delegate_;
  bk_spool_t& spool_;
  const std::weak_ptr<bk_scanner_t> scanner_;

  // Event loop only: the request in progress (the spool's front request). The
  // flags come last, packed, with the pipeline's part of the job's size.
  // Numbers the requests started and ended.
  std::uint64_t request_number_ = 0;
  bk_hash_values_t digests_;
  std::optional<vl::ScanReport> engine_report_;
  std::optional<vl::ScanReport> cloud_report_;
  std::weak_ptr<bool> cloud_cancel_;
  // Engine request id of the request in flight, 0 when none.
  std::uint32_t engine_serial_ = 0;
  bk_verdict_request_t asked_;
  // Between next_step and its answer or failure.
  bool in_progress_ = false;
  bool digests_ready_ = false;

  // Event loop only: the spool between requests. The next request waits for a
  // merge; a reading waits for both, as it reads the sizes the event loop knows.
  bool unlocking_ = false;
  bool refreshing_ = false;
};
