// Several real daemons on loopback forming one cluster, each under its own
// configuration-daemon harness, all on one event loop with the stand-in engines of
// the nodes that have one: a job placed on a peer that fails while it holds it is
// redirected to another and cured there, over plain and TLS links. Every test ends
// with no spool file on any node that is still running.
#include <signal.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/sample_data.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using message_t = bk::ServerMessage;
using end_t = any_client_end_t;
using std::chrono::milliseconds;

// One daemon of the cluster with its harness, its directory and, when it has one,
// its stand-in engine.
struct node_t {
  node_t(asio::io_context& io, std::string name, std::string dir)
      : name(std::move(name)), dir(std::move(dir)), daemon(brelkin_program(), io) {}

  std::string path(const std::string& file) const { return dir + "/" + file; }
  std::string endpoint_text() const { return "127.0.0.1:" + std::to_string(peer_port); }
  bool spool_empty() const { return !fs::exists(path("spool")) || fs::is_empty(path("spool")); }

  const std::string name;
  const std::string dir;
  marrod_harness_t daemon;
  std::shared_ptr<stand_se_t> engine;
  vl::BrelConfig config;
  std::uint32_t revision = 0;
  unsigned short peer_port = 0;
  // From the latest application information; -1 before the first.
  int remote_forks = -1;
  bool killed = false;
};

class ClusterTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (tls()) certs = make_test_certs(dir.path().string());
  }

  void TearDown() override {
    for (const auto& node : nodes) {
      if (node->killed) continue;
      EXPECT_TRUE(run([&] { return node->spool_empty(); })) << node->name << "\n"
                                                            << node->daemon.output();
    }
    for (const auto& node : nodes) {
      if (node->killed) continue;
      node->daemon.signal(SIGTERM);
      EXPECT_EQ(node->daemon.wait_exit(), 107) << node->name << "\n" << node->daemon.output();
    }
    for (const auto& node : nodes) {
      if (node->engine) node->engine->stop();
    }
  }

  bool tls() const { return GetParam(); }

  // Starts a daemon that listens for peers on a port of its choice and connects to
  // `peers`, with its own stand-in engine when `with_engine`.
  node_t& start_node(const std::string& name, bool with_engine,
                     const std::vector<unsigned short>& peers = {}) {
    fs::create_directories(dir / name);
    nodes.push_back(std::make_unique<node_t>(io, name, dir / name));
    node_t& node = *nodes.back();
    if (with_engine) node.engine = stand_se_t::create(io, node.path("se.sock"));
    vl::BrelConfig& config = node.config;
    config = make_test_config(node.path("spool"));
    config.set_local_socket(node.path("brel.sock"));
    config.set_is_se_installed(with_engine);
    config.set_se_max_forks(with_engine ? 4 : 0);
    config.set_local_scan_preference(1.0f);
    config.set_load_balance_status_interval(100);
    config.mutable_load_balance_server_socket()->set_address("127.0.0.1");
    config.mutable_load_balance_server_socket()->set_port(0);
    config.mutable_load_balance_allow_from()->add_ip()->set_address("127.0.0.1");
    if (tls()) {
      // One certificate for both roles, as an operator would deploy it.
      const test_cert_files_t& own = nodes.size() % 2 ? certs.server : certs.client;
      config.set_load_balance_use_ssl(true);
      config.set_load_balance_ssl_certificate(own.cert_file);
      config.set_load_balance_ssl_key(own.key_file);
      config.set_load_balance_ssl_ca(certs.ca_file);
    }
    set_peers(config, peers);
    node.daemon.start();
    EXPECT_TRUE(node.daemon.answer_config(++node.revision, config)) << node.daemon.output();
    node.daemon.serve_paths(node.path("se.sock"));
    node.peer_port = node.daemon.wait_port("Peer acceptor");
    EXPECT_NE(node.peer_port, 0) << node.daemon.output();
    return node;
  }

  // The peers' listening ports on loopback.
  static void set_peers(vl::BrelConfig& config, const std::vector<unsigned short>& peers) {
    config.mutable_load_balance_to()->Clear();
    for (const unsigned short port : peers) {
      vl::IPSocket* socket = config.mutable_load_balance_to()->add_ip();
      socket->set_address("127.0.0.1");
      socket->set_port(port);
    }
  }

  // Two peers with engines and a front without one that lists both, the first
  // ready first: among equally loaded peers that one takes the next job.
  void start_front_with_two_peers() {
    node_t& first = start_node("first", true);
    node_t& second = start_node("second", true);
    node_t& front = start_node("front", false, {first.peer_port});
    ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();
    set_peers(front.config, {first.peer_port, second.peer_port});
    front.daemon.send_config(++front.revision, front.config);
    ASSERT_TRUE(run([&] { return front.remote_forks == 8; })) << front.daemon.output();
  }

  // Runs every daemon's side and every engine until `done`, keeping the daemons'
  // application information on the way.
  bool run(const std::function<bool()>& done, milliseconds timeout = milliseconds(60000)) {
    return run_until(
        io,
        [&] {
          for (const auto& node : nodes) {
            vl::Brel2MarrodMessage message;
            while (!node->killed && node->daemon.next(message, milliseconds(0))) {
              if (message.tag() == vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION)
                node->remote_forks = static_cast<int>(message.info().remote_se_forks());
            }
          }
          return done();
        },
        timeout);
  }

  bool wait_output(node_t& node, const std::string& text) {
    return run([&] { return node.daemon.output().find(text) != std::string::npos; });
  }

  void kill_node(node_t& node) {
    node.daemon.signal(SIGKILL);
    EXPECT_EQ(node.daemon.wait_exit(), 128 + SIGKILL);
    node.killed = true;
  }

  std::shared_ptr<end_t> connect(node_t& node) {
    auto end = end_t::connect(io, asio::local::stream_protocol::endpoint(node.path("brel.sock")));
    end->hello(true);
    return end;
  }

  asio::io_context io;
  temp_dir_t dir;
  test_certs_t certs;
  // Declared after io: harnesses and engines go first.
  std::vector<std::unique_ptr<node_t>> nodes;
};

TEST_P(ClusterTest, AJobCuredOnAPeerThatFailsIsRedirectedAndReadsBack) {
  ASSERT_NO_FATAL_FAILURE(start_front_with_two_peers());
  node_t& first = *nodes[0];
  node_t& second = *nodes[1];
  node_t& front = *nodes[2];

  // The first peer takes the job but stops before it can store anything, then dies.
  first.daemon.signal(SIGSTOP);
  auto client = connect(front);
  const std::string bad = infected(500000, 3);
  bk::ScanOptions cure;
  cure.set_cure(true);
  client->submit(1, bad, cure);
  ASSERT_TRUE(wait_output(front, "peer " + first.endpoint_text() + ", remote_id 1"))
      << front.daemon.output();
  kill_node(first);

  const message_t response = client->next(io);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  ASSERT_EQ(response.scan_report().virus_size(), 1) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus(0).name(), test_virus_name());
  EXPECT_TRUE(response.scan_report().cured());
  EXPECT_EQ(client->read_back(io, 1), cured(bad));
  EXPECT_EQ(second.engine->serials().size(), 1u);
  EXPECT_TRUE(wait_output(second, "PeerIn 0x1: Started JOB 1 as Local job 0x"))
      << second.daemon.output();
  client->send(bk::ClientMessage::RESET, 1);
}

INSTANTIATE_TEST_SUITE_P(Links, ClusterTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Tls" : "Plain";
                         });

}  // namespace
