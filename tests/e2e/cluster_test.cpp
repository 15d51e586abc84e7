// Real daemons on loopback forming one cluster, over plain and TLS links: a front
// without engine places a job on a peer, the peer fails while it holds the job,
// the job is cured on another peer and reads back; a peer that dies once it
// stored the data never yields a wrong report. A peer without engine processes
// never takes a job; a front whose only peer refuses it fails a job at once.
// Every test ends with no spool file on any node still running.
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/daemon_set.h"
#include "tests/support/test_certs.h"

namespace {

class ClusterTest : public ::testing::TestWithParam<bool>, protected daemon_set_t {
 protected:
  void SetUp() override {
    if (GetParam()) certs = make_test_certs(dir.path().string());
  }

  // Listens for peers on a port of its choice and connects to `peers`.
  node_t& start_node(const std::string& name, bool with_engine,
                     const std::vector<const node_t*>& peers = {}) {
    return start(name, with_engine, [&](vl::BrelConfig& config) {
      config.set_local_scan_preference(1.0f);
      config.set_load_balance_status_interval(100);
      config.mutable_load_balance_server_socket()->set_address("127.0.0.1");
      config.mutable_load_balance_server_socket()->set_port(0);
      config.mutable_load_balance_allow_from()->add_ip()->set_address("127.0.0.1");
      if (GetParam()) {
        // One certificate for both roles, as an operator would deploy it.
        const test_cert_files_t& own = nodes.size() % 2 ? certs.server : certs.client;
        config.set_load_balance_use_ssl(true);
        config.set_load_balance_ssl_certificate(own.cert_file);
        config.set_load_balance_ssl_key(own.key_file);
        config.set_load_balance_ssl_ca(certs.ca_file);
      }
      set_peers(config, peers);
    });
  }

  static void set_peers(vl::BrelConfig& config, const std::vector<const node_t*>& peers) {
    config.mutable_load_balance_to()->Clear();
    for (const node_t* peer : peers) {
      vl::IPSocket* socket = config.mutable_load_balance_to()->add_ip();
      socket->set_address("127.0.0.1");
      socket->set_port(peer->peer_port);
    }
  }

  void kill_node(node_t& node) {
    node.daemon.signal(SIGKILL);
    EXPECT_EQ(node.daemon.wait_exit(), 128 + SIGKILL);
    node.killed = true;
  }

  test_certs_t certs;
};

TEST_P(ClusterTest, AJobCuredOnAPeerThatFailsIsRedirectedAndReadsBack) {
  node_t& first = start_node("first", true);
  node_t& second = start_node("second", true);
  node_t& idle = start_node("idle", false);
  node_t& front = start_node("front", false, {&first});
  ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();
  // Among equally loaded peers the one ready first takes the next job.
  set_peers(front.config, {&first, &idle, &second});
  front.daemon.send_config(++front.revision, front.config);
  ASSERT_TRUE(run([&] { return front.remote_forks == 8; })) << front.daemon.output();
  ASSERT_TRUE(wait_output(front, "PeerOut connected: " + idle.endpoint_text()));

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
  ASSERT_EQ(response.scan_report().virus_size(), 1) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus(0).name(), test_virus_name());
  EXPECT_TRUE(response.scan_report().cured());
  EXPECT_EQ(client->read_back(io, 1), cured(bad));
  EXPECT_EQ(second.engine->serials().size(), 1u);
  EXPECT_TRUE(wait_output(second, "PeerIn 0x1: Started JOB 1 as Local job 0x"))
      << second.daemon.output();
  client->send(bk::ClientMessage::RESET, 1);
  // The front keeps trying the peer it lost.
  EXPECT_TRUE(wait_output(front, "Connection to " + first.endpoint_text() + " failed"));

  // With only the peer without engine processes left, the job fails at the front.
  kill_node(second);
  ASSERT_TRUE(wait_output(front, "PeerOut disconnected: " + second.endpoint_text()));
  client->submit(2, "data");
  const message_t alarm = client->next(io);
  EXPECT_EQ(alarm.tag(), message_t::ALARM) << alarm.ShortDebugString();
  // Peers are configured, so this is no missing engine but a job no node took.
  EXPECT_EQ(alarm.error().code(), vl::EC_UNEXPECTED_ERROR) << alarm.ShortDebugString();
  EXPECT_EQ(front.daemon.output().find("peer " + idle.endpoint_text()), std::string::npos);
}

TEST_P(ClusterTest, APeerThatDiesAfterStoringTheDataNeverYieldsAWrongReport) {
  node_t& first = start_node("first", true);
  node_t& second = start_node("second", true);
  node_t& front = start_node("front", false, {&first});
  ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();
  set_peers(front.config, {&first, &second});
  front.daemon.send_config(++front.revision, front.config);
  ASSERT_TRUE(run([&] { return front.remote_forks == 8; })) << front.daemon.output();

  // The first peer stores the data and asks its engine, which never answers.
  first.engine->options().delay = std::chrono::milliseconds(600000);
  auto client = connect(front);
  client->submit(1, infected(200000, 4));
  ASSERT_TRUE(run([&] { return first.engine->serials().size() == 1; })) << first.daemon.output();
  kill_node(first);

  // Either the job moved with its data still kept, or the client hears why not;
  // never a clean verdict for infected data.
  const message_t answer = client->next(io);
  if (answer.tag() == message_t::SCAN_RESPONSE) {
    EXPECT_EQ(answer.scan_report().virus_size(), 1) << answer.ShortDebugString();
  } else {
    ASSERT_EQ(answer.tag(), message_t::ALARM) << answer.ShortDebugString();
    EXPECT_EQ(answer.error().code(), vl::EC_LINK_DISCONNECTED) << answer.ShortDebugString();
  }
  client->send(bk::ClientMessage::RESET, 1);
}

TEST_P(ClusterTest, AFrontWhoseOnlyPeerRefusesFailsAJobAtOnce) {
  // Bound but not listening: every connection to it is refused.
  boost::asio::ip::tcp::socket refusing(io);
  refusing.open(boost::asio::ip::tcp::v4());
  refusing.bind({boost::asio::ip::address_v4::loopback(), 0});
  const unsigned short port = refusing.local_endpoint().port();
  node_t& front = start_node("front", false);
  vl::IPSocket* peer = front.config.mutable_load_balance_to()->add_ip();
  peer->set_address("127.0.0.1");
  peer->set_port(port);
  front.daemon.send_config(++front.revision, front.config);
  ASSERT_TRUE(wait_output(front, "Connection to 127.0.0.1:" + std::to_string(port) + " failed: "))
      << front.daemon.output();

  // Tried and failed, the peer is no reason to wait: no retries for half a minute.
  auto client = connect(front, false, false);
  client->submit(1, "data");
  ASSERT_TRUE(run_until(
      io, [&] { return !client->messages.empty() || client->ended; }, std::chrono::seconds(10)))
      << front.daemon.output();
  const message_t alarm = client->messages.front();
  EXPECT_EQ(
      std::make_tuple(alarm.tag(), alarm.job_id(), alarm.error().code(), alarm.error().what()),
      std::make_tuple(message_t::ALARM, 1u, vl::EC_UNEXPECTED_ERROR,
                      std::string("No facilities were able to process the job")))
      << alarm.ShortDebugString();
}

INSTANTIATE_TEST_SUITE_P(Links, ClusterTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Tls" : "Plain";
                         });

}  // namespace
