// Clients of one real daemon on its UNIX and TCP sockets (the TCP one on the port
// the daemon logs having bound): whole scans through the stand-in engine with cure
// and read-back, the flow-control window, requests that break a job's rules, what a
// daemon without engine or peers answers, many clients at once, a cloud verdict
// from the stand-in cloud daemon, the job cap, and the scanning client program.
// Every test ends with an empty spool.
#include <openssl/evp.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/hash_values.h"
#include "jobs/client_protocol.h"
#include "tests/e2e/daemon_set.h"
#include "tests/support/file_text.h"

namespace {

using namespace std::chrono_literals;

std::string digest(const std::string& data, const EVP_MD* type) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), bytes, &size, type, nullptr);
  return digest_text(bytes, size);
}

bool has_virus(const vl::ScanReport& report) {
  if (report.virus_size() > 0) return true;
  for (const auto& item : report.item())
    if (has_virus(item)) return true;
  return false;
}

// The first grant of a connection with flow control, on the wire.
constexpr int32_t kWindow = 50331648;

class ClientTest : public ::testing::Test, protected daemon_set_t {
 protected:
  void SetUp() override {
    node = &start("d", true, [](vl::BrelConfig& c) {
      c.mutable_ip_socket()->set_address("127.0.0.1");
      c.mutable_ip_socket()->set_port(0);
    });
  }
  message_t next(end_t& end) { return end.next(io); }
  // GET_DATA, then every chunk of a job that ran on this host: none larger than
  // 65535 bytes.
  std::string read_back_here(end_t& end, uint32_t job_id) {
    end.send(bk::ClientMessage::GET_DATA_REQUEST, job_id);
    const message_t response = next(end);
    EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE) << response.ShortDebugString();
    std::string data;
    while (data.size() < response.data_size()) {
      const message_t chunk = next(end);
      if (chunk.tag() != message_t::DATA_CHUNK) {
        ADD_FAILURE() << chunk.ShortDebugString();
        break;
      }
      EXPECT_EQ(chunk.job_id(), job_id);
      EXPECT_LE(chunk.data().size(), 65535u);
      data += chunk.data();
    }
    EXPECT_EQ(data.size(), response.data_size());
    return data;
  }

  node_t* node = nullptr;
};

TEST_F(ClientTest, ScansOverBothSocketsWithCureReadBackAndSizeLimits) {
  auto local = connect(*node);
  auto network = connect(*node, true);
  // Each socket names its clients apart.
  EXPECT_TRUE(wait_output(*node, "Local client 0x1: HELLO as Web gateway-77"));
  EXPECT_TRUE(wait_output(*node, "Network client 0x1: HELLO as Web gateway-77"));
  const std::string clean = pattern(700000, 1);
  const std::string bad = infected(300000, 2);
  bk::ScanOptions cure;
  cure.set_cure(true);
  local->submit(1, clean);
  network->submit(2, bad, cure, 65536);

  message_t response = next(*local);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus_size(), 0);
  EXPECT_EQ(response.scan_report().size(), clean.size());
  response = next(*network);
  ASSERT_EQ(response.scan_report().virus_size(), 1) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus(0).name(), test_virus_name());
  EXPECT_TRUE(response.scan_report().cured());
  // The data reads back as it was sent, or as cured.
  EXPECT_EQ(read_back_here(*local, 1), clean);
  EXPECT_EQ(read_back_here(*network, 2), cured(bad));

  // Outside the size limits the daemon answers by itself.
  local->send(bk::ClientMessage::INIT, 3);
  local->chunk(3, pattern(100, 5));
  const std::vector<std::tuple<uint64_t, uint64_t, bool>> limits = {
      {101, UINT64_MAX, true}, {100, 100, false}, {0, 99, true}};
  for (const auto& [min, max, refused] : limits) {
    bk::ScanOptions options;
    options.set_min_size_to_scan(min);
    options.set_max_size_to_scan(max);
    local->scan(3, options);
    EXPECT_EQ(next(*local).scan_report().has_error(), refused) << min << ".." << max;
  }
  for (uint32_t id : {1, 3}) local->send(bk::ClientMessage::RESET, id);
  network->send(bk::ClientMessage::RESET, 2);
}

TEST_F(ClientTest, WindowIsGrantedBackAsDataIsStored) {
  auto local = connect(*node);
  auto network = connect(*node, true);
  // The whole window comes first, for the connection rather than for a job.
  for (message_t window : {local->next(io, true), network->next(io, true)}) {
    EXPECT_EQ(window.tag(), message_t::ADJUST_WINDOW) << window.ShortDebugString();
    EXPECT_EQ(window.window_change(), kWindow);
    EXPECT_FALSE(window.has_job_id());
  }
  // 40 MiB, within the first window: more than the grant threshold gets stored.
  const std::size_t size = 40 * 1024 * 1024;
  network->submit(1, pattern(size, 4), {}, 1024 * 1024);
  int64_t granted = 0;
  message_t message;
  for (message = network->next(io, true); message.tag() == message_t::ADJUST_WINDOW;
       message = network->next(io, true)) {
    EXPECT_GT(message.window_change(), kWindow / 2);
    granted += message.window_change();
  }
  EXPECT_EQ(message.tag(), message_t::SCAN_RESPONSE) << message.ShortDebugString();
  EXPECT_GT(granted, 0);
  EXPECT_LE(granted, static_cast<int64_t>(size));
  network->send(bk::ClientMessage::RESET, 1);
}

TEST_F(ClientTest, WithoutEngineOrPeersJobsFailOrSoftClientsKeepTheirData) {
  node_t& bare = start("bare", false, [](vl::BrelConfig& c) {
    c.mutable_ip_socket()->set_address("127.0.0.1");
    c.mutable_ip_socket()->set_port(0);
  });
  const boost::asio::ip::tcp::endpoint at(boost::asio::ip::address_v4::loopback(),
                                          bare.client_port);
  auto end = end_t::connect(io, at);
  end->hello(true, false);
  EXPECT_EQ(end->next(io, true).window_change(), kWindow);
  end->send(bk::ClientMessage::INIT, 1);
  end->chunk(1, "data");
  message_t alarm = next(*end);
  EXPECT_EQ(alarm.tag(), message_t::ALARM) << alarm.ShortDebugString();
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No facilities available to process the job");
  EXPECT_FALSE(alarm.has_soft());
  // The identifier is free again: a scan for it gets no answer, a new INIT works.
  end->scan(1, {});
  end->send(bk::ClientMessage::INIT, 1);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 1);
  message_t response = next(*end);
  EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.data_size(), 0u);

  // A soft client's job stays with the data it sent before the alarm, which reads
  // back in pieces; a scan is refused for good.
  auto soft = end_t::connect(io, at);
  soft->hello(true, true);
  EXPECT_EQ(soft->next(io, true).window_change(), kWindow);
  soft->send(bk::ClientMessage::INIT, 4);
  const std::string data = pattern(200300, 3);
  soft->chunk(4, data);
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE) << alarm.ShortDebugString();
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(read_back_here(*soft, 4), data);
  soft->scan(4, {});
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().what(), "Scan is not allowed after soft error: Protocol violation");
  EXPECT_FALSE(alarm.has_soft());
}

TEST_F(ClientTest, FiftyClientsAtOnceAllGetTheirOwnAnswers) {
  std::vector<std::shared_ptr<end_t>> clients;
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA1);
  const auto data = [](unsigned i) {
    return i % 3 ? pattern(20000 + i * 1000, i) : infected(20000 + i * 1000, i);
  };
  for (unsigned i = 0; i < 50; ++i) {
    clients.push_back(connect(*node, i % 2));
    clients[i]->submit(i, data(i), options, 8192);
  }
  for (unsigned i = 0; i < 50; ++i) {
    const message_t response = next(*clients[i]);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << i << " " << response.ShortDebugString();
    EXPECT_EQ(response.job_id(), i);
    EXPECT_EQ(has_virus(response.scan_report()), i % 3 == 0) << i;
    EXPECT_EQ(response.scan_report().size(), data(i).size()) << i;
    EXPECT_EQ(response.sha1(), digest(data(i), EVP_sha1())) << i;
    clients[i]->close();
  }
}

TEST_F(ClientTest, CloudVerdictFindsWhatTheEngineDoesNot) {
  const std::string known_bad = pattern(30000, 8);
  write_file(dir / "bad-digests", digest(known_bad, EVP_sha1()) + "\n");
  // The stand-in cloud daemon listens where the daemon's cloud path points.
  boost::filesystem::create_directories(dir / "cloudy");
  marrod_harness_t cloud(BRELKIN_BINARY_DIR "/stand-lumend", io);
  cloud.without_link();
  cloud.start({"--socket", dir / "cloudy/lumend.sock", "--bad-digests", dir / "bad-digests"});
  ASSERT_TRUE(run([&] { return cloud.output().find("listening on") != std::string::npos; }))
      << cloud.output();
  node_t& cloudy = start("cloudy", true, [](vl::BrelConfig& c) { c.set_use_cloud(true); });

  // The engine does not answer in time: the cloud's threat verdict answers alone.
  cloudy.engine->options().delay = 600s;
  // Without flow control: the first answer is the scan's. The wait serves the
  // daemon's request for the cloud daemon's path.
  auto end = connect(cloudy, false, false);
  end->submit(1, known_bad);
  ASSERT_TRUE(run([&] { return !end->messages.empty(); })) << cloudy.daemon.output();
  message_t response = next(*end);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.job_id(), 1u);
  ASSERT_TRUE(has_virus(response.scan_report())) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus(0).name(), "Cloud.Known.Threat");
  EXPECT_TRUE(response.scan_report().cloud());
  // With the cloud on, the SHA-1 is reported unasked.
  EXPECT_EQ(response.sha1(), digest(known_bad, EVP_sha1()));

  // What the cloud holds clean waits for the engine's verdict.
  cloudy.engine->options().delay = 0ms;
  end->submit(2, pattern(30000, 9));
  ASSERT_TRUE(run([&] { return !end->messages.empty(); })) << cloudy.daemon.output();
  response = next(*end);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.job_id(), 2u);
  EXPECT_FALSE(has_virus(response.scan_report()));
  EXPECT_FALSE(response.scan_report().cloud());
  end->send(bk::ClientMessage::RESET, 1);
  end->send(bk::ClientMessage::RESET, 2);
  cloud.signal(SIGTERM);
  EXPECT_EQ(cloud.wait_exit(), 0) << cloud.output();
}

TEST_F(ClientTest, RequestsThatBreakAJobsRulesEndOnlyThatJob) {
  auto client = connect(*node);
  const std::string file = pattern(1 << 20, 3);
  // A second INIT of an identifier in use leaves the job that holds it alone.
  client->submit(1, file);
  EXPECT_EQ(next(*client).scan_report().size(), file.size());
  client->send(bk::ClientMessage::INIT, 1);
  const message_t in_use = next(*client);
  EXPECT_EQ(std::make_tuple(in_use.tag(), in_use.job_id(), in_use.error().code()),
            std::make_tuple(message_t::ALARM, 1u, vl::EC_ALREADY_IN_PROGRESS))
      << in_use.ShortDebugString();
  client->scan(1, {});
  EXPECT_EQ(next(*client).scan_report().size(), file.size());

  // Each refused request ends its job. A read-back under way sends a chunk each time
  // the connection drained, so it is still running when the next request comes.
  const auto open = [&](uint32_t id) {
    client->send(bk::ClientMessage::INIT, id);
    client->chunk(id, file);
  };
  const auto read = [&](uint32_t id) { client->send(bk::ClientMessage::GET_DATA_REQUEST, id); };
  bk::ScanOptions cure;
  cure.set_cure(true);
  // The code and text of the job's alarm, once the start of its read-back is past.
  const auto refusal = [&](uint32_t id) {
    message_t answer = next(*client);
    while (answer.job_id() == id && (answer.tag() == message_t::GET_DATA_RESPONSE ||
                                     answer.tag() == message_t::DATA_CHUNK)) {
      answer = next(*client);
    }
    EXPECT_EQ(std::make_tuple(answer.tag(), answer.job_id(), answer.error().code()),
              std::make_tuple(message_t::ALARM, id, vl::EC_PROTOCOL_VIOLATION))
        << answer.ShortDebugString();
    return answer.error().what();
  };
  open(2);
  read(2);
  read(2);
  EXPECT_EQ(refusal(2), "Previous GET_DATA request is not finished: Protocol violation");
  open(3);
  client->scan(3, cure);
  read(3);
  EXPECT_EQ(refusal(3), "GET_DATA while curing: Protocol violation");
  open(4);
  read(4);
  client->scan(4, cure);
  EXPECT_EQ(refusal(4), "Request to cure while GET_DATA is not finished: Protocol violation");
  // The connection, its other job and a job under a refused identifier go on.
  client->scan(1, {});
  EXPECT_EQ(next(*client).scan_report().size(), file.size());
  client->submit(2, "again");
  EXPECT_EQ(next(*client).scan_report().size(), 5u);
  for (uint32_t id : {1, 2}) client->send(bk::ClientMessage::RESET, id);
}

TEST_F(ClientTest, AConnectionHoldsAtMostTheJobCapAndTheOthersAreServed) {
  auto greedy = connect(*node, false, false);
  constexpr uint32_t kBeyond = 3;
  // Each job holds a spool file; every one goes with the connection.
  for (uint32_t id = 1; id <= kConnectionJobLimit + kBeyond; ++id) {
    greedy->send(bk::ClientMessage::INIT, id);
    greedy->chunk(id, "x");
  }
  auto other = connect(*node, false, false);
  const std::string file = pattern(200000, 7);
  other->submit(1, file);
  EXPECT_EQ(next(*other).scan_report().size(), file.size());
  other->send(bk::ClientMessage::RESET, 1);

  for (uint32_t id = kConnectionJobLimit + 1; id <= kConnectionJobLimit + kBeyond; ++id) {
    const message_t alarm = next(*greedy);
    EXPECT_EQ(alarm.job_id(), id) << alarm.ShortDebugString();
    EXPECT_EQ(alarm.error().code(), vl::EC_NOT_READY);
    EXPECT_EQ(alarm.error().what(), "Too many open jobs on this connection (1024)");
  }
  // A job that ends makes room for another.
  greedy->send(bk::ClientMessage::RESET, 1);
  greedy->submit(kConnectionJobLimit + kBeyond + 1, file);
  EXPECT_EQ(next(*greedy).tag(), message_t::SCAN_RESPONSE);
  greedy->close();
}

TEST_F(ClientTest, ScanningClientProgramReportsAndCuresWithItsExitStatus) {
  const std::string clean = dir / "clean.bin";
  const std::string bad = dir / "bad.bin";
  const std::string bad_data = infected(150000, 10);
  write_file(clean, pattern(150000, 11));
  write_file(bad, bad_data);
  const std::string unix_socket = node->path("brel.sock");
  std::string output;
  // The program runs on the daemons' loop, which serves the engine meanwhile.
  const auto tool = [&](const std::vector<std::string>& arguments) {
    marrod_harness_t program(BRELKIN_BINARY_DIR "/brel-scan", io);
    program.without_link();
    program.start(arguments);
    const int status = program.wait_exit(std::chrono::milliseconds(60000));
    output = program.output();
    return status;
  };

  EXPECT_EQ(tool({"-u", unix_socket, clean}), 0) << output;
  EXPECT_EQ(output, clean + ": OK\n");
  // A threat outweighs an input that cannot be read.
  EXPECT_EQ(tool({"-t", "127.0.0.1:" + std::to_string(node->client_port), "--hash", "sha256",
                  dir / "missing", clean, bad}),
            1)
      << output;
  EXPECT_NE(output.find(bad + ": EICAR-Test-File FOUND (Known virus)\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("  SHA256: " + digest(bad_data, EVP_sha256())), std::string::npos);
  EXPECT_EQ(tool({"-u", unix_socket, "--cure", "-o", dir / "cured.bin", bad}), 1) << output;
  EXPECT_NE(output.find(bad + ": cured\n"), std::string::npos) << output;
  EXPECT_EQ(read_file(dir / "cured.bin"), cured(bad_data));
  EXPECT_EQ(tool({"-u", unix_socket, "--max-size", "1K", clean}), 0) << output;
  EXPECT_EQ(output, clean + ": SKIPPED (Object size limit reached)\n");
  EXPECT_EQ(tool({"-u", unix_socket, dir / "missing"}), 2) << output;
}

}  // namespace
