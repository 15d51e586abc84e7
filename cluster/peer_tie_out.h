// bk_peer_tie_out_t: the peer client's end of one peer link. Through it this
// instance hands jobs to another instance: node choice asks it for a remote job
// under the next serial (1, 2, ... per link), the remote job calls its senders, and
// it routes each BrelServer2ClientMessage back to the remote job the serial names.
// Between two STATUS messages of the peer it estimates the peer's load from what it
// sends and receives, and tells the cluster after each change. It resumes a job's
// flow only once the write that carried the job's chunk has completed. It keeps at
// most kPeerLinkJobLimit jobs open on its link, the most the peer takes there.
//
// Made by the peer connector for each connected (and handshaken) peer and then
// owned by the cluster (registered through on_peer_out_connected); it owns its
// connection and only observes its remote jobs, which their master jobs own. It ends
// when the cluster lets it go: after a link or protocol error (it hands itself to
// on_peer_out_disconnected) or when the connector drops the peer. Its destructor
// fails every live remote job with EC_LINK_DISCONNECTED "Load balance server <ep>",
// through the event loop, so that their master jobs move them elsewhere; the resumes
// it still owes go the same way, before the failures, so that no job callback runs
// inside the destructor. Once the link's serials are used up it takes no more jobs
// and, when the last one is reset, closes its link and leaves the cluster, so that
// the connector links again with serials from 1. Event loop only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cluster/cluster.h"
#include "cluster/peer_connection.h"
#include "schemas/brel_brel_ipc.pb.h"

class bk_cluster_inventory_t;
class bk_remote_job_t;

namespace bk {
class ScanOptions;
}

class bk_peer_tie_out_t : public bk_peer_connection_t::delegate,
                          public bk_cluster_t::peer_out_t,
                          public std::enable_shared_from_this<bk_peer_tie_out_t> {
 public:
  using endpoint_t = bk_peer_connection_t::endpoint_t;
  using message_t = bk::BrelServer2ClientMessage;

  // Builds the tie-out ("PeerOut 0x<n>", serials from 1, no figures yet), logs
  // "Created with <endpoint>" at Debug and sends HELLO. The creator then sets it as
  // the connection's delegate and registers it with the cluster.
  // REQUIRES: `inventory` outlives the tie-out; `connection` is started.
  static std::shared_ptr<bk_peer_tie_out_t> create(
      bk_cluster_inventory_t& inventory, std::shared_ptr<bk_peer_connection_t> connection);
  ~bk_peer_tie_out_t() override;
  bk_peer_tie_out_t(const bk_peer_tie_out_t&) = delete;
  bk_peer_tie_out_t& operator=(const bk_peer_tie_out_t&) = delete;

  const std::string& name() const { return name_; }

  // bk_cluster_t::peer_out_t. max_forks reads 0 once the link's serials are used
  // up, so that the cluster stops placing jobs here while the last ones finish.
  endpoint_t remote_endpoint() const override;
  uint32_t max_forks() const override;
  uint32_t job_count() const override { return job_count_; }
  uint64_t bytes_in_queue() const override { return bytes_in_queue_; }
  // kPeerLinkJobLimit jobs created and not yet reset: the peer would refuse the next.
  bool busy() const override;
  // A remote job under the next serial, carrying the master job's `job_id`. Throws
  // std::overflow_error "Serial number overflow" once every serial of the link has
  // been used, and cf_proto_exception_t EC_NOT_READY while the link is busy (the
  // cluster chooses neither tie).
  std::shared_ptr<bk_job_t> create_job(uint32_t job_id) override;

  // Senders of the remote jobs, each with the job's serial. Throw
  // std::runtime_error for a serial the tie-out does not hold (data: "PeerTieOut:
  // Unexpected job id"; scan: "PeerTieOut: Scan: unexpected job id"), and
  // boost::system::system_error for a message the link refuses (above its limit, or
  // a queue past its size); a refused message leaves the estimate and the resumes
  // as they were.
  // One DATA_CHUNK with the `size` bytes of `chunk` from `offset` on (the whole
  // chunk when the range is left out): a large chunk goes in pieces without being
  // copied into pieces first.
  // REQUIRES: size <= kPeerMaxDataPiece; the range lies within `chunk`.
  void send_data_chunk(uint32_t serial, const std::shared_ptr<const std::string>& chunk);
  void send_data_chunk(uint32_t serial, const std::shared_ptr<const std::string>& chunk,
                       uint64_t offset, uint32_t size);
  void send_scan_request(uint32_t serial, const bk::ScanOptions& options);
  void send_get_data_request(uint32_t serial);
  void send_data_reset_request(uint32_t serial);
  // RESET_REQUEST for the job's serial and its load off the estimate; nothing at all
  // while the link is closed. Never throws: a refused RESET_REQUEST is logged, and
  // the job leaves the estimate all the same.
  void send_reset_request(const bk_remote_job_t& job);

  // bk_peer_connection_t::delegate
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  void on_send_idle() override {}
  void on_send_begin() override;
  void on_sent() override;

  // Tests start the serials elsewhere (to reach their end quickly).
  void set_next_serial(uint32_t serial) { next_serial_ = serial; }

 private:
  struct resume_t {
    std::weak_ptr<bk_remote_job_t> job;
    uint32_t size = 0;
  };

  bk_peer_tie_out_t(bk_cluster_inventory_t& inventory,
                    std::shared_ptr<bk_peer_connection_t> connection);

  // One handler per server tag; what they throw ends the link.
  void on_status(const message_t& message);
  void on_data_chunk(const message_t& message);
  void on_scan_response(const message_t& message);
  void on_get_data_response(const message_t& message);
  void on_alarm(const message_t& message);
  void on_data_chunk_appended(const message_t& message);
  void on_data_reset_response(const message_t& message);

  // The live remote job of the message's serial, or null (with the Debug
  // "Dropped <tag> <id>" line when the serial is not held).
  std::shared_ptr<bk_remote_job_t> find_job(const message_t& message);
  void resume_jobs(std::vector<resume_t>& list);
  void notify_cluster();
  // Ends the link: close, log `error` at Error unless it is empty, then hand itself
  // to the cluster.
  void disconnect(const std::string& error);
  // The serials are used up and the last job is gone: the link ends from the event
  // loop, since a job's reset may come from deep inside its master job.
  void start_leave();
  void log(int level, const std::string& text) const;

  // Constant after construction.
  bk_cluster_inventory_t& inventory_;
  const std::string name_;
  const std::shared_ptr<bk_peer_connection_t> connection_;

  // Event loop only.
  // 0 once the serials are used up.
  uint32_t next_serial_ = 1;
  // The link is ending because its serials are used up.
  bool leaving_ = false;
  std::map<uint32_t, std::weak_ptr<bk_remote_job_t>> jobs_;
  uint32_t max_forks_ = 0;
  uint32_t job_count_ = 0;
  uint64_t bytes_in_queue_ = 0;
  std::vector<resume_t> pending_resumes_;
  std::vector<resume_t> in_flight_resumes_;
};
