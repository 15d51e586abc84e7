// bk_scanner_t: the daemon's one front to the local scanning-engine daemon. It
// creates and registers the local jobs, queues their scan requests, obtains the
// engine's socket path from the configuration daemon, keeps one engine link, numbers
// each request sent with an engine serial, routes each report back to the job that
// asked and fails the waiting requests when the engine cannot be reached or the link
// breaks. It drops the idle link after a minute without jobs, and keeps this node's
// load figures (jobs and queued bytes) for the cluster.
//
// Owned by bk_inventory_t through a shared pointer; a pending socket-path request
// keeps it alive until answered. The engine link is connected without making the
// event loop wait (a full listen backlog included); requests wait meanwhile. Jobs hold only weak
// references to it, and it holds only weak references to them. Event loop only; no operation calls
// a job back from inside the call (answers and failures come from link and path completions).
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/sequenced_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <boost/signals2/signal.hpp>

#include "core/se_connector.h"

class bk_core_inventory_t;

namespace vl {
class BrelConfig;
class ScanReport;
}  // namespace vl
namespace bk {
class ScanOptions;
}

class bk_scanner_t : public std::enable_shared_from_this<bk_scanner_t>,
                     public bk_se_connector_t::delegate_t {
 public:
  // What the scanner needs of a job it scans for: its load figures, its front
  // request and the two answers. bk_local_job_t implements it beside the job
  // interface; each request it submits is answered exactly once, by on_scan_report
  // or on_scan_error, unless it cancels the request first. Both come on the event
  // loop from a link or path completion (never from inside a scanner call the job
  // made); the scanner holds the job across them, so the driver may drop it then.
  class scan_job_t {
   public:
    virtual ~scan_job_t() = default;
    // Bytes of job data held now.
    virtual std::uint64_t data_size() const = 0;
    // Scan requests accepted and not yet answered.
    virtual std::uint32_t scan_request_count() const = 0;
    // The file the engine scans for the job's front request.
    virtual std::string scan_path() const = 0;
    // The settings of the front request, copied into the engine request.
    virtual const bk::ScanOptions& scan_options() const = 0;
    // The engine's report for the request in flight.
    virtual void on_scan_report(const vl::ScanReport& report) = 0;
    // The request could not be scanned (engine not available, link lost, request
    // not sent). `soft`: the job's data is still good.
    virtual void on_scan_error(const std::exception_ptr& error, bool soft) = 0;
  };

  // Answers a socket-path request: a path, or with a non-null exception why there
  // is none. Called on the event loop, never from inside the request.
  using se_path_callback_t =
      std::function<void(const std::exception_ptr&, const boost::filesystem::path&)>;
  using se_path_source_t = std::function<void(se_path_callback_t)>;

  // How long the link stays up after the last job has gone.
  static constexpr std::chrono::seconds kReleaseDelay{60};

  // Asks the configuration link for the engine's socket path.
  explicit bk_scanner_t(bk_core_inventory_t& inventory);
  // Takes the event loop and the source of the engine's socket path directly;
  // `inventory` is only handed to the jobs create_job makes.
  // REQUIRES: `inventory` and `io` outlive the scanner.
  bk_scanner_t(bk_core_inventory_t& inventory, boost::asio::io_context& io,
               se_path_source_t se_path_source);
  ~bk_scanner_t() override;
  bk_scanner_t(const bk_scanner_t&) = delete;
  bk_scanner_t& operator=(const bk_scanner_t&) = delete;

  // Takes the engine settings; the first configuration that enables the engine
  // without deferring its start acquires the link at once.
  void reconfigure(const vl::BrelConfig& config);

  bool is_enabled() const { return is_se_installed_; }
  // The local engine's process count: its configured maximum, 0 when not installed.
  std::uint32_t max_forks() const { return is_se_installed_ ? se_max_forks_ : 0; }
  // The running load figures: each live job weighs max(pending scan requests, 1);
  // bytes are each job's data size times its weight. Estimates between recounts.
  std::uint32_t job_count() const { return load_jobs_; }
  std::uint64_t bytes_in_queue() const { return load_bytes_; }
  void recount_load();

  // A new job under `job_id` (a client's or a peer's id, not unique), registered
  // until its destructor calls remove_job. The caller owns it and names its type
  // (bk_local_job_t in the service), which the front knows only as a scan job.
  // REQUIRES: Job derives from scan_job_t and is constructible from
  // (std::uint32_t job_id, bk_core_inventory_t&).
  template <class Job>
  std::shared_ptr<Job> create_job(std::uint32_t job_id) {
    prepare_job();
    std::shared_ptr<Job> job = std::make_shared<Job>(job_id, inventory_);
    register_job(job);
    return job;
  }
  // From the job's destructor.
  void remove_job(scan_job_t& job);
  // A job accepts one more scan request; call before it counts that request.
  void add_scan(scan_job_t& job);
  // Queues one engine scan of the job's front request; returns its request id
  // (never 0). The answer comes later, never from inside this call.
  std::uint32_t submit(const std::weak_ptr<scan_job_t>& job);
  // Forgets the request: a queued one is not sent, the answer to a sent one is
  // dropped. Unknown ids are ignored.
  void cancel(std::uint32_t request_id);

  // Emitted when an engine acquisition ends, connected or failed.
  boost::signals2::signal<void()> state_changed;

  // Tests shorten the release delay.
  void set_release_delay(std::chrono::steady_clock::duration delay) { release_delay_ = delay; }

 private:
  friend class bk_scanner_test_access_t;

  struct queued_request_t {
    std::weak_ptr<scan_job_t> job;
    std::uint32_t request_id;
  };
  struct in_flight_request_t {
    std::weak_ptr<scan_job_t> job;
    std::uint32_t request_id;
    std::uint32_t serial;
    bool cancelled;
  };
  // A request whose send failed; its job hears of it from a posted step.
  struct unsent_request_t {
    std::weak_ptr<scan_job_t> job;
    std::uint32_t request_id;
    std::exception_ptr error;
  };
  struct by_request_id {};
  struct by_serial {};
  using queued_table_t = boost::multi_index_container<
      queued_request_t, boost::multi_index::indexed_by<
                            boost::multi_index::sequenced<>,
                            boost::multi_index::hashed_unique<
                                boost::multi_index::tag<by_request_id>,
                                boost::multi_index::member<queued_request_t, std::uint32_t,
                                                           &queued_request_t::request_id>>>>;
  using in_flight_table_t = boost::multi_index_container<
      in_flight_request_t, boost::multi_index::indexed_by<
                               boost::multi_index::hashed_unique<
                                   boost::multi_index::tag<by_request_id>,
                                   boost::multi_index::member<in_flight_request_t, std::uint32_t,
                                                              &in_flight_request_t::request_id>>,
                               boost::multi_index::hashed_unique<
                                   boost::multi_index::tag<by_serial>,
                                   boost::multi_index::member<in_flight_request_t, std::uint32_t,
                                                              &in_flight_request_t::serial>>>>;

  // bk_se_connector_t::delegate_t
  void on_scan_result(std::uint32_t serial, const vl::ScanReport& report) override;
  void on_link_error(const boost::system::error_code& error) override;

  void prepare_job();
  void register_job(const std::shared_ptr<scan_job_t>& job);
  bool is_idle() const { return jobs_.empty(); }

  void acquire_se();
  void on_se_acquired(const std::exception_ptr& error, const boost::filesystem::path& path);
  void on_se_connected(const std::exception_ptr& failure);
  // Ends an acquisition that found no engine: every waiting request fails.
  void se_unavailable(const std::exception& error);
  void pump();
  void fail_queued(const std::exception_ptr& error, bool soft);
  void fail_unsent();
  void drop_link();

  std::uint32_t next_request_id();
  std::uint32_t next_serial();

  void arm_release_timer();
  void on_release_timer(const boost::system::error_code& error);

  // Constant after construction.
  bk_core_inventory_t& inventory_;
  boost::asio::io_context& io_;
  const se_path_source_t se_path_source_;

  // Event loop only.
  bool is_se_installed_ = false;
  std::uint32_t se_max_forks_ = 0;
  bool acquiring_ = false;
  bool first_config_ = true;
  std::uint32_t last_request_id_ = 0;
  std::uint32_t last_serial_ = 0;
  queued_table_t queued_;
  in_flight_table_t in_flight_;
  std::vector<unsent_request_t> unsent_;
  std::shared_ptr<bk_se_connector_t> link_;
  // The link while its connect is under way; requests wait in queued_ meanwhile.
  std::shared_ptr<bk_se_connector_t> connecting_;
  // Every live job, keyed by its identity: job ids are chosen by clients and peers
  // and two live jobs may share one.
  std::map<const scan_job_t*, std::weak_ptr<scan_job_t>> jobs_;
  boost::asio::steady_timer release_timer_;
  std::chrono::steady_clock::duration release_delay_ = kReleaseDelay;
  std::uint32_t load_jobs_ = 0;
  std::uint64_t load_bytes_ = 0;
};
