// bk_peer_tie_in_t: the peer server's end of one peer link. Another instance (the
// peer client) hands its jobs here: the tie-in reads BrelClient2ServerMessage,
// creates a local job through the engine front the first time a message names a job
// identifier, drives it through the job interface and, as the job's delegate, turns
// each answer into a BrelServer2ClientMessage. It sends this host's STATUS whenever
// the cluster asks (on registration and at every status broadcast). It reads no
// further message while its jobs hold more than kConnectionUnstoredLimit bytes of
// the peer's data not yet stored, or while more than kConnectionSendQueueLimit
// bytes wait to be written, and it runs at most kPeerLinkJobLimit jobs at once.
//
// Made by the peer acceptor for each accepted connection and then owned by the
// cluster (registered through on_peer_in_connected); it owns its connection and its
// jobs. It ends when the cluster lets it go: after a link or protocol error (it
// hands itself to on_peer_in_disconnected), or when the configuration drops incoming
// peers. Event loop only; the jobs' worker-thread steps come back by posting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/signals2/signal.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_connection.h"
#include "jobs/job.h"
#include "schemas/brel_brel_ipc.pb.h"

class bk_cluster_inventory_t;

class bk_peer_tie_in_t : public bk_peer_connection_t::delegate,
                         public bk_job_t::delegate,
                         public bk_cluster_t::peer_in_t,
                         public std::enable_shared_from_this<bk_peer_tie_in_t> {
 public:
  using endpoint_t = bk_peer_connection_t::endpoint_t;
  using message_t = bk::BrelClient2ServerMessage;
  // Makes the local job for a job identifier; the engine front's create_job unless
  // a test sets another. Throws when no job can be made.
  using job_factory_t = std::function<std::shared_ptr<bk_job_t>(uint32_t job_id)>;

  // Failed job identifiers remembered at most; past it the lowest goes first.
  static constexpr std::size_t kFailedJobsKept = 1024;

  // Builds the tie-in ("PeerIn 0x<n>", not identified, no jobs) and logs "Created
  // with <endpoint>" at Debug. The creator then sets it as the connection's delegate
  // and registers it with the cluster.
  // REQUIRES: `inventory` outlives the tie-in; `connection` is started.
  static std::shared_ptr<bk_peer_tie_in_t> create(bk_cluster_inventory_t& inventory,
                                                  std::shared_ptr<bk_peer_connection_t> connection);
  // Closes the connection (never throws), resets every job in identifier order and
  // logs "Destroyed"; the jobs go with the map.
  ~bk_peer_tie_in_t() override;
  bk_peer_tie_in_t(const bk_peer_tie_in_t&) = delete;
  bk_peer_tie_in_t& operator=(const bk_peer_tie_in_t&) = delete;

  const std::string& name() const { return name_; }
  bool identified() const { return identified_; }
  // Tests count the jobs held, and the peer's data bytes they have not yet stored.
  std::size_t job_count() const { return jobs_.size(); }
  uint64_t unstored_bytes() const { return unstored_; }
  // Tests replace the making of local jobs; an empty factory restores the default.
  void set_job_factory(job_factory_t factory) { job_factory_ = std::move(factory); }

  // bk_cluster_t::peer_in_t
  endpoint_t remote_endpoint() const override;
  // STATUS with job_id 0, the protocol version and the load part of `local`;
  // bytes_in_queue saturates at 4294967295.
  void send_status(const bk_node_rating_t& local) override;

  // bk_peer_connection_t::delegate
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  void on_send_idle() override;
  void on_send_begin() override {}
  void on_sent() override { apply_back_pressure(); }

  // bk_job_t::delegate: the local jobs' answers, as peer messages. Event loop only.
  // None ends the tie-in during the call (a message that cannot be queued ends the
  // link from a later handler); on_scan_response drops the calling job when its
  // report does not fit in one peer message.
  BK_JOB_DELEGATE_OPERATIONS
  void on_data_reset_response(uint32_t job_id) override;

 private:
  struct job_entry_t {
    std::shared_ptr<bk_job_t> job;
    // The peer's data bytes handed to the job and not yet reported stored.
    uint64_t unstored = 0;
    // Bytes counted stored at a soft alarm whose acknowledgements may still come;
    // the job acknowledges in the order it was given the bytes.
    uint64_t released = 0;
    // After a hard alarm the job stores nothing more: its chunks count as stored.
    bool failed = false;
  };

  bk_peer_tie_in_t(bk_cluster_inventory_t& inventory,
                   std::shared_ptr<bk_peer_connection_t> connection);

  // One handler per client tag; what they throw ends the link.
  void on_hello(const message_t& message);
  void on_data_chunk(message_t& message);
  void on_scan_request(const message_t& message);
  void on_get_data_request(const message_t& message);
  void on_reset_request(const message_t& message);
  void on_data_reset_request(const message_t& message);

  // The job held for `job_id`, or a new one (start_job) now held. Throws
  // EC_NOT_READY when kPeerLinkJobLimit jobs are held already. The reference lasts
  // until the next change of the jobs.
  job_entry_t& find_or_start_job(uint32_t job_id);
  // Throws EC_NOT_READY without a local engine, or what the job factory throws.
  std::shared_ptr<bk_job_t> start_job(uint32_t job_id);
  // Drops the job that `message` was driving when `error` was caught, keeps the
  // failure and answers with it.
  void fail_job(const message_t& message, const std::exception_ptr& error);
  // Lets a job go; whatever it had not stored counts as stored.
  void drop_job(uint32_t job_id);
  void remember_failure(uint32_t job_id, const std::exception_ptr& error);
  // Answers a message for a job that failed here with its kept failure; false when
  // the job did not fail.
  bool answer_kept_failure(const message_t& message);
  void send_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft);
  // Queues `message`; never throws. A message that cannot be queued ends the link
  // (disconnect_later).
  void send(const bk::BrelServer2ClientMessage& message);
  // Ends the link: close, then hand itself to the cluster.
  void disconnect();
  // The same, with the cluster told from the event loop, for callers that must
  // find the tie-in whole when the call returns.
  void disconnect_later();
  // Pauses or resumes reading after a change of the unstored bytes or of the send
  // queue.
  void apply_back_pressure();
  void leave_cluster();
  void log(int level, const std::string& text) const;

  // Constant after construction.
  bk_cluster_inventory_t& inventory_;
  const std::shared_ptr<bk_peer_connection_t> connection_;
  const std::string name_;

  // Event loop only.
  job_factory_t job_factory_;
  std::map<uint32_t, job_entry_t> jobs_;
  // Sum of the jobs' unstored bytes.
  uint64_t unstored_ = 0;
  // Jobs that failed here and were let go, with their failure, until the peer
  // resets them: their later messages are answered with that failure instead of
  // starting the job afresh on partial data.
  std::map<uint32_t, std::exception_ptr> failed_;
  boost::signals2::signal<void()> drained_;
  bool identified_ = false;
};
