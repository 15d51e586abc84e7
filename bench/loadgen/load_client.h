// load_client_t: one client connection of the load generator. It speaks the
// client protocol the way a well-behaved scanning client does: HELLO with flow
// control, then file after file, each INIT, DATA_CHUNK messages within the window,
// SCAN_REQUEST, wait for SCAN_RESPONSE, optionally GET_DATA_REQUEST and the data
// back, RESET. It checks every answer (digests, read-back size and content) and
// stops at the first fault, which it records in its result.
//
// Self-owned through shared_from_this while its link has a read or write
// outstanding; the creator keeps only the result. Runs on the one thread of the
// event loop it was created on. REQUIRES: `workload` and `result` outlive the
// event loop's run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "bench/loadgen/bench_client.h"
#include "bench/loadgen/workload.h"
#include "schemas/brel_client_ipc.pb.h"

class load_client_t : public std::enable_shared_from_this<load_client_t>, public bench_client_t {
 public:
  // Connects to `socket_path` (blocking; a UNIX connect does not wait) and sends
  // HELLO. No file starts before `start` (the run's common start time).
  static std::shared_ptr<load_client_t> connect(boost::asio::io_context& io,
                                                const std::string& socket_path,
                                                const workload_t& workload,
                                                connection_result_t& result);

  // Begins the first file once the initial window has come; no file begins at or
  // after `deadline`.
  void start(bench_clock::time_point deadline);

 private:
  load_client_t(const workload_t& workload, connection_result_t& result);

  void start_file();
  // Queues data within the window and a bounded amount per write; then SCAN_REQUEST.
  void pump();
  void finish_file();
  void fail(const std::string& text) override;

  void on_adjust_window(const bk::ServerMessage& message) override;
  void on_scan_response(const bk::ServerMessage& message) override;
  void on_get_data_response(const bk::ServerMessage& message) override;
  void on_data_chunk(const bk::ServerMessage& message) override;

  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }
  void on_send_idle() override;

  // Constant after construction.
  const workload_t& workload_;
  connection_result_t& result_;

  // Event loop only.
  bench_clock::time_point deadline_;
  bool started_ = false;
  bool done_ = false;
  std::uint32_t job_id_ = 0;
  bench_clock::time_point file_begin_;
  std::uint64_t sent_ = 0;
  bool scan_sent_ = false;
  std::uint64_t expected_back_ = 0;
  std::uint64_t received_back_ = 0;
  bool reading_back_ = false;
  // Built once.
  data_messages_t data_messages_;
  bk::ClientMessage scan_message_;
};
