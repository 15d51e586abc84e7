// baseline_tie_t: one connection of the baseline server, the least a server of the
// client protocol can do. Each DATA_CHUNK is written to the job's file with one
// write; SCAN_REQUEST is answered at once with a clean report (and the digests
// asked for, read back from the file); GET_DATA_REQUEST sends the file back one
// 65535-byte chunk each time the send queue has drained; RESET removes the file.
// It grants the flow-control window by the daemon's rules. It exists so that the
// benchmark can set the daemon's figures beside what the machine can do.
//
// Self-owned through shared_from_this while its link has a read or write
// outstanding. Event loop only, one thread. REQUIRES: `spool_dir` outlives it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "framework/basic_ipc_link.h"
#include "schemas/brel_client_ipc.pb.h"

class baseline_tie_t : public std::enable_shared_from_this<baseline_tie_t>,
                       public cf_local_ipc_link_t {
 public:
  static std::shared_ptr<baseline_tie_t> create(const std::string& spool_dir);
  ~baseline_tie_t() override;

  // Takes the accepted socket and starts reading.
  void start(std::shared_ptr<cf_local_socket_t> socket);

 private:
  struct job_t {
    int fd = -1;
    std::string path;
    std::uint64_t size = 0;
    // Read-back position; meaningful while reading.
    std::uint64_t offset = 0;
    bool reading = false;
  };

  explicit baseline_tie_t(const std::string& spool_dir);

  void on_hello(const bk::ClientMessage& message);
  void on_init(const bk::ClientMessage& message);
  void on_data_chunk(const bk::ClientMessage& message);
  void on_scan_request(const bk::ClientMessage& message);
  void on_get_data_request(const bk::ClientMessage& message);
  void on_reset(const bk::ClientMessage& message);
  void send_alarm(std::uint32_t job_id, const std::string& what);
  void grant(std::uint64_t bytes);
  void send_next_chunks();
  void close_job(job_t& job);
  void close();

  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }
  void on_send_idle() override { send_next_chunks(); }

  // Constant after construction.
  const std::string& spool_dir_;

  // Event loop only.
  bool hello_ = false;
  bool flow_control_ = false;
  std::uint64_t credit_ = 0;
  std::map<std::uint32_t, job_t> jobs_;
  // The read-back buffer, reused for every chunk.
  std::string chunk_;
};
