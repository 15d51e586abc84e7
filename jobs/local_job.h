// bk_local_job_t: runs a job on this host. It spools the job's data into files in
// the spool directory (bk_spool_t), has each scan request scanned by the scanning
// engine and, when the cloud lookup is on, checked by the file's SHA-1, answering
// each request once with the combined verdict (bk_request_pipeline_t), and reads the
// (possibly cured) data back one chunk per drained signal of its driver
// (bk_read_back_pump_t). The job itself takes the data, keeps the job's failure and
// reset, and routes the calls to its parts.
//
// Made through bk_scanner_t::create_job (by the cluster and the peer tie-in) and
// owned by its driver (a master job or a peer tie-in); the scanner keeps only a weak
// reference. Event loop only: file work runs on the task-queue worker and digests
// in the digest pool, and their results come back by posting to the event loop,
// where they are dropped once the job is gone. Its spool files are removed when the
// job is destroyed, whatever it was doing.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "core/scanner.h"
#include "jobs/callback_wrapper.h"
#include "jobs/job.h"
#include "jobs/read_back_pump.h"
#include "jobs/request_pipeline.h"
#include "jobs/spool.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"

class bk_core_inventory_t;

class bk_local_job_t : public bk_job_t,
                       public bk_scanner_t::scan_job_t,
                       public bk_shared_callback_wrapper<bk_local_job_t> {
 public:
  // How long a cloud verdict is waited for.
  static constexpr std::uint64_t kCloudTimeoutMs = bk_request_pipeline_t::kCloudTimeoutMs;

  // REQUIRES: `inventory` outlives the job and holds the scanner, the cloud-lookup
  // manager, the task queue and the digest pool.
  bk_local_job_t(std::uint32_t job_id, bk_core_inventory_t& inventory);
  ~bk_local_job_t() override;

  // bk_job_t (data_size and scan_request_count for bk_scanner_t::scan_job_t too)
  std::string name() const override;
  // "file " and the main spool file's path.
  std::string describe() const override;
  std::uint64_t data_size() const override;
  std::uint32_t scan_request_count() const override;
  void append_data(const std::shared_ptr<const std::string>& chunk) override;
  void scan(const bk::ScanOptions& options) override;
  void get_data(std::uint32_t max_chunk) override;
  void data_reset() override;
  // Stops the job: work under way is dropped and no callback follows. The spool
  // files go with the job, which the driver drops next.
  void reset() override;

  // bk_scanner_t::scan_job_t
  std::string scan_path() const override;
  const bk::ScanOptions& scan_options() const override;
  void on_scan_report(const vl::ScanReport& report) override;
  void on_scan_error(const std::exception_ptr& error, bool soft) override;

 private:
  // What the parts report to the job. A member rather than a base of the job: each
  // base lengthens every dynamic_cast a driver makes on its executor.
  class part_hooks_t final : public bk_request_pipeline_t::delegate_t,
                             public bk_read_back_pump_t::delegate_t {
   public:
    explicit part_hooks_t(bk_local_job_t& job) : job_(job) {}
    bool failed() const override { return job_.failed_; }
    void on_request_failed(const char* context, const std::exception_ptr& error,
                           bool soft) override;
    void on_spool_settled() override;
    void on_read_back_failed(const std::exception_ptr& error) override;

   private:
    bk_local_job_t& job_;
  };

  void on_data_appended(const std::shared_ptr<bk_local_job_t>& self, std::uint32_t size,
                        const bk_threaded_local_file_t::size_result_t& result);
  // Reports the failure to the driver; the job takes no data and starts no request
  // afterwards, unless only one request failed (`usable`): then it stays usable,
  // also for what the driver does on hearing of it.
  void fail(const char* context, const std::exception_ptr& error, bool soft, bool usable = false);

  // Constant after construction.
  const std::string name_;

  // Event loop only.
  bool failed_ = false;
  // Terminal: nothing more is taken or answered.
  bool reset_ = false;
  // A cure was asked for: it rewrites the file, so no more data is taken.
  bool cure_requested_ = false;
  // The parts, each with its state private; the spool goes last. The job is one
  // make_shared block of at most 1032 bytes, the most malloc's per-thread cache
  // serves: a job made and dropped per file must not grow past it.
  part_hooks_t hooks_{*this};
  bk_spool_t spool_;
  bk_request_pipeline_t requests_;
  bk_read_back_pump_t read_back_;
};
