// Several real daemons on loopback forming one cluster, each under its own
// configuration-daemon harness, all on one event loop with the stand-in engines of
// the nodes that have one: jobs placed on a peer and answered from there (plain and
// TLS links), a peer that fails while it holds a job, a peer without engine
// processes, and reconnection to a peer that comes late. Every test ends with no
// spool file on any node that is still running.
#include <signal.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <regex>
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

unsigned short free_port(asio::io_context& io) {
  asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
  return probe.local_endpoint().port();
}

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

  // Starts a daemon that listens for peers on `port` (0: any) and connects to
  // `peers`, with its own stand-in engine when `with_engine`.
  node_t& start_node(const std::string& name, bool with_engine, unsigned short port = 0,
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
    config.mutable_load_balance_server_socket()->set_port(port);
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
    const std::regex started("Peer acceptor on 127\\.0\\.0\\.1:([0-9]+) started");
    std::smatch match;
    EXPECT_TRUE(run([&] { return std::regex_search(node.daemon.output(), match, started); }))
        << node.daemon.output();
    node.peer_port = static_cast<unsigned short>(std::stoi(match[1].str()));
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

  // A new configuration revision that makes `node` connect to `peers`.
  void list_peers(node_t& node, const std::vector<unsigned short>& peers) {
    set_peers(node.config, peers);
    node.daemon.send_config(++node.revision, node.config);
  }

  // Two peers with engines and a front without one that lists both, the first
  // ready first: among equally loaded peers that one takes the next job.
  void start_front_with_two_peers() {
    node_t& first = start_node("first", true);
    node_t& second = start_node("second", true);
    node_t& front = start_node("front", false, 0, {first.peer_port});
    ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();
    list_peers(front, {first.peer_port, second.peer_port});
    ASSERT_TRUE(run([&] { return front.remote_forks == 8; })) << front.daemon.output();
  }

  // Runs every daemon's side and every engine until `done`, answering the daemons'
  // requests for their engine's socket path and keeping their application
  // information on the way.
  bool run(const std::function<bool()>& done, milliseconds timeout = milliseconds(20000)) {
    return run_until(
        io,
        [&] {
          for (const auto& node : nodes) {
            if (node->killed) continue;
            vl::Brel2MarrodMessage message;
            while (node->daemon.next(message, milliseconds(0))) {
              if (message.tag() == vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION) {
                node->remote_forks = static_cast<int>(message.info().remote_se_forks());
              }
              if (message.tag() != vl::Brel2MarrodMessage::GET_SE_REQUEST) continue;
              vl::Marrod2BrelMessage response;
              response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
              response.set_socket_path(node->path("se.sock"));
              node->daemon.send(response);
            }
          }
          return done();
        },
        timeout);
  }

  bool wait_output(node_t& node, const std::string& text,
                   milliseconds timeout = milliseconds(20000)) {
    return run([&] { return node.daemon.output().find(text) != std::string::npos; }, timeout);
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

  message_t next_answer(end_t& end) {
    message_t message;
    do {
      EXPECT_TRUE(run([&] { return !end.messages.empty() || end.ended; }));
      if (end.messages.empty()) return message_t();
      message = end.messages.front();
      end.messages.pop_front();
    } while (message.tag() == message_t::ADJUST_WINDOW);
    return message;
  }

  // GET_DATA, then every chunk; a job that ran on a peer comes back in pieces of at
  // most 65536 bytes.
  std::string read_back(end_t& end, uint32_t job_id) {
    end.send(bk::ClientMessage::GET_DATA_REQUEST, job_id);
    const message_t response = next_answer(end);
    EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE) << response.ShortDebugString();
    std::string data;
    while (data.size() < response.data_size()) {
      const message_t chunk = next_answer(end);
      if (chunk.tag() != message_t::DATA_CHUNK) {
        ADD_FAILURE() << chunk.ShortDebugString();
        break;
      }
      EXPECT_LE(chunk.data().size(), 65536u);
      data += chunk.data();
    }
    return data;
  }

  asio::io_context io;
  temp_dir_t dir;
  test_certs_t certs;
  // Declared after io: harnesses and engines go first.
  std::vector<std::unique_ptr<node_t>> nodes;
};

TEST_P(ClusterTest, JobsRunOnAPeerThatComesLateWithCureAndReadBack) {
  // The client's node has no engine; its peer is not up yet when it starts.
  const unsigned short later = free_port(io);
  node_t& front = start_node("front", false, 0, {later});
  const std::string refused = "Connection to 127.0.0.1:" + std::to_string(later) + " failed: ";
  ASSERT_TRUE(wait_output(front, refused)) << front.daemon.output();
  node_t& back = start_node("back", true, later);
  // The retry finds it within one round, and its engine processes count here.
  ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();

  auto client = connect(front);
  const std::string clean = pattern(700000, 1);
  const std::string bad = infected(300000, 2);
  bk::ScanOptions cure;
  cure.set_cure(true);
  client->submit(1, clean);
  client->submit(2, bad, cure);
  std::map<uint32_t, message_t> answers;
  while (answers.size() < 2) {
    const message_t response = next_answer(*client);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
    answers[response.job_id()] = response;
  }
  EXPECT_EQ(answers[1].scan_report().virus_size(), 0);
  EXPECT_EQ(answers[1].scan_report().size(), clean.size());
  EXPECT_TRUE(answers[2].scan_report().cured());
  EXPECT_EQ(read_back(*client, 1), clean);
  EXPECT_EQ(read_back(*client, 2), cured(bad));
  // Both ran on the peer's engine.
  EXPECT_EQ(back.engine->serials().size(), 2u);
  EXPECT_TRUE(wait_output(back, "PeerIn 0x1: Started JOB 1 as Local job 0x"))
      << back.daemon.output();
  client->send(bk::ClientMessage::RESET, 1);
  client->send(bk::ClientMessage::RESET, 2);
}

TEST_P(ClusterTest, PeerFailingBeforeItStoresTheDataIsReplacedByAnother) {
  ASSERT_NO_FATAL_FAILURE(start_front_with_two_peers());
  node_t& first = *nodes[0];
  node_t& second = *nodes[1];
  node_t& front = *nodes[2];

  // The first peer stops before it can store anything, then dies.
  first.daemon.signal(SIGSTOP);
  auto client = connect(front);
  const std::string bad = infected(500000, 3);
  client->submit(1, bad);
  ASSERT_TRUE(wait_output(front, "peer " + first.endpoint_text() + ", remote_id 1"))
      << front.daemon.output();
  kill_node(first);

  const message_t response = next_answer(*client);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  ASSERT_EQ(response.scan_report().virus_size(), 1);
  EXPECT_EQ(response.scan_report().virus(0).name(), test_virus_name());
  EXPECT_EQ(second.engine->serials().size(), 1u);
  client->send(bk::ClientMessage::RESET, 1);
}

TEST_P(ClusterTest, PeerFailingAfterItStoredTheDataNeverYieldsAWrongReport) {
  ASSERT_NO_FATAL_FAILURE(start_front_with_two_peers());
  node_t& first = *nodes[0];
  node_t& front = *nodes[2];

  // The first peer stores the data and asks its engine, which never answers.
  first.engine->options().delay = milliseconds(600000);
  auto client = connect(front);
  const std::string bad = infected(200000, 4);
  client->submit(1, bad);
  ASSERT_TRUE(run([&] { return first.engine->serials().size() == 1; })) << first.daemon.output();
  kill_node(first);

  // Either the job moved with its data still kept, or the client hears why not;
  // never a clean verdict for infected data.
  const message_t answer = next_answer(*client);
  if (answer.tag() == message_t::SCAN_RESPONSE) {
    ASSERT_EQ(answer.scan_report().virus_size(), 1) << answer.ShortDebugString();
  } else {
    ASSERT_EQ(answer.tag(), message_t::ALARM) << answer.ShortDebugString();
    EXPECT_EQ(answer.error().code(), vl::EC_LINK_DISCONNECTED) << answer.ShortDebugString();
  }
  client->send(bk::ClientMessage::RESET, 1);
}

TEST_P(ClusterTest, PeerWithoutEngineProcessesIsNeverChosen) {
  node_t& idle = start_node("idle", false);
  node_t& front = start_node("front", false, 0, {idle.peer_port});
  ASSERT_TRUE(wait_output(front, "PeerOut connected: " + idle.endpoint_text()))
      << front.daemon.output();
  auto client = connect(front);
  client->submit(1, pattern(1000, 5));
  const message_t answer = next_answer(*client);
  ASSERT_EQ(answer.tag(), message_t::ALARM) << answer.ShortDebugString();
  EXPECT_EQ(answer.error().code(), vl::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(idle.daemon.output().find("Started JOB"), std::string::npos) << idle.daemon.output();
  EXPECT_LE(front.remote_forks, 0);
}

INSTANTIATE_TEST_SUITE_P(Links, ClusterTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Tls" : "Plain";
                         });

}  // namespace
