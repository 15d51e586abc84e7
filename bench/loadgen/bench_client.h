// bench_client_t: what the load generator's client connections (load_client_t and
// soak_client_t) share: connecting and saying HELLO, queuing a file's data within
// the window and a bounded amount per write, sorting the server's messages by tag
// (and failing on an ALARM, an unknown tag or a message that does not parse), and
// checking read-back data against the file it came from.
//
// A base of a self-owned derived class (shared_from_this); runs on the one thread of
// the event loop the derived class was created on.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>

#include "bench/loadgen/workload.h"
#include "framework/basic_ipc_link.h"
#include "schemas/brel_client_ipc.pb.h"

// The DATA_CHUNK messages a file is sent as: one with the whole chunk and one with
// the file's last piece when that is shorter. Built once; only the job id changes.
struct data_messages_t {
  bk::ClientMessage chunk;
  bk::ClientMessage tail;

  void set_job_id(std::uint32_t job_id) {
    chunk.set_job_id(job_id);
    tail.set_job_id(job_id);
  }
};

data_messages_t make_data_messages(const file_image_t& file);

// Whether `data`, read back from `offset` on, is the file's content; when not,
// `differs_near` is the offset of the piece that differs. Compares chunk-aligned
// pieces of the image, so the check costs a memcmp rather than a loop over bytes.
bool matches_image(const file_image_t& file, std::uint64_t offset, const std::string& data,
                   std::uint64_t& differs_near);

// The process at the other end of UNIX socket `fd` (SO_PEERCRED); -1 when unknown.
int socket_peer_pid(int fd);

class bench_client_t : public cf_local_ipc_link_t {
 public:
  // The process at the other end of the socket (SO_PEERCRED); -1 when unknown.
  int peer_pid() const;

 protected:
  bench_client_t();

  // Connects to `socket_path` (blocking; a UNIX connect does not wait), starts
  // reading and queues HELLO.
  void open(boost::asio::io_context& io, const std::string& socket_path, bool flow_control);

  // Queues the file's data from `sent` on, a bounded amount per write and, when
  // `windowed`, within the window; advances `sent`. True once all of it is queued.
  bool queue_data(const data_messages_t& messages, const file_image_t& file, std::uint64_t& sent,
                  bool windowed);

  // Each server message by its tag; ALARM, unknown tags and unparsable messages
  // go to fail.
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  virtual void on_adjust_window(const bk::ServerMessage& message) = 0;
  virtual void on_scan_response(const bk::ServerMessage& message) = 0;
  virtual void on_get_data_response(const bk::ServerMessage& message) = 0;
  virtual void on_data_chunk(const bk::ServerMessage& message) = 0;
  virtual void fail(const std::string& text) = 0;

  // Event loop only.
  std::int64_t window_ = 0;
  // Data bytes queued since the link last reported everything written.
  std::uint64_t queued_ = 0;
};
