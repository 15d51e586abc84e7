// bk_client_tie_t: the daemon's end of one client connection (UNIX or TCP). It
// speaks the client protocol over the message link: HELLO first, one master job
// per INIT kept by the client's job identifier, data, scan, read-back and reset
// requests passed to the jobs, and the jobs' answers turned into server messages.
// It runs the connection's flow-control window, granting stored bytes back in
// batches and holding grants while a job is being moved, and its drained signal
// lets jobs send read-back data one chunk at a time.
//
// It applies back-pressure whatever the client's flow control: it reads no further
// frame while its jobs hold more than kConnectionUnstoredLimit bytes of the
// client's data not yet stored, or while more than kConnectionSendQueueLimit bytes
// of answers wait to be written, and it holds at most kConnectionJobLimit jobs.
//
// Created by a client acceptor and then owned only by its own outstanding link
// operations: it goes away once the connection is closed and the last read or
// write has completed. Event loop only; no locks. It is the delegate of every job
// it holds; its jobs go (reset first) with it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/signal.hpp>

#include "framework/basic_ipc_link.h"
#include "jobs/job.h"
#include "schemas/application.pb.h"
#include "schemas/brel_client_ipc.pb.h"

class bk_core_inventory_t;

// Makes the job for one INIT: (inventory, job identifier, the client's soft_error).
// The central object's makes a master job with its services; tests put in-memory
// jobs in its place.
using bk_client_job_factory_t = std::function<std::shared_ptr<bk_job_t>(
    bk_core_inventory_t&, uint32_t job_id, bool soft_error)>;

template <class Protocol>
class bk_client_tie_t : public std::enable_shared_from_this<bk_client_tie_t<Protocol>>,
                        public bk_job_t::delegate,
                        public cf_basic_ipc_link_t<typename Protocol::socket> {
 public:
  using socket_type = typename Protocol::socket;
  using link_type = cf_basic_ipc_link_t<socket_type>;
  using job_factory_t = bk_client_job_factory_t;

  // REQUIRES: `inventory` outlives the tie.
  static std::shared_ptr<bk_client_tie_t> create(bk_core_inventory_t& inventory,
                                                 job_factory_t job_factory);
  // Resets every job still open, then reports the client gone (after a HELLO).
  ~bk_client_tie_t() override;

  // Takes the accepted socket and starts reading. Called once, by the acceptor.
  void start(std::shared_ptr<socket_type> socket);

  // "Local client 0x<n>" or "Network client 0x<n>".
  const std::string& name() const { return name_; }
  // DATA_CHUNK bytes the jobs hold and have not yet stored.
  uint64_t unstored_bytes() const { return unstored_; }

  // As the delegate of its jobs.
  BK_JOB_DELEGATE_OPERATIONS
  void on_redirect_begin(uint32_t job_id) override;
  void on_redirect_end(uint32_t job_id) override;

 protected:
  // As a message link.
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<link_type> shared_this() override { return this->shared_from_this(); }
  void on_sent() override { apply_back_pressure(); }
  void on_send_idle() override { on_drained(); }

 private:
  bk_client_tie_t(bk_core_inventory_t& inventory, job_factory_t job_factory);

  void on_drained();

  // One handler per client tag; a failure they throw ends the connection.
  void on_hello(const bk::ClientMessage& message);
  void on_init(const bk::ClientMessage& message);
  void on_data_chunk(bk::ClientMessage& message);
  void on_scan_request(const bk::ClientMessage& message);
  void on_get_data_request(const bk::ClientMessage& message);
  void on_reset(const bk::ClientMessage& message);

  // Forgets a job that ended; a redirect it left open no longer holds the grants.
  void drop_job(uint32_t job_id);
  void send_adjust_window();
  // Pauses or resumes reading after a change of the unstored bytes or of the send
  // queue.
  void apply_back_pressure();
  // Queues a message. A message that cannot be queued ends the connection (logged)
  // instead of failing the job that caused it.
  void send(const bk::ServerMessage& message);
  // Never throws: a failing close is logged.
  void close() noexcept;
  void log(int level, const std::string& text) const;

  // Constant after construction.
  bk_core_inventory_t& inventory_;
  const std::string name_;
  const job_factory_t job_factory_;

  // Event loop only.
  bool hello_received_ = false;
  vl::Application origin_ = vl::APP_UNKNOWN;
  uint32_t origin_pid_ = 0;
  bool flow_control_ = false;
  bool soft_error_ = false;
  // Bytes stored (or returned) and not yet granted back. Wide enough never to wrap,
  // so nothing is lost however long grants are held.
  uint64_t window_credit_ = 0;
  // DATA_CHUNK bytes handed to jobs and not yet acknowledged by them.
  uint64_t unstored_ = 0;
  // Jobs being moved to another node; no grant goes out while any is.
  std::set<uint32_t> paused_jobs_;
  // Declared after paused_jobs_: a job's destructor may still end its redirect here.
  std::map<uint32_t, std::shared_ptr<bk_job_t>> jobs_;
  boost::signals2::signal<void()> drained_;
};

using bk_local_client_tie_t = bk_client_tie_t<boost::asio::local::stream_protocol>;
using bk_tcp_client_tie_t = bk_client_tie_t<boost::asio::ip::tcp>;

extern template class bk_client_tie_t<boost::asio::local::stream_protocol>;
extern template class bk_client_tie_t<boost::asio::ip::tcp>;
