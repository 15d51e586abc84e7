// The job a client sees: one per client job identifier, created by the client tie
// on INIT. It scans nothing itself. It places the job on an executor chosen by the
// cluster (a local job here or a remote job on a peer), forwards the client's data
// and requests to it and passes the answers back in request order, answers some
// scans itself (no data, size limits), keeps every chunk until the executor has
// stored it, and on an executor failure moves the job to another node, replaying
// the data through a job backup. A soft-error client whose data no executor holds
// (the job was never placed) gets it back from the master (bk_chunk_sender_t).
//
// Owned by the client tie (std::make_shared, then set_delegate and set_soft_error
// before the first operation); owns its executor, backup and chunk sender. Event
// loop only. Any operation may answer at once through the delegate, and an alarm
// without `soft` makes the tie drop the job during that call.
//
// master_job.cpp holds the job's life (placement, failures, redirects, the end),
// master_job_data.cpp the data path, job_backup.cpp the replay of a redirect.
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

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

#include "jobs/callback_wrapper.h"
#include "jobs/job.h"
#include "jobs/job_backup.h"
#include "schemas/brel_client_ipc.pb.h"

class bk_chunk_sender_t;

class bk_master_job_t : public bk_job_t,
                        public bk_job_t::delegate,
                        public bk_callback_wrapper_t,
                        private bk_job_backup_t::master_t,
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

 protected:
  // Where the placement pause ends. Protected so that tests can hand it a failure
  // no real timer can be made to give.
  void on_job_timer(const boost::system::error_code& error);

 private:
  // The job's life; move_to holds the transitions. The first chunk places the job
  // (kRunning, or kWaiting while no node is free). A failed executor moves it to
  // another node (kRedirecting, or kWaiting) and the end of the replay brings it
  // back to kRunning through kFinishing. A soft-error client the job cannot move
  // for gets a soft alarm (kSoftFailed). fail and reset end any state (kEnded).
  enum class state_t {
    // No executor yet: no data, or the first placement under way.
    kUnplaced,
    // The executor holds all the data and gets every request.
    kRunning,
    // A new executor is being fed the replay; new data and requests wait for it.
    kRedirecting,
    // No node could take the job; the timer places it again.
    kWaiting,
    // The replay is over and the new executor holds all the data; the requests
    // that waited are handed to it and the client's window given back before the
    // driver hears that the move is over.
    kFinishing,
    // A soft alarm went out; no executor holds the data, the master keeps every
    // chunk and sends them back itself. Chunks are taken until the read-back
    // starts (the client cannot know when the alarm comes), scans never again.
    kSoftFailed,
    // The same, served by the failed executor, taken back with the chunks it missed
    // and handed every later one.
    kSoftFailedOnSource,
    // Failed or reset: no executor, callbacks dead.
    kEnded,
  };

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

  // The state (master_job.cpp).
  static bool may_enter(state_t from, state_t to);
  // Every change of state_ goes through here.
  void move_to(state_t next);
  // Data and requests wait for the replay.
  bool moving() const { return state_ == state_t::kRedirecting || state_ == state_t::kWaiting; }
  // The driver was told that a move began, and not yet that it is over.
  bool move_announced() const { return moving() || state_ == state_t::kFinishing; }
  bool soft_failed() const {
    return state_ == state_t::kSoftFailed || state_ == state_t::kSoftFailedOnSource;
  }
  bool executor_holds_data() const {
    return state_ == state_t::kRunning || state_ == state_t::kFinishing ||
           state_ == state_t::kSoftFailedOnSource;
  }

  // As the executor's delegate.
  BK_JOB_DELEGATE_OPERATIONS
  void on_resume(uint32_t size) override;
  void on_data_reset_response(uint32_t job_id) override;

  // As the backup's master (placement side in master_job.cpp, requests in
  // master_job_data.cpp).
  void hand_on(const std::shared_ptr<const std::string>& piece) override;
  std::optional<uint64_t> next_request_at() override;
  void issue_requests_due(uint64_t forwarded) override;
  uint64_t epoch() const override { return epoch_; }
  void on_redirect_finished() override;
  void on_redirect_error(const std::exception_ptr& error) override;

  // Placement, failures and redirects (master_job.cpp).
  // Asks the cluster for an executor; none when it has no node (the error is kept).
  void place();
  // place(), then the way on when no executor came of it: true with an executor; false
  // when the job failed (the executor could not be made) or waits for a node again.
  // The job may be gone when it returns false.
  bool place_or_redispatch(bool alarm);
  // `alarm`: the executor said it failed, rather than breaking the protocol.
  void on_executor_error(const std::exception_ptr& error, bool alarm = false);
  void start_redirect(bool alarm);
  void redispatch(bool alarm);
  void start_job_timer();
  void fail_softly();
  void finish_redirect();
  void fail(std::exception_ptr error);
  void reject(const std::string& text);
  std::unique_ptr<bk_job_backup_t> make_backup();
  node_t executor_endpoint() const;
  // Ends the job (kEnded): no executor, no open request, callbacks dead.
  void end();
  void drop_executor();
  // Destroyed later: the backup may be deep in a call from its source job.
  void dispose_backup();
  bool all_data_kept() const;

  // Data, scans and read-back (master_job_data.cpp).
  void acknowledge(uint64_t n);
  void queue_own_answer(const bk::ScanOptions& options, vl::ScanReport report);
  void deliver_own_answers();
  void request_data();
  void start_chunk_sender(uint32_t max_chunk);
  // The executor taken back after a soft alarm must hold exactly the client's data.
  bool read_back_incomplete(uint64_t size) const;
  // Hands the executor the requests not forwarded yet, in order: with `due_at`, only
  // those made at that offset, up to the first that was not.
  // These two return false when a call out moved the job on (the executor failed,
  // the job ended): the caller then stops.
  bool forward_scans(std::optional<uint64_t> due_at);
  bool hand_tail_to_executor(uint64_t size);

  // Constant after construction.
  const std::string name_;
  const services_t services_;

  // Event loop only.
  bool soft_error_ = false;
  state_t state_ = state_t::kUnplaced;
  // Bumped by every move_to, so that a step that finds it changed after a call
  // out stops.
  uint64_t epoch_ = 0;
  // The client's requests not answered yet, oldest first; the leading
  // scans_forwarded_ of them were handed to the current executor (or answered by
  // the master), all of them outside a redirect.
  std::deque<scan_entry_t> scans_;
  size_t scans_forwarded_ = 0;
  std::optional<get_data_state_t> get_data_state_;
  // After a soft alarm: the client began reading back, so its data is complete and
  // a further chunk is refused.
  bool reading_back_ = false;
  // The failed executor taken back is ending a read-back its replay had started;
  // what it sends until it confirms belongs to that read-back.
  bool source_resetting_ = false;
  bool cure_requested_ = false;
  // The executor's data is no longer the client's (a cure).
  bool data_replaced_ = false;
  std::shared_ptr<bk_job_data_t> data_;
  // The failure the client hears of if the job cannot move: the first one since an
  // executor last held all the data.
  std::optional<kept_error_t> kept_error_;
  std::unique_ptr<bk_chunk_sender_t> chunk_sender_;
  // Placements made, and the nodes they chose.
  uint32_t starts_ = 0;
  bool local_tried_ = false;
  std::set<endpoint_t> tried_peers_;
  std::unique_ptr<bk_job_backup_t> backup_;
  std::shared_ptr<bk_job_t> executor_;
  std::optional<boost::asio::steady_timer> timer_;
};
