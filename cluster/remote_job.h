// bk_remote_job_t: the executor a master job uses when node choice places the job
// on a peer. A thin proxy: each job operation becomes a peer message that the peer
// tie-out sends under the job's serial, and each answer the tie-out receives for
// that serial is handed to the job's delegate. It keeps the two figures the
// tie-out's load estimate reads (bytes sent, scans outstanding).
//
// Made by bk_peer_tie_out_t::create_job and owned by its master job; the tie-out
// keeps only a weak reference. Once the tie-out is gone, every operation but reset
// fails at once with EC_LINK_DISCONNECTED "Peer has disconnected" through on_alarm
// (the master job may drop the job during that call); a message the link refuses
// fails the job the same way with the link's error. Operations never throw. Event
// loop only.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "core/hash_values.h"
#include "jobs/job.h"

class bk_peer_tie_out_t;

namespace vl {
class ScanReport;
}

class bk_remote_job_t : public bk_job_t, public std::enable_shared_from_this<bk_remote_job_t> {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;

  // Logs describe() at Debug. REQUIRES: `inventory` outlives the job; `serial` != 0.
  bk_remote_job_t(bk_core_inventory_t& inventory, uint32_t job_id,
                  const std::shared_ptr<bk_peer_tie_out_t>& tie_out, uint32_t serial);
  // Sends RESET_REQUEST unless sent already or the tie-out is gone; logs "Destroyed".
  ~bk_remote_job_t() override;

  // bk_job_t
  std::string name() const override { return name_; }
  // "peer <address:port>, remote_id <serial>".
  std::string describe() const override;
  uint64_t data_size() const override { return bytes_; }
  uint32_t scan_request_count() const override { return scans_; }
  // A chunk above kPeerMaxDataPiece goes as several DATA_CHUNKs.
  void append_data(const std::shared_ptr<const std::string>& chunk) override;
  void scan(const bk::ScanOptions& options) override;
  // The peer reads back in its own chunks (at most 65536 bytes); `max_chunk` is
  // not sent.
  void get_data(uint32_t max_chunk) override;
  void data_reset() override;
  void reset() override;

  uint32_t serial() const { return serial_; }
  // The peer the job runs on; the master job excludes it when it moves the job.
  const endpoint_t& peer_endpoint() const { return peer_; }

  // From the tie-out, for the job's serial. The delegate may drop the job during
  // each of them.
  void on_data_chunk(const char* data, uint64_t size);
  // A size above 32 bits reaches the delegate in several acknowledgements.
  void on_data_chunk_appended(uint64_t size);
  void on_resume(uint32_t size);
  void on_scan_report(const vl::ScanReport& report, const bk_hash_values_t& hashes);
  void on_alarm(const std::exception_ptr& error, bool soft);
  void on_data_response(uint64_t size);
  void on_data_reset();

 private:
  // The tie, or null after failing the job as disconnected.
  std::shared_ptr<bk_peer_tie_out_t> live_tie();
  // Runs `send`; if the link refuses it, runs `undo` and fails the job. True if sent.
  template <class Send, class Undo>
  bool send_or_fail(const Send& send, const Undo& undo);
  // A hard alarm with `error` to the delegate, from within an operation.
  void fail(const std::exception_ptr& error);

  // Constant after construction.
  const uint32_t serial_;
  const std::weak_ptr<bk_peer_tie_out_t> tie_out_;
  const endpoint_t peer_;
  const std::string name_;

  // Event loop only.
  uint64_t bytes_ = 0;
  uint32_t scans_ = 0;
  bool reset_sent_ = false;
};
