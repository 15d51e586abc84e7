// A cluster inside a real central object, with in-memory peer ties, jobs that tell
// where they were placed, a hand-driven clock and a record of the log.
//
// The central object runs on one end of a socket pair; the other end plays the
// configuration daemon and only listens. Test thread only.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>

#include "cluster/cluster.h"
#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "framework/exception.h"
#include "framework/log.h"
#include "jobs/job.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "tests/support/scan_requester.h"
#include "wiring/inventory.h"

namespace cluster_test {

using endpoint_t = bk_cluster_t::endpoint_t;
using clock_type = bk_cluster_t::clock_type;

inline endpoint_t endpoint(const std::string& address, unsigned short port) {
  return endpoint_t(boost::asio::ip::make_address(address), port);
}

inline std::string text_of(const endpoint_t& endpoint) {
  std::ostringstream text;
  text << endpoint;
  return text.str();
}

// A job that only says where it runs: "local" (then it is the engine front's) or the
// peer's endpoint.
struct placed_job_t : scan_requester_t {
  placed_job_t(uint32_t job_id, bk_core_inventory_t& inventory, std::string where = "local")
      : scan_requester_t(job_id, inventory) {
    path = std::move(where);
    if (path == "local") scanner = inventory.scanner;
  }
  void on_scan_report(const vl::ScanReport&) override {}
  void on_scan_error(const std::exception_ptr&, bool) override {}
};

// An outgoing tie whose figures the test sets.
struct fake_peer_out_t : bk_cluster_t::peer_out_t {
  fake_peer_out_t(bk_inventory_t& inventory, endpoint_t where)
      : inventory(inventory), where(where) {}
  endpoint_t remote_endpoint() const override { return where; }
  uint32_t max_forks() const override { return forks; }
  uint32_t job_count() const override { return jobs; }
  uint64_t bytes_in_queue() const override { return bytes; }
  std::shared_ptr<bk_job_t> create_job(uint32_t job_id) override {
    return std::make_shared<placed_job_t>(job_id, inventory, text_of(where));
  }
  bk_inventory_t& inventory;
  endpoint_t where;
  uint32_t forks = 0;
  uint32_t jobs = 0;
  uint64_t bytes = 0;
};

// An incoming tie that records each STATUS.
struct fake_peer_in_t : bk_cluster_t::peer_in_t {
  explicit fake_peer_in_t(endpoint_t where) : where(where) {}
  endpoint_t remote_endpoint() const override { return where; }
  void send_status(const bk_node_rating_t& local) override { statuses.push_back(local); }
  endpoint_t where;
  std::vector<bk_node_rating_t> statuses;
};

class ClusterFixture : public ::testing::Test {
 protected:
  ClusterFixture() { build(); }
  ~ClusterFixture() override { tear_down(); }

  // A fresh central object, for each row of a table.
  void rebuild() {
    tear_down();
    build();
  }

  // A configuration with an engine that is started on demand only, so no test
  // waits for it.
  static vl::BrelConfig config(bool engine = true, uint32_t forks = 4, float preference = 1.0f) {
    vl::BrelConfig c;
    c.set_is_se_installed(engine);
    c.set_se_max_forks(forks);
    c.set_actual_start(true);
    c.set_local_scan_preference(preference);
    return c;
  }
  static void add_server(vl::BrelConfig& c, const std::string& address, uint32_t port) {
    vl::IPSocket* server = c.mutable_load_balance_to()->add_ip();
    server->set_address(address);
    server->set_port(port);
  }
  static void allow(vl::BrelConfig& c, const std::string& address) {
    c.mutable_load_balance_allow_from()->add_ip()->set_address(address);
  }

  void apply(const vl::BrelConfig& c) {
    inventory->scanner->reconfigure(c);
    cluster->restart(c);
  }

  std::shared_ptr<fake_peer_out_t> connect_peer(const endpoint_t& where) {
    auto tie = std::make_shared<fake_peer_out_t>(*inventory, where);
    cluster->on_peer_out_connected(tie);
    return tie;
  }
  // Connects a peer and makes it ready with these figures.
  std::shared_ptr<fake_peer_out_t> ready_peer(const endpoint_t& where, uint32_t forks = 4,
                                              uint32_t jobs = 0, uint64_t bytes = 0) {
    auto tie = connect_peer(where);
    status(tie, forks, jobs, bytes);
    return tie;
  }
  void status(const std::shared_ptr<fake_peer_out_t>& tie, uint32_t forks, uint32_t jobs = 0,
              uint64_t bytes = 0) {
    tie->forks = forks;
    tie->jobs = jobs;
    tie->bytes = bytes;
    cluster->on_peer_out_status(tie);
  }
  std::shared_ptr<fake_peer_in_t> accept_peer(const endpoint_t& where) {
    auto tie = std::make_shared<fake_peer_in_t>(where);
    cluster->on_peer_in_connected(tie);
    return tie;
  }

  // Where the job went: "local", a peer's endpoint, or "error <code>: <text>".
  std::string choose(uint32_t job_id = 1, const std::set<endpoint_t>& excluded = {},
                     bool never_local = false) {
    try {
      jobs.push_back(cluster->choose_node(job_id, excluded, never_local));
      return jobs.back()->describe();
    } catch (const cf_proto_exception_t& e) {
      return "error " + std::to_string(e.code()) + ": " + e.what();
    }
  }

  void advance(std::chrono::milliseconds by) { now += by; }
  bool run(const std::function<bool()>& done) { return run_until(inventory->io_context, done); }
  // Runs the loop until a STATUS timer at the tests' 5 ms interval, had it been
  // armed, would have fired and been handled.
  void run_past_interval() {
    ASSERT_TRUE(run_past(inventory->io_context, std::chrono::milliseconds(10)));
  }

  void build() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::bad_alloc();
    inventory = std::make_unique<bk_inventory_t>(pair[0]);
    marrod = marrod_end_t::open(inventory->io_context, pair[1]);
    cluster = inventory->cluster;
    cluster->set_clock([this] { return now; });
    cluster->set_local_job_factory([this](uint32_t job_id) -> std::shared_ptr<bk_job_t> {
      return inventory->scanner->create_job<placed_job_t>(job_id);
    });
    cluster->state_changed.connect([this] { ++state_changes; });
    state_changes = 0;
  }
  // Jobs go before the central object they refer to.
  void tear_down() {
    marrod->close();
    jobs.clear();
    cluster.reset();
    inventory.reset();
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  clock_type::time_point now = clock_type::now();
  std::unique_ptr<bk_inventory_t> inventory;
  std::shared_ptr<marrod_end_t> marrod;
  std::shared_ptr<bk_cluster_t> cluster;
  std::vector<std::shared_ptr<bk_job_t>> jobs;
  int state_changes = 0;
};

}  // namespace cluster_test
