// Fuzzes the peer tie-out's reading of the peer protocol: the input is what a
// hostile peer server sends on a loopback TCP link to a real tie-out, registered in
// the cluster of a real central object. Remote jobs on the link drive its senders
// and take the answers: three made on the tie-out before the input goes (serials 1
// to 3), each driven in memory in its own way, and one placed by the cluster for a
// real master job once a STATUS has made the peer ready (serial 4). The input goes
// one frame at a time, each after what the previous one set off has run; then the
// peer hangs up. Whatever the peer sends, the daemon does not end, every remote job
// gets its outcome (a hard alarm at the latest when the link ends, and its driver
// drops it then), every alarm carries a failure, and once the peer has hung up the
// tie-out goes away.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_connection.h"
#include "cluster/peer_tie_out.h"
#include "core/hash_values.h"
#include "framework/basic_ipc_link.h"
#include "framework/error.h"
#include "fuzz/support/fuzz_peer.h"
#include "jobs/job.h"
#include "jobs/master_job.h"
#include "schemas/brel_client_ipc.pb.h"
#include "wiring/inventory.h"
#include "wiring/master_job_services.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Drives one job as a client tie or a master job would, and drops it on a hard
// alarm, inside the call. `style` picks what it asks:
//   0: one chunk and two scans at once, a read-back after each answer;
//   1: one chunk and a read-back;
//   2: a chunk, a scan, and two more chunks as the link takes them;
//   3: a master job's client: one chunk and a scan.
class fuzz_driver_t : public bk_job_t::delegate {
 public:
  explicit fuzz_driver_t(int style) : style_(style) {}

  void start(std::shared_ptr<bk_job_t> job) {
    job_ = std::move(job);
    job_->set_delegate(this);
    const auto self = job_;
    self->append_data(chunk());
    if (!job_) return;
    switch (style_) {
      case 0:
        self->scan(bk::ScanOptions());
        if (job_) self->scan(bk::ScanOptions());
        break;
      case 1:
        self->get_data(65536);
        break;
      default:
        self->scan(bk::ScanOptions());
        break;
    }
  }
  // The driver's end, as when a client hangs up.
  void drop() {
    if (const auto job = std::move(job_)) job->reset();
  }

  bool has_job() const { return job_ != nullptr; }
  bool failed() const { return failed_; }

  void on_get_data_response(uint32_t, uint64_t) override {}
  void on_data_chunk(uint32_t, const char*, uint64_t) override {}
  void on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) override {
    if (style_ == 0 && job_) job_->get_data(65536);
  }
  void on_data_chunk_appended(uint32_t, uint32_t) override {}
  void on_alarm(uint32_t, const std::exception_ptr& error, bool soft) override {
    // An alarm that carries no failure would read as success to a client.
    if (!error) fail("An alarm without an error");
    if (soft) {
      if (job_ && style_ != 3) job_->data_reset();
      return;
    }
    failed_ = true;
    drop();
  }
  boost::signals2::connection connect_on_drained(const std::function<void()>&) override {
    return {};
  }
  void on_resume(uint32_t) override {
    if (style_ != 2 || more_chunks_ == 0 || !job_) return;
    --more_chunks_;
    job_->append_data(chunk());
  }

 private:
  static std::shared_ptr<const std::string> chunk() {
    static const auto data = std::make_shared<const std::string>("X5O!P%@AP[4\\PZX54(P^)7CC)7}");
    return data;
  }

  const int style_;
  std::shared_ptr<bk_job_t> job_;
  bool failed_ = false;
  int more_chunks_ = 2;
};

// The peer server's end: writes the input paced, reads whatever the tie-out sends.
class fuzz_server_t {
 public:
  explicit fuzz_server_t(asio::io_context& io) : socket(io) {}

  // One frame at a time, as the frame reader cuts them (what follows a length it
  // refuses goes as one piece), each after the loop has run every handler the one
  // before made ready. Then the sending side is shut: the peer hangs up.
  void feed(const std::uint8_t* data, std::size_t size, const std::function<void()>& between) {
    start_read();
    fuzz_write_frames(
        socket, data, size, kPeerLinkLimit, [this] { return read_ended; }, between);
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  tcp::socket socket;
  bool read_ended = false;

 private:
  void start_read() {
    socket.async_read_some(asio::buffer(buffer_),
                           [this](const boost::system::error_code& code, std::size_t) {
                             if (code) {
                               read_ended = true;
                               return;
                             }
                             start_read();
                           });
  }

  char buffer_[65536];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  {
    bk_inventory_t inventory(pair[0]);
    fuzz_server_t server(inventory.io_context);
    const auto [near, far] = fuzz_tcp_pair();
    auto client = std::make_shared<tcp::socket>(inventory.io_context, tcp::v4(), near);
    server.socket.assign(tcp::v4(), far);
    // Each end resets on close instead of lingering in TIME_WAIT: thousands of
    // inputs a minute would otherwise fill the machine's port table.
    client->set_option(tcp::socket::linger(true, 0));
    server.socket.set_option(tcp::socket::linger(true, 0));

    std::vector<std::unique_ptr<fuzz_driver_t>> drivers;
    std::weak_ptr<bk_peer_tie_out_t> weak_tie;
    {
      auto connection = std::make_shared<bk_peer_connection_plain_t>(inventory);
      connection->start(std::move(client));
      auto tie = bk_peer_tie_out_t::create(inventory, connection);
      connection->set_delegate(tie.get());
      inventory.cluster->on_peer_out_connected(tie);
      weak_tie = tie;
      for (int style = 0; style < 3; ++style) {
        drivers.push_back(std::make_unique<fuzz_driver_t>(style));
        drivers.back()->start(tie->create_job(static_cast<std::uint32_t>(100 + style)));
      }
    }

    fuzz_driver_t master_client(3);
    bool master_placed = false;
    try {
      server.feed(data, size, [&] {
        // The cluster places the master's job on the peer once it is ready.
        const auto tie = weak_tie.lock();
        if (master_placed || !tie || !inventory.cluster->nodes().find_ready(*tie)) return;
        master_placed = true;
        master_client.start(
            std::make_shared<bk_master_job_t>(inventory, 200, master_job_services(inventory)));
      });
      const auto settled = [&] {
        if (!server.read_ended || !weak_tie.expired() || master_client.has_job()) return false;
        return std::none_of(drivers.begin(), drivers.end(),
                            [](const auto& driver) { return driver->has_job(); });
      };
      // Everything left is the loop's own work: a second without any means a hang.
      while (!settled()) {
        if (inventory.io_context.run_one_for(std::chrono::seconds(1)) == 0) break;
      }
    } catch (...) {
      // Nothing a peer sends may end the daemon.
      if (!never_ends(std::current_exception())) {
        std::fprintf(stderr, "An exception ended the event loop: %s\n",
                     exception_ptr_text(std::current_exception()).c_str());
        std::abort();
      }
    }
    if (!weak_tie.expired()) fail("The tie-out outlived its link");
    for (const auto& driver : drivers) {
      if (driver->has_job() || !driver->failed()) fail("A remote job got no outcome");
    }
    if (master_placed && !master_client.failed()) fail("The master job got no outcome");
  }
  ::close(pair[1]);
  return 0;
}
