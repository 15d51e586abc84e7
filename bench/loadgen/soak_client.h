// soak_client_t: one client connection of the soak run. Unlike load_client_t, each
// file it sends is drawn from a mix (mostly 4 KiB, some of 1 to 64 MiB, some read
// back, some with digests), and it may say HELLO without flow control: it then sends
// every file's data as fast as the socket takes it, with up to `depth` files open
// at once (the next file's INIT and data follow the SCAN_REQUEST of the one before
// without waiting for its answer), so that only the daemon's back-pressure holds it.
// It checks every answer (digests, read-back size and content) and stops at the
// first fault, which it records in its slot.
//
// After `reconnect_after` files (0: never) it finishes its open files, closes, and a
// new connection takes its slot; the slot ends once the run's deadline has passed
// and its last file is done.
//
// Self-owned through shared_from_this while its link has a read or write
// outstanding. Runs on the one thread of the event loop it was created on; it
// writes only its slot and the shared atomic counters. REQUIRES: the plan, the
// slot and the counters outlive the event loop's run.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "bench/loadgen/bench_client.h"
#include "bench/loadgen/workload.h"
#include "schemas/brel_client_ipc.pb.h"

// One kind of file the mix draws: its content and size, and its DATA_CHUNK
// messages. Each connection sends copies of its own (a message caches its size,
// and the job id changes), so these are only read during the run.
struct soak_image_t {
  std::shared_ptr<const file_image_t> file;
  data_messages_t messages;
};

// REQUIRES: size > 0, chunk_size > 0.
soak_image_t make_soak_image(std::uint64_t size, std::uint32_t chunk_size);

// What every connection of a soak run shares, read only during the run.
struct soak_plan_t {
  std::string socket_path;
  // images[0] is the small file; the others are the large ones, drawn evenly.
  std::vector<soak_image_t> images;
  // Chance that a file is a large one, that a small or a large file is read back,
  // and that a file asks for SHA-1, SHA-256 or both digests.
  double large_share = 0.005;
  double small_read_back_share = 0.05;
  double large_read_back_share = 0.33;
  double sha1_share = 0.1;
  double sha256_share = 0.1;
  double both_share = 0.05;
  // Files a connection sends before it makes way for a new one (0: never).
  std::uint64_t reconnect_after = 0;
  // No file starts at or after this time.
  std::chrono::steady_clock::time_point deadline;
};

// Latency of a 4 KiB file (queuing its INIT to receiving its SCAN_RESPONSE) in
// buckets an eighth of a power of two wide: 1 µs to about 2 minutes.
struct latency_histogram_t {
  static constexpr int kBuckets = 27 * 8;
  std::atomic<std::uint64_t> counts[kBuckets] = {};

  static int bucket(double us);
  // The upper bound of bucket `index`, in µs.
  static double upper_us(int index);
  void add(double us) { counts[bucket(us)].fetch_add(1, std::memory_order_relaxed); }
};

// Counters every connection adds to and the sampler reads while the run goes on.
struct soak_counters_t {
  // Files answered (and read back when asked) and reset, their bytes, and of them
  // the large ones.
  std::atomic<std::uint64_t> files{0};
  std::atomic<std::uint64_t> file_bytes{0};
  std::atomic<std::uint64_t> large_files{0};
  std::atomic<std::uint64_t> read_back_files{0};
  std::atomic<std::uint64_t> read_back_bytes{0};
  std::atomic<std::uint64_t> digest_checks{0};
  // Files the connections without flow control finished.
  std::atomic<std::uint64_t> flowless_files{0};
  // Jobs opened (INIT queued) and not yet reset.
  std::atomic<std::int64_t> open_jobs{0};
  std::atomic<std::uint64_t> jobs_opened{0};
  std::atomic<std::uint64_t> connections_opened{0};
  std::atomic<std::int64_t> connections_open{0};
  // Slots whose last connection has closed, and slots that met a fault.
  std::atomic<unsigned> slots_ended{0};
  std::atomic<unsigned> faults{0};
  latency_histogram_t small_latency;
};

// One of the run's connections, renewed when it reconnects. Written by its event
// loop's thread; read by others only after that thread has joined.
struct soak_slot_t {
  unsigned index = 0;
  bool flow_control = true;
  // Files open at once (1 with flow control).
  unsigned depth = 1;
  std::mt19937_64 random;
  std::uint64_t files = 0;
  std::uint64_t connections = 0;
  // The slot's last connection has closed after its last file (past the deadline).
  bool finished = false;
  // Jobs of the slot's connection still open at its end (nonzero only on a fault).
  std::size_t left_open = 0;
  // Empty when the slot ran to its end without a fault.
  std::string error;
};

class soak_client_t : public std::enable_shared_from_this<soak_client_t>, public bench_client_t {
 public:
  // Connects to the plan's socket (blocking; a UNIX connect does not wait), sends
  // HELLO and starts sending files once it may (at once without flow control, at the
  // first window otherwise).
  static std::shared_ptr<soak_client_t> connect(boost::asio::io_context& io,
                                                const soak_plan_t& plan, soak_slot_t& slot,
                                                soak_counters_t& counters);

 private:
  struct job_t {
    std::size_t image = 0;
    bool read_back = false;
    bool sha1 = false;
    bool sha256 = false;
    std::chrono::steady_clock::time_point begin;
    std::uint64_t sent = 0;
    bool scan_sent = false;
    bool answered = false;
    bool size_known = false;
    std::uint64_t expected_back = 0;
    std::uint64_t received_back = 0;
  };

  soak_client_t(boost::asio::io_context& io, const soak_plan_t& plan, soak_slot_t& slot,
                soak_counters_t& counters);

  // Opens files while the depth allows and no file is being sent; closes the
  // connection once nothing is open and nothing more may start.
  void fill();
  void start_file();
  // Queues the sending file's data (within the window, with flow control) and a
  // bounded amount per write; then its SCAN_REQUEST.
  void pump();
  void finish_file(std::uint32_t job_id, job_t& job);
  void fail(const std::string& text) override;
  void end_connection();

  void on_adjust_window(const bk::ServerMessage& message) override;
  void on_scan_response(const bk::ServerMessage& message) override;
  void on_get_data_response(const bk::ServerMessage& message) override;
  void on_data_chunk(const bk::ServerMessage& message) override;

  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }
  void on_send_idle() override;

  // Constant after construction.
  boost::asio::io_context& io_;
  const soak_plan_t& plan_;
  soak_slot_t& slot_;
  soak_counters_t& counters_;

  // Event loop only.
  bool may_start_ = false;
  // No more files start on this connection; it closes once its jobs are done.
  bool retiring_ = false;
  bool closing_ = false;
  bool done_ = false;
  std::uint32_t next_job_id_ = 0;
  std::uint64_t files_started_ = 0;
  std::map<std::uint32_t, job_t> jobs_;
  // The job whose data is being sent (0: none).
  std::uint32_t sending_ = 0;
  // This connection's copies of the plan's DATA_CHUNK messages, image by image.
  std::vector<data_messages_t> data_messages_;
  bk::ClientMessage scan_message_;
};
