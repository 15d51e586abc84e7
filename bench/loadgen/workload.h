// What one benchmark run asks of a server and what one connection measured.
//
// workload_t is built once per scenario and read (never written) by every
// connection thread of a run; the file content and its digests are computed once
// by make_file_image and shared read-only. connection_result_t is written by its
// one connection on that connection's thread and read after the thread has joined.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "schemas/brel_client_ipc.pb.h"

using bench_clock = std::chrono::steady_clock;

// The bytes every file of a scenario consists of: one chunk repeated, so each
// DATA_CHUNK message can be built once and sent again and again.
struct file_image_t {
  std::uint64_t size = 0;
  // The repeated chunk; the file's last piece is its prefix.
  std::string chunk;
  // Upper-case hexadecimal digests of the whole file, for checking the answers.
  std::string sha1;
  std::string sha256;
};

// REQUIRES: size > 0, chunk_size > 0. Fills the chunk with pseudo-random bytes
// (never the anti-virus test text) and computes both digests.
std::shared_ptr<const file_image_t> make_file_image(std::uint64_t size, std::uint32_t chunk_size);

struct workload_t {
  std::string name;
  std::shared_ptr<const file_image_t> file;
  bool read_back = false;
  std::vector<bk::HashType> hashes;
  unsigned connections = 1;
  // New files start only before this much time has passed since the run began.
  std::chrono::milliseconds duration{2000};
};

struct connection_result_t {
  std::uint64_t files = 0;
  // Time from queuing INIT to receiving SCAN_RESPONSE, one entry a file.
  std::vector<double> latencies_us;
  // When the last file of the connection was done.
  bench_clock::time_point end;
  // The connection's last file is done (past the run's end).
  bool finished = false;
  // Empty when the connection ran to its end without a fault.
  std::string error;
};
