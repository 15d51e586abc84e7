// Two real daemons on loopback under a load one connection could not carry: a
// front without engine hands the jobs of all its clients over its one link to the
// peer that has the engine. Every job is answered with its own report, and no
// spool file is left on either node once the jobs are reset.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jobs/client_protocol.h"
#include "tests/e2e/daemon_set.h"

namespace {

class ClusterLoadTest : public ::testing::Test, protected daemon_set_t {
 protected:
  // With the engine: listens for peers. Without: sends every job to `peer`.
  node_t& start_node(const std::string& name, const node_t* peer) {
    return start(name, peer == nullptr, [&](vl::BrelConfig& config) {
      config.set_load_balance_status_interval(100);
      if (peer == nullptr) {
        config.mutable_load_balance_server_socket()->set_address("127.0.0.1");
        config.mutable_load_balance_server_socket()->set_port(0);
        config.mutable_load_balance_allow_from()->add_ip()->set_address("127.0.0.1");
        return;
      }
      vl::IPSocket* socket = config.mutable_load_balance_to()->add_ip();
      socket->set_address("127.0.0.1");
      socket->set_port(peer->peer_port);
    });
  }
};

TEST_F(ClusterLoadTest, AFrontCarriesTheOpenJobsOfAllItsClientsOverOnePeerLink) {
  node_t& worker = start_node("worker", nullptr);
  node_t& front = start_node("front", &worker);
  ASSERT_TRUE(run([&] { return front.remote_forks == 4; })) << front.daemon.output();

  // Each client keeps within its connection's cap; together they hold more open
  // jobs than one connection may.
  constexpr uint32_t kClients = 3;
  constexpr uint32_t kJobs = 400;
  static_assert(kJobs <= kConnectionJobLimit && kClients * kJobs > kConnectionJobLimit);
  const auto data = [](uint32_t client, uint32_t id) {
    const unsigned seed = client * kJobs + id;
    return seed % 7 == 0 ? infected(3000, seed) : pattern(3000, seed);
  };
  std::vector<std::shared_ptr<end_t>> clients;
  for (uint32_t c = 0; c < kClients; ++c) clients.push_back(connect(front));
  // Every job is open on both nodes, its data sent, before the first is scanned.
  for (uint32_t id = 1; id <= kJobs; ++id) {
    for (uint32_t c = 0; c < kClients; ++c) {
      clients[c]->send(bk::ClientMessage::INIT, id);
      clients[c]->chunk(id, data(c, id));
    }
  }
  for (uint32_t id = 1; id <= kJobs; ++id) {
    for (const auto& client : clients) client->scan(id, bk::ScanOptions());
  }

  // Every answer, by client and job; a second one for a job would be a fault too.
  std::vector<std::map<uint32_t, std::vector<message_t>>> answers(kClients);
  std::vector<uint32_t> answered(kClients, 0);
  EXPECT_TRUE(run([&] {
    bool done = true;
    for (uint32_t c = 0; c < kClients; ++c) {
      auto& queue = clients[c]->messages;
      for (; !queue.empty(); queue.pop_front()) {
        if (queue.front().tag() == message_t::ADJUST_WINDOW) continue;
        answers[c][queue.front().job_id()].push_back(queue.front());
        ++answered[c];
      }
      done = done && (answered[c] >= kJobs || clients[c]->ended);
    }
    return done;
  }));
  for (uint32_t c = 0; c < kClients; ++c) {
    EXPECT_EQ(answered[c], kJobs) << "client " << c;
    for (uint32_t id = 1; id <= kJobs; ++id) {
      const std::vector<message_t>& got = answers[c][id];
      if (got.size() != 1) {
        ADD_FAILURE() << got.size() << " answers for job " << id << " of client " << c;
        continue;
      }
      const message_t& answer = got.front();
      const std::string expected = data(c, id);
      const bool threat = expected.find(test_virus_text()) != std::string::npos;
      EXPECT_EQ(answer.tag(), message_t::SCAN_RESPONSE) << answer.ShortDebugString();
      EXPECT_EQ(answer.scan_report().size(), expected.size());
      EXPECT_EQ(answer.scan_report().virus_size(), threat ? 1 : 0) << answer.ShortDebugString();
      if (threat && answer.scan_report().virus_size() == 1) {
        EXPECT_EQ(answer.scan_report().virus(0).name(), test_virus_name());
      }
    }
  }
  EXPECT_EQ(worker.engine->serials().size(), kClients * kJobs);

  for (uint32_t id = 1; id <= kJobs; ++id) {
    for (const auto& client : clients) client->send(bk::ClientMessage::RESET, id);
  }
  EXPECT_TRUE(run([&] { return worker.spool_empty() && front.spool_empty(); }))
      << worker.daemon.output();
  for (const auto& client : clients) client->close();
}

}  // namespace
