// bk_local_job_t: runs a job on this host. It spools the job's data into files in
// the spool directory, has each scan request scanned by the scanning engine (through
// bk_scanner_t) and, when the cloud lookup is on, checked by the file's SHA-1
// (through bk_lumend_t), answers each request once with the combined verdict, and
// reads the (possibly cured) data back one chunk per drained signal of its driver,
// each read on the worker while the one before it goes out.
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
#include <optional>
#include <string>

#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

#include "core/hash_values.h"
#include "core/scanner.h"
#include "jobs/callback_wrapper.h"
#include "jobs/job.h"
#include "jobs/local_job_detail.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"

class bk_core_inventory_t;

class bk_local_job_t : public bk_job_t,
                       public bk_scanner_t::scan_job_t,
                       public bk_shared_callback_wrapper<bk_local_job_t> {
 public:
  // The spooled files, request queues and read-back state of the job.
  using detail_t = bk_local_job_detail_t;

  // How long a cloud verdict is waited for.
  static constexpr std::uint64_t kCloudTimeoutMs = 3000;

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
  // Request flow, in the order a request goes through it.
  void next_step();
  void scan_next();
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
  void answer(vl::ScanReport report);
  void scan_failed(const std::exception_ptr& error, bool soft);
  void unlock_after_scanning();
  void on_unlocked(const std::exception_ptr& failure);
  void refresh_size();
  void on_size_refreshed(const std::exception_ptr& failure);

  // Data flow.
  void open_reading();
  void on_data_appended(const std::shared_ptr<bk_local_job_t>& self, std::uint32_t size,
                        const bk_threaded_local_file_t::size_result_t& result);
  void on_reading_opened(const std::shared_ptr<bk_local_job_t>& self, std::uint64_t reading,
                         const util::either_t<std::exception_ptr, detail_t::reading_t>& result);
  void send_chunk(std::uint64_t reading);
  void read_next_chunk(std::uint64_t reading);
  void on_chunk_read(std::uint64_t reading,
                     const util::either_t<std::exception_ptr, detail_t::chunk_t>& result);
  void deliver_chunk(std::uint64_t reading);
  void end_reading();

  // Ends the request in progress without an answer: its digests, cloud verdict
  // and engine report no longer count.
  void abandon_request();
  void fail_request(const char* context, const std::exception_ptr& error, bool soft);
  // The engine moved the cured file: `path` is taken only inside our own spool
  // directory, since the file there is removed with the job.
  void take_new_path(const std::string& path);

  // Constant after construction.
  const std::string name_;
  const std::weak_ptr<bk_scanner_t> scanner_;

  // Event loop only: the request in progress (the front request of segment 0).
  bk_hash_values_t digests_;
  bool digests_ready_ = false;
  std::optional<vl::ScanReport> engine_report_;
  std::optional<vl::ScanReport> cloud_report_;
  bool hashes_needed_ = false;
  bool cure_ = false;
  // Engine request id of the request in flight, 0 when none.
  std::uint32_t engine_serial_ = 0;
  std::weak_ptr<bool> cloud_cancel_;
  // A request is between next_step and its answer or failure.
  bool in_progress_ = false;
  // Numbers the requests started and ended: digests and cloud verdicts carry the
  // number of the request they were asked for and are dropped for any other.
  std::uint64_t request_number_ = 0;
  // A merge or size refresh runs; the next request waits for it.
  bool unlocking_ = false;
  // The engine may have rewritten the main file and its size is being read again;
  // a reading waits for it, as it reads the sizes the event loop knows.
  bool refreshing_ = false;

  // Event loop only: reading back.
  boost::signals2::scoped_connection drained_connection_;
  // Numbers the readings; completions of an ended reading are dropped.
  std::uint64_t reading_number_ = 0;
  // A GET_DATA is accepted and its cursors are not open yet.
  bool reading_opening_ = false;
  // ... and they are opened once the size of the main file is known again.
  bool reading_deferred_ = false;
  // A chunk read runs on the worker; its result waits in next_chunk_ for the next
  // drained signal, or goes out at once when that signal came first (chunk_wanted_).
  bool chunk_reading_ = false;
  std::optional<util::either_t<std::exception_ptr, detail_t::chunk_t>> next_chunk_;
  bool chunk_wanted_ = false;
  std::uint32_t max_chunk_ = 0;

  bool reset_ = false;
  std::unique_ptr<detail_t> detail_;
};
