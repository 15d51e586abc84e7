// Fuzzes the client tie's message handling: the input is what a client sends on a
// local connection to a real tie of a real central object. Each INIT makes a real
// master job; the nodes it is placed on are in-memory executors that answer on the
// event loop, and the job identifier picks how placement goes, so the input also
// steers the master job through its redirects:
//   id % 4 == 0: the node stores, scans and returns the data;
//   id % 4 == 1: the first node fails the job on its first scan, the next works;
//   id % 4 == 2: no node is ready at first; the master waits and places again;
//   id % 4 == 3: no node will ever take the job.
// The input goes one message at a time, each after what the previous one set off
// has run. Whatever the client sends, the daemon does not end, and once the client
// has hung up the tie goes away with its jobs.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/post.hpp>
#include <boost/signals2/connection.hpp>

#include "core/hash_values.h"
#include "framework/error.h"
#include "framework/exception.h"
#include "fuzz/support/fuzz_peer.h"
#include "jobs/client_tie.h"
#include "jobs/master_job.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"
#include "wiring/inventory.h"

namespace {

namespace asio = boost::asio;

// An executor in memory, standing in for a local or remote job on a node. Every
// answer is posted, as a real executor answers from a later completion, and is
// dropped once the node is reset or gone.
class fuzz_node_t : public bk_job_t, public std::enable_shared_from_this<fuzz_node_t> {
 public:
  fuzz_node_t(std::uint32_t job_id, bk_core_inventory_t& inventory, unsigned short port, bool fails)
      : bk_job_t(job_id, inventory),
        endpoint(asio::ip::address_v4::loopback(), port),
        fails_(fails) {}

  std::string name() const override { return "Remote job 0x" + std::to_string(endpoint.port()); }
  std::string describe() const override { return "memory"; }
  std::uint64_t data_size() const override { return data_.size(); }
  std::uint32_t scan_request_count() const override { return scans_; }

  void append_data(const std::shared_ptr<const std::string>& chunk) override {
    data_ += *chunk;
    const auto size = static_cast<std::uint32_t>(chunk->size());
    later([size](fuzz_node_t& node, bk_job_t::delegate& driver) {
      driver.on_resume(size);
      driver.on_data_chunk_appended(node.job_id, size);
    });
  }

  void scan(const bk::ScanOptions& options) override {
    ++scans_;
    const bool cure = options.cure();
    later([cure](fuzz_node_t& node, bk_job_t::delegate& driver) {
      --node.scans_;
      if (node.fails_) {
        driver.on_alarm(node.job_id,
                        make_error_exception_ptr(make_error_code(vl::EC_LINK_DISCONNECTED)), false);
        return;
      }
      vl::ScanReport report;
      report.set_object("");
      report.set_size(node.data_.size());
      if (cure) report.set_cured(true);
      driver.on_scan_response(node.job_id, report, bk_hash_values_t());
    });
  }

  void get_data(std::uint32_t max_chunk) override {
    later([max_chunk](fuzz_node_t& node, bk_job_t::delegate& driver) {
      node.read_at_ = 0;
      node.max_chunk_ = std::max<std::uint32_t>(max_chunk, 1);
      node.reading_ = driver.connect_on_drained([weak = node.weak_from_this()] {
        if (auto self = weak.lock()) self->send_chunk();
      });
      driver.on_get_data_response(node.job_id, node.data_.size());
    });
  }

  void data_reset() override {
    reading_.disconnect();
    later([](fuzz_node_t& node, bk_job_t::delegate& driver) {
      driver.on_data_reset_response(node.job_id);
    });
  }

  void reset() override {
    reset_ = true;
    reading_.disconnect();
  }

  const asio::ip::tcp::endpoint endpoint;

 private:
  // One chunk per drained send queue, as a local job sends its read-back.
  void send_chunk() {
    if (reset_ || !delegate_) return;
    const std::size_t size = std::min<std::size_t>(max_chunk_, data_.size() - read_at_);
    const std::string chunk = data_.substr(read_at_, size);
    read_at_ += size;
    if (read_at_ >= data_.size()) reading_.disconnect();
    if (!chunk.empty()) delegate_->on_data_chunk(job_id, chunk.data(), chunk.size());
  }

  template <class Step>
  void later(Step step) {
    asio::post(inventory.io_context, [weak = weak_from_this(), step] {
      const auto self = weak.lock();
      if (!self || self->reset_ || !self->delegate_) return;
      step(*self, *self->delegate_);
    });
  }

  const bool fails_;
  std::string data_;
  std::uint32_t scans_ = 0;
  bool reset_ = false;
  std::size_t read_at_ = 0;
  std::uint32_t max_chunk_ = 1;
  boost::signals2::scoped_connection reading_;
};

// The placement a job's identifier asks for (see the top of this file).
bk_master_job_t::services_t services_for(bk_core_inventory_t& inventory, std::uint32_t job_id) {
  bk_master_job_t::services_t services;
  services.io_context = &inventory.io_context;
  services.redirect_pause = std::chrono::milliseconds(1);
  auto placements = std::make_shared<int>(0);
  services.choose_node = [&inventory, job_id, placements](
                             std::uint32_t id, const std::set<bk_master_job_t::endpoint_t>&,
                             bool) -> std::shared_ptr<bk_job_t> {
    const int placement = ++*placements;
    switch (job_id % 4) {
      case 2:
        if (placement == 1) throw cf_proto_exception_t(vl::EC_NOT_READY, "No node ready");
        break;
      case 3:
        throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "No node");
    }
    const bool fails = job_id % 4 == 1 && placement == 1;
    return std::make_shared<fuzz_node_t>(id, inventory, static_cast<unsigned short>(placement),
                                         fails);
  };
  services.report_success = [](const bk_master_job_t::node_t&) {};
  services.report_failure = [](const bk_master_job_t::node_t&) {};
  services.node_of = [](const bk_job_t& executor) -> bk_master_job_t::node_t {
    return static_cast<const fuzz_node_t&>(executor).endpoint;
  };
  return services;
}

// What the client was sent, for a look at what an input does.
void print_answers(const std::string& stream) {
  std::size_t at = 0;
  while (stream.size() - at >= 4) {
    std::uint32_t length;
    std::memcpy(&length, stream.data() + at, 4);
    if (stream.size() - at - 4 < length) break;
    bk::ServerMessage message;
    message.ParseFromArray(stream.data() + at + 4, static_cast<int>(length));
    std::fprintf(stderr, "Sent: %s\n", message.ShortDebugString().c_str());
    at += 4 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  {
    bk_inventory_t inventory(pair[0]);
    fuzz_peer_t peer(inventory.io_context);
    auto near = std::make_shared<cf_local_socket_t>(inventory.io_context);
    asio::local::connect_pair(*near, peer.socket);

    std::weak_ptr<bk_local_client_tie_t> weak_tie;
    {
      auto tie = bk_local_client_tie_t::create(
          inventory, [](bk_core_inventory_t& inventory, std::uint32_t job_id, bool soft_error) {
            auto job = std::make_shared<bk_master_job_t>(inventory, job_id,
                                                         services_for(inventory, job_id));
            job->set_soft_error(soft_error);
            return job;
          });
      tie->start(std::move(near));
      weak_tie = tie;
    }
    // A client waits for nothing, but a pause between its messages lets the jobs'
    // answers cross them.
    peer.feed_paced(data, size, kIpcLinkLimit, never_ends);
    fuzz_run_until(
        inventory.io_context, [&] { return peer.read_ended && weak_tie.expired(); }, never_ends);
    if (std::getenv("BRELKIN_FUZZ_LOG")) print_answers(peer.received);
    if (!weak_tie.expired()) {
      std::fprintf(stderr, "The client tie outlived its connection\n");
      std::abort();
    }
  }
  ::close(pair[1]);
  return 0;
}
