// The job a client sees: one per client job identifier, created by the client tie
// on INIT. It scans nothing itself. It places the job on an executor chosen by the
// cluster (a local job here or a remote job on a peer), forwards the client's data
// and requests to it and passes the answers back in request order, answers some
// scans itself (no data, size limits), keeps every chunk until the executor has
// stored it, and on an executor failure moves the job to another node, replaying
// the data through a job backup. A soft-error client whose data no executor holds
// (the job was never placed) gets it back from the master (chunk_sender_t).
//
// Owned by the client tie (std::make_shared, then set_delegate and set_soft_error
// before the first operation); owns its executor, backup and chunk sender. Event
// loop only. Any operation may answer at once through the delegate, and an alarm
// without `soft` makes the tie drop the job during that call.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

#include "jobs/callback_wrapper.h"
#include "jobs/chunk_buffer.h"
#include "jobs/job.h"
#include "schemas/brel_client_ipc.pb.h"

class bk_job_backup_t;

class bk_master_job_t : public bk_job_t,
                        public bk_job_t::delegate,
                        public bk_callback_wrapper_t,
                        public std::enable_shared_from_this<bk_master_job_t> {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;
  // A peer node, or none for this host.
  using node_t = std::optional<endpoint_t>;

  // How the job reaches the event loop and the cluster, which lives above the
  // jobs: the central object's services (wiring/master_job_services.h) ask its
  // cluster; tests put in-memory ones in their place.
  struct services_t {
    boost::asio::io_context* io_context = nullptr;
    // A new executor, not yet started, for `job_id`; excludes the peers in
    // `excluded` and, with `never_local`, this host. Throws cf_proto_exception_t
    // (EC_NOT_READY: worth waiting; otherwise final) when no node can take it.
    std::function<std::shared_ptr<bk_job_t>(uint32_t job_id, const std::set<endpoint_t>& excluded,
                                            bool never_local)>
        choose_node;
    std::function<void(const node_t& node)> report_success;
    std::function<void(const node_t& node)> report_failure;
    // The peer an executor runs on; none for a local job.
    std::function<node_t(const bk_job_t& executor)> node_of;
    // The wait before placing again while no node is available.
    std::chrono::steady_clock::duration redirect_pause = std::chrono::seconds(1);
  };

  // Shared by the master and its job backup.
  struct data_state_t {
    // Bytes of the job's data; 0 from the first chunk on, unknown after a cure was
    // answered until a read-back tells.
    std::optional<uint64_t> size = 0;
    // Appended by the client and not yet acknowledged to it.
    uint64_t unacknowledged = 0;
    // Handed to the current executor during a replay.
    uint64_t forwarded = 0;
    // Client chunks the executor has not acknowledged yet.
    bk_chunk_buffer_t kept;
  };

  class chunk_sender_t;

  // REQUIRES: `services` are all set; `inventory` and the event loop of
  // `services` outlive the job.
  bk_master_job_t(bk_core_inventory_t& inventory, uint32_t job_id, services_t services);
  // Acknowledges whatever was never acknowledged and always ends a redirect for the
  // driver, whose flow control may be waiting for it.
  ~bk_master_job_t() override;

  // The client's HELLO asked for soft alarms. Set by the tie right after creation.
  void set_soft_error(bool soft_error) { soft_error_ = soft_error; }

  std::string name() const override { return name_; }
  std::string describe() const override;
  uint64_t data_size() const override;
  uint32_t scan_request_count() const override { return static_cast<uint32_t>(scans_.size()); }
  void append_data(const std::shared_ptr<const std::string>& chunk) override;
  void scan(const bk::ScanOptions& options) override;
  void get_data(uint32_t max_chunk) override;
  void data_reset() override;
  void reset() override;

 private:
  friend class bk_job_backup_t;
  // Tests hand the timer's handler a failure no real timer can be made to give.
  friend class bk_master_job_test_access_t;

  // Takes the callbacks of a job that was let go while it may still be finishing
  // a call into its old driver.
  static bk_job_t::delegate& ignoring_delegate();

  struct scan_entry_t {
    bk::ScanOptions options;
    // data.size when the request came; the replay issues it at that offset.
    std::optional<uint64_t> at_size;
    // Set for a request the master answers itself; it waits here for the answers
    // of earlier requests and never reaches an executor.
    std::shared_ptr<const vl::ScanReport> own_answer;
  };
  struct get_data_state_t {
    bool response_received = false;
    uint64_t response_size = 0;
    uint32_t max_chunk = 0;
    uint64_t received = 0;
    // The current executor was asked.
    bool requested = false;
    // data.size when the GET_DATA came; the replay asks once that much was handed.
    std::optional<uint64_t> request_at;
  };
  struct kept_error_t {
    std::exception_ptr error;
    // No waiting can help.
    bool final = false;
  };

  // As the executor's delegate.
  void on_get_data_response(uint32_t job_id, uint64_t data_size) override;
  void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) override;
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override;
  void on_data_chunk_appended(uint32_t job_id, uint32_t size) override;
  void on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) override;
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override;
  void on_resume(uint32_t size) override;

  // Placement and redirection (master_job.cpp).
  void start();
  void on_executor_error(const std::exception_ptr& error);
  void start_redirect();
  void redispatch();
  void take_back_source_job();
  void enter_soft_mode();
  void start_job_timer();
  void on_job_timer(const boost::system::error_code& error);
  void fail(std::exception_ptr error);
  void reject(const std::string& text);
  void on_redirect_error(const std::exception_ptr& error);
  void on_redirect_finished();
  node_t executor_endpoint() const;
  void release_executor();
  void drop_executor();
  // Destroyed later: the backup may be deep in a call from its source job.
  void dispose_backup();
  void begin_redirect_for_driver();
  void end_redirect_for_driver();
  bool all_data_kept() const;

  // Data, scans and read-back (master_job_data.cpp).
  void acknowledge(uint64_t n);
  void queue_own_answer(const bk::ScanOptions& options, vl::ScanReport report);
  void deliver_own_answers();
  void request_data();
  void finish_redirect();
  void feed_executor(const std::shared_ptr<const std::string>& chunk);
  // These three return false when a call out moved the job on (the executor
  // failed, the job ended): the caller then stops.
  bool forward_due_scans();
  bool forward_remaining_scans();
  void hand_to_executor(const std::shared_ptr<const std::string>& chunk);
  bool hand_tail_to_executor(uint64_t size);
  std::optional<uint64_t> replay_boundary();

  // Constant after construction.
  const std::string name_;
  const services_t services_;

  // Event loop only.
  std::deque<scan_entry_t> scans_;
  // Leading entries of scans_ handed to the current executor (or answered by the
  // master); all of them outside a redirect.
  size_t scans_forwarded_ = 0;
  bool cure_requested_ = false;
  bool data_replaced_ = false;
  std::optional<get_data_state_t> get_data_state_;
  std::shared_ptr<data_state_t> data_;
  // Engaged from the first failure until a redirect finishes; meanwhile the
  // executor gets no new data or requests but through the replay.
  std::optional<kept_error_t> kept_error_;
  std::unique_ptr<chunk_sender_t> chunk_sender_;
  bool local_tried_ = false;
  bool soft_error_ = false;
  bool alarm_received_ = false;
  // The driver was told a redirect began and not yet that it ended.
  bool redirect_announced_ = false;
  // Bumped whenever a replay starts or the executor goes, so a replay step that
  // finds it changed after a call out stops.
  uint64_t generation_ = 0;
  std::set<endpoint_t> tried_peers_;
  std::unique_ptr<bk_job_backup_t> backup_;
  std::shared_ptr<bk_job_t> executor_;
  bool started_ = false;
  // A soft alarm went to the client: only reading the data back is allowed now.
  bool soft_mode_ = false;
  std::optional<boost::asio::steady_timer> timer_;
  uint32_t starts_ = 0;
};

// Sends the client's own kept chunks back, one piece of at most max_chunk bytes
// each time the client's send queue has drained. Owned by its master job, which
// destroys it when it is done or replaced; event loop only.
class bk_master_job_t::chunk_sender_t : public bk_callback_wrapper_t {
 public:
  // Answers the read-back's size at once and sends the first piece once the
  // client's queue has drained. REQUIRES: `job` owns the sender.
  chunk_sender_t(bk_master_job_t& job, uint32_t max_chunk);
  ~chunk_sender_t();
  chunk_sender_t(const chunk_sender_t&) = delete;
  chunk_sender_t& operator=(const chunk_sender_t&) = delete;

 private:
  void start();
  void send_next();

  bk_master_job_t& job_;
  boost::signals2::connection connection_;
  std::vector<char> buffer_;
  const uint32_t max_chunk_;
  // The bytes to send: chunks_[index_] from offset_ on, then the rest.
  std::vector<std::shared_ptr<const std::string>> chunks_;
  size_t index_ = 0;
  size_t offset_ = 0;
};
