// Fuzzes the peer tie-in's message handling: the input is what a peer client sends
// over a loopback TCP connection to a real tie-in on a real plain peer connection,
// registered with the real cluster of a real central object (configured as the
// configuration daemon would, with a private spool directory). Jobs are real local
// jobs, scanned by the stand-in engine running in the same event loop, except that
// an identifier with id % 4 == 3 finds no engine to run on.
//
// The input goes one frame at a time, each after what the previous one set off has
// run. Then the peer waits until every request the link still owes an answer is
// answered (or the tie-in ended the link), and hangs up. Throughout, every message
// it receives must be one the peer client accepts and must answer something it
// asked (no second answer, no read-back data beyond what was announced, no chunk
// above 65536 bytes). Whatever the peer sends, the daemon does not end, the tie-in
// goes away once the peer has hung up, and no spool file is left behind.
#include <unistd.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_connection.h"
#include "cluster/peer_protocol.h"
#include "cluster/peer_tie_in.h"
#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "core/task_queue.h"
#include "framework/basic_ipc_link.h"
#include "framework/error.h"
#include "fuzz/support/fuzz_peer.h"
#include "jobs/client_protocol.h"
#include "jobs/local_job.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "tools/stand-se/stand_se.h"
#include "wiring/inventory.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using client_t = bk::BrelClient2ServerMessage;
using server_t = bk::BrelServer2ClientMessage;
using tcp = asio::ip::tcp;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

// The process's private directory for the spool and the engine's socket; removed
// at exit.
fs::path work_dir;

void remove_work_dir() {
  boost::system::error_code ignored;
  fs::remove_all(work_dir, ignored);
}

const fs::path& private_dir() {
  if (work_dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/brelkin-peer-tie-in-fuzz-XXXXXX";
    // The engine's socket path must fit in 107 bytes.
    if (pattern.size() > 90) pattern = "/tmp/brelkin-peer-tie-in-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) fail("mkdtemp failed");
    work_dir = pattern;
    std::atexit(remove_work_dir);
  }
  return work_dir;
}

// The peer's books on one job identifier: what it asked and what it was answered.
struct job_book_t {
  // Over the whole input.
  uint64_t scans = 0;
  uint64_t reads = 0;
  uint64_t data_resets = 0;
  uint64_t bytes = 0;
  bool reset = false;
  // Since the identifier's last RESET_REQUEST: what the current job still owes.
  uint64_t open_scans = 0;
  uint64_t open_reads = 0;
  uint64_t open_data_resets = 0;
  uint64_t open_bytes = 0;

  // Received.
  uint64_t responses = 0;
  uint64_t soft_alarms = 0;
  uint64_t hard_alarms = 0;
  uint64_t read_responses = 0;
  uint64_t announced = 0;
  uint64_t returned = 0;
  uint64_t appended = 0;
  uint64_t data_reset_responses = 0;

  // Everything asked of the current job has its answer; a job that failed for good
  // owes nothing more. Answers to an earlier job under the identifier count too:
  // the peer cannot tell them apart.
  bool settled() const {
    if (hard_alarms > 0) return true;
    if (responses + soft_alarms < open_scans) return false;
    if (read_responses < open_reads) return false;
    if (data_reset_responses < open_data_resets) return false;
    if (appended < open_bytes) return false;
    // A read-back cut short by a reset owes nothing more.
    return reset || data_resets > 0 || returned == announced;
  }
};

// The peer client's end of the link: feeds the input, reads every answer and
// checks it against what was asked.
class fuzz_peer_client_t {
 public:
  explicit fuzz_peer_client_t(asio::io_context& io) : socket(io) {}

  // Books what the frames of the input ask, as far as the tie-in would take them.
  void plan(const std::uint8_t* data, std::size_t size) {
    bool identified = false;
    std::size_t at = 0;
    while (size - at >= 4) {
      std::uint32_t length;
      std::memcpy(&length, data + at, 4);
      // The link refuses the frame, or it never arrives whole.
      if (length == 0 || length > kPeerLinkLimit || size - at - 4 < length) return;
      client_t message;
      if (!message.ParsePartialFromArray(data + at + 4, static_cast<int>(length)) ||
          !message.IsInitialized()) {
        return;
      }
      at += 4 + length;
      try {
        if (message.tag() == client_t::HELLO) {
          check_peer_client_fields(message);
          check_peer_protocol_version(message.protocol_version());
          identified = true;
          continue;
        }
        if (!identified) return;
        check_peer_client_fields(message);
      } catch (const std::exception&) {
        return;
      }
      job_book_t& book = books_[message.job_id()];
      switch (message.tag()) {
        case client_t::DATA_CHUNK:
          book.bytes += message.data().size();
          book.open_bytes += message.data().size();
          break;
        case client_t::SCAN_REQUEST:
          ++book.scans;
          ++book.open_scans;
          break;
        case client_t::GET_DATA_REQUEST:
          ++book.reads;
          ++book.open_reads;
          break;
        case client_t::DATA_RESET_REQUEST:
          ++book.data_resets;
          ++book.open_data_resets;
          // It stops a read-back, also one whose answer has not come yet.
          book.open_reads = 0;
          break;
        case client_t::RESET_REQUEST:
          book.reset = true;
          book.open_scans = book.open_reads = book.open_data_resets = book.open_bytes = 0;
          break;
        default:
          break;
      }
    }
  }

  // Writes the input one frame at a time (cut as the link's reader cuts it; what
  // follows a length it refuses goes as one piece), each after the loop has run
  // what the previous one made ready.
  void feed(const std::uint8_t* data, std::size_t size) {
    start_read();
    try {
      fuzz_write_frames(socket, data, size, kPeerLinkLimit, [this] { return read_ended; });
    } catch (...) {
      fail("An exception ended the event loop: " + exception_ptr_text(std::current_exception()));
    }
  }

  // The tie-in ended the link, or owes nothing more.
  bool settled() const {
    if (read_ended) return true;
    for (const auto& entry : books_) {
      if (!entry.second.settled()) return false;
    }
    return true;
  }

  void hang_up() {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  void close() {
    boost::system::error_code ignored;
    // No TIME_WAIT left behind by each of many inputs.
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
  }

  tcp::socket socket;
  bool read_ended = false;

 private:
  void start_read() {
    socket.async_read_some(asio::buffer(chunk_),
                           [this](const boost::system::error_code& code, std::size_t n) {
                             received_.append(chunk_, n);
                             take_frames();
                             // End of file or a reset: the tie-in closed its side.
                             if (code) {
                               read_ended = true;
                               return;
                             }
                             start_read();
                           });
  }

  void take_frames() {
    while (received_.size() - taken_ >= 4) {
      std::uint32_t length;
      std::memcpy(&length, received_.data() + taken_, 4);
      if (length == 0 || length > kPeerLinkLimit) fail("A frame the peer refuses by its size");
      if (received_.size() - taken_ - 4 < length) break;
      server_t message;
      if (!message.ParseFromArray(received_.data() + taken_ + 4, static_cast<int>(length))) {
        fail("A message the peer cannot parse");
      }
      taken_ += 4 + length;
      if (std::getenv("BRELKIN_FUZZ_LOG")) {
        std::fprintf(stderr, "Received: %s\n", message.ShortDebugString().c_str());
      }
      check(message);
    }
    // Only what is still to be parsed is kept.
    received_.erase(0, taken_);
    taken_ = 0;
  }

  void check(const server_t& message) {
    try {
      check_peer_server_fields(message);
    } catch (const std::exception& e) {
      fail(std::string("A message without its fields: ") + e.what());
    }
    if (message.tag() == server_t::STATUS) {
      if (message.protocol_version() != kPeerProtocolVersion || message.job_id() != 0) {
        fail("STATUS without the protocol version");
      }
      return;
    }
    job_book_t& book = books_[message.job_id()];
    switch (message.tag()) {
      case server_t::SCAN_RESPONSE:
        if (++book.responses > book.scans) fail("SCAN_RESPONSE without SCAN_REQUEST");
        break;
      case server_t::GET_DATA_RESPONSE:
        if (++book.read_responses > book.reads) fail("GET_DATA_RESPONSE without request");
        book.announced += message.data_size();
        break;
      case server_t::DATA_CHUNK:
        if (message.data().size() > kPeerReadChunk) fail("DATA_CHUNK above 65536 bytes");
        book.returned += message.data().size();
        if (book.returned > book.announced) fail("DATA_CHUNK beyond GET_DATA_RESPONSE");
        break;
      case server_t::DATA_CHUNK_APPENDED:
        book.appended += message.data_size();
        if (book.appended > book.bytes) fail("DATA_CHUNK_APPENDED beyond the data sent");
        break;
      case server_t::DATA_RESET_RESPONSE:
        if (++book.data_reset_responses > book.data_resets) {
          fail("DATA_RESET_RESPONSE without request");
        }
        break;
      case server_t::ALARM:
        ++(message.soft() ? book.soft_alarms : book.hard_alarms);
        break;
      default:
        break;
    }
  }

  char chunk_[65536];
  std::string received_;
  std::size_t taken_ = 0;
  std::map<std::uint32_t, job_book_t> books_;
};

vl::BrelConfig fuzz_config(const fs::path& spool) {
  vl::BrelConfig config;
  config.set_log_level(vl::LOG_LEVEL_DEBUG);
  // The log the fuzzer installed stays.
  config.mutable_actual_log()->set_type(vl::Log::AUTO);
  config.mutable_run_as_user()->set_uid(getuid());
  config.set_spool_dir(spool.string());
  config.set_is_se_installed(true);
  config.set_se_max_forks(2);
  // The first job makes the engine link.
  config.set_actual_start(true);
  return config;
}

// Runs until the task-queue worker has done all it was given so far (a job's files
// are removed there) and its results are back.
void drain(bk_inventory_t& inventory) {
  auto drained = std::make_shared<bool>(false);
  asio::io_context* io = &inventory.io_context;
  inventory.task_queue->post([io, drained] { asio::post(*io, [drained] { *drained = true; }); });
  fuzz_run_until(
      inventory.io_context, [&] { return *drained; }, never_ends);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path spool = private_dir() / "spool";
  const std::string engine_path = (private_dir() / "se.sock").string();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  {
    bk_inventory_t inventory(pair[0]);
    asio::io_context& io = inventory.io_context;
    // The engine front finds the stand-in engine without asking the configuration
    // daemon, which here only listens.
    inventory.scanner = std::make_shared<bk_scanner_t>(
        inventory, io, [&io, engine_path](bk_scanner_t::se_path_callback_t reply) {
          asio::post(io, [reply, engine_path] { reply(nullptr, engine_path); });
        });
    const auto engine = stand_se_t::create(io, engine_path);
    inventory.start();
    inventory.marrod_tie->config_changed(fuzz_config(spool));

    // Made by hand: a blocking connect or accept of the loop's sockets would end the
    // run when one of libFuzzer's timer signals interrupts it.
    const auto [near, far] = fuzz_tcp_pair();
    fuzz_peer_client_t peer(io);
    peer.socket.assign(tcp::v4(), near);
    peer.socket.set_option(tcp::no_delay(true));
    std::weak_ptr<bk_peer_tie_in_t> weak_tie;
    {
      // As the peer acceptor makes a link.
      auto socket = std::make_shared<cf_tcp_socket_t>(io, tcp::v4(), far);
      socket->set_option(tcp::no_delay(true));
      auto connection = std::make_shared<bk_peer_connection_plain_t>(inventory);
      connection->start(socket);
      auto tie = bk_peer_tie_in_t::create(inventory, connection);
      connection->set_delegate(tie.get());
      tie->set_job_factory([&inventory](std::uint32_t job_id) -> std::shared_ptr<bk_job_t> {
        if (job_id % 4 == 3) throw boost::system::system_error(make_error_code(vl::EC_NOT_READY));
        return inventory.scanner->create_job<bk_local_job_t>(job_id);
      });
      inventory.cluster->on_peer_in_connected(tie);
      weak_tie = tie;
    }

    peer.plan(data, size);
    peer.feed(data, size);
    // A request left unanswered keeps this loop running until the fuzzer's timeout.
    fuzz_run_until(
        io, [&] { return peer.settled(); }, never_ends);
    peer.hang_up();
    fuzz_run_until(
        io, [&] { return peer.read_ended && weak_tie.expired(); }, never_ends);
    if (!weak_tie.expired()) fail("The tie-in outlived its link");
    drain(inventory);
    boost::system::error_code error;
    if (!fs::is_empty(spool, error) && !error) fail("A spool file outlived its job");
    peer.close();
    engine->stop();
  }
  ::close(pair[1]);
  return 0;
}
