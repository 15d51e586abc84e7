// Clients of the real daemon on its UNIX and TCP sockets (the TCP one on the port
// the daemon logs having bound): whole scans through the stand-in engine (on the
// test's event loop) with cure and read-back, the job rules a client can break,
// the job cap, and the scanning client program. Every test ends with an empty
// spool.
#include <openssl/evp.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "core/hash_values.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/file_text.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/sample_data.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using message_t = bk::ServerMessage;
using end_t = any_client_end_t;
using std::chrono::milliseconds;
constexpr int32_t kWindow = 50331648;

std::string digest(const std::string& data, const EVP_MD* type) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), bytes, &size, type, nullptr);
  return digest_text(bytes, size);
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { engine = stand_se_t::create(daemon.io(), dir / "se.sock"); }
  void TearDown() override {
    // Every job's spooled file is gone once its client is.
    EXPECT_TRUE(run([&] { return !fs::exists(spool) || fs::is_empty(spool); })) << output();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 107);
    engine->stop();
  }

  // Starts the daemon with the stand-in engine unless `with_engine` is false.
  void start(bool with_engine = true) {
    vl::BrelConfig config = make_test_config(spool);
    config.set_local_socket(dir / "brel.sock");
    config.mutable_ip_socket()->set_address("127.0.0.1");
    config.mutable_ip_socket()->set_port(0);
    config.set_is_se_installed(with_engine);
    config.set_se_max_forks(4);
    daemon.start();
    ASSERT_TRUE(daemon.answer_config(1, config)) << output();
    daemon.serve_paths(dir / "se.sock");
    port = daemon.wait_port("Server");
    ASSERT_NE(port, 0) << output();
    if (with_engine) {
      ASSERT_TRUE(run([&] { return engine->connection_count() > 0; }));
    }
  }

  bool run(const std::function<bool()>& done) {
    return run_until(daemon.io(), done, milliseconds(60000));
  }
  const std::string& output() const { return daemon.output(); }

  std::shared_ptr<end_t> connect_unix(bool flow_control = true, bool soft = false) {
    auto end =
        end_t::connect(daemon.io(), asio::local::stream_protocol::endpoint(dir / "brel.sock"));
    end->hello(flow_control, soft);
    return end;
  }
  std::shared_ptr<end_t> connect_tcp(bool flow_control = true, bool soft = false) {
    auto end = end_t::connect(daemon.io(),
                              asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
    end->hello(flow_control, soft);
    return end;
  }
  message_t next(end_t& end, bool grants = false) { return end.next(daemon.io(), grants); }
  // The next answers of `end` by job id.
  std::map<uint32_t, message_t> answers(end_t& end, std::size_t count) {
    std::map<uint32_t, message_t> by_job;
    while (by_job.size() < count && !end.ended) {
      const message_t message = next(end);
      by_job[message.job_id()] = message;
    }
    return by_job;
  }

  temp_dir_t dir;
  const std::string spool = dir / "spool";
  unsigned short port = 0;
  marrod_harness_t daemon{brelkin_program()};
  std::shared_ptr<stand_se_t> engine;
};

TEST_F(ClientTest, ScansOverBothSocketsWithCureReadBackAndSizeLimits) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto local = connect_unix();
  auto network = connect_tcp();
  for (end_t* end : {local.get(), network.get()}) {
    const message_t window = next(*end, true);
    EXPECT_EQ(window.tag(), message_t::ADJUST_WINDOW);
    EXPECT_EQ(window.window_change(), kWindow);
    EXPECT_FALSE(window.has_job_id());
  }
  EXPECT_TRUE(daemon.wait_output("Local client 0x1: HELLO as Web gateway-77")) << output();
  EXPECT_TRUE(daemon.wait_output("Network client 0x1: HELLO as Web gateway-77"));

  const std::string clean = pattern(700000, 1);
  const std::string bad = infected(300000, 2);
  bk::ScanOptions hashes;
  hashes.add_threat_hash(bk::SHA1);
  hashes.add_threat_hash(bk::SHA256);
  bk::ScanOptions cure;
  cure.set_cure(true);
  local->submit(1, clean, hashes);
  network->submit(1, bad);
  network->submit(2, bad, cure, 65536);

  message_t response = next(*local);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.scan_report().virus_size(), 0);
  EXPECT_FALSE(response.scan_report().has_error());
  EXPECT_EQ(response.scan_report().size(), clean.size());
  EXPECT_EQ(response.sha1(), digest(clean, EVP_sha1()));
  EXPECT_EQ(response.sha256(), digest(clean, EVP_sha256()));
  auto found = answers(*network, 2);
  ASSERT_EQ(found[1].scan_report().virus_size(), 1) << found[1].ShortDebugString();
  EXPECT_EQ(found[1].scan_report().virus(0).name(), test_virus_name());
  EXPECT_FALSE(found[1].has_sha256());
  EXPECT_TRUE(found[2].scan_report().cured()) << found[2].ShortDebugString();

  // The data reads back as it was sent, or as cured.
  EXPECT_EQ(local->read_back(daemon.io(), 1), clean);
  EXPECT_EQ(network->read_back(daemon.io(), 2), cured(bad));

  // Outside the size limits the daemon answers by itself.
  const std::string small = pattern(100, 5);
  local->send(bk::ClientMessage::INIT, 2);
  local->chunk(2, small);
  const std::vector<std::pair<uint64_t, uint64_t>> limits = {
      {101, UINT64_MAX}, {100, 100}, {0, 99}};
  for (const auto& [min, max] : limits) {
    bk::ScanOptions options;
    options.set_min_size_to_scan(min);
    options.set_max_size_to_scan(max);
    local->scan(2, options);
  }
  for (const auto& [min, max] : limits) {
    response = next(*local);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
    const bool within = small.size() >= min && small.size() <= max;
    EXPECT_EQ(response.scan_report().has_error(), !within) << min << ".." << max;
    if (!within) {
      EXPECT_EQ(response.scan_report().error(), vl::SE_OBJECT_SIZE_LIMIT);
    }
  }
  for (uint32_t id : {1, 2}) {
    local->send(bk::ClientMessage::RESET, id);
    network->send(bk::ClientMessage::RESET, id);
  }
}

TEST_F(ClientTest, RequestsThatBreakAJobsRulesAreRefused) {
  engine->options().delay = milliseconds(300);
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_unix(false);
  // An identifier in use.
  end->send(bk::ClientMessage::INIT, 0);
  end->send(bk::ClientMessage::INIT, 0);
  message_t alarm = next(*end);
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 0u);
  EXPECT_EQ(alarm.error().code(), vl::EC_ALREADY_IN_PROGRESS);
  EXPECT_FALSE(alarm.has_soft());
  // A scan of nothing is answered by the daemon, with an empty report; after a
  // cure no more data may come.
  bk::ScanOptions cure;
  cure.set_cure(true);
  end->scan(0, cure);
  message_t response = next(*end);
  EXPECT_EQ(response.tag(), message_t::SCAN_RESPONSE);
  EXPECT_TRUE(response.scan_report().has_object());
  EXPECT_EQ(response.scan_report().object(), "");
  end->chunk(0, "late");
  EXPECT_EQ(next(*end).error().what(), "Data chunk after cure: Protocol violation");

  // Reading back while a cure is still running.
  const std::string data = pattern(2 * 1024 * 1024, 6);
  end->submit(1, data, cure);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 1);
  EXPECT_EQ(next(*end).error().what(), "GET_DATA while curing: Protocol violation");
  // A second read-back before the first is complete, and a cure during one.
  engine->options().delay = milliseconds(0);
  end->submit(2, data);
  end->submit(3, data);
  EXPECT_EQ(answers(*end, 2).size(), 2u);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 2);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 2);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 3);
  end->scan(3, cure);
  std::map<uint32_t, std::string> texts;
  while (texts.size() < 2 && !end->ended) {
    const message_t message = next(*end);
    if (message.tag() == message_t::ALARM) texts[message.job_id()] = message.error().what();
  }
  EXPECT_EQ(texts[2], "Previous GET_DATA request is not finished: Protocol violation");
  EXPECT_EQ(texts[3], "Request to cure while GET_DATA is not finished: Protocol violation");
}

TEST_F(ClientTest, WithoutEngineOrPeersJobsFailOrSoftClientsKeepTheirData) {
  ASSERT_NO_FATAL_FAILURE(start(false));
  auto end = connect_tcp();
  end->send(bk::ClientMessage::INIT, 1);
  end->chunk(1, "data");
  message_t alarm = next(*end);
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No facilities available to process the job");
  EXPECT_FALSE(alarm.has_soft());
  // The identifier is free again: a scan for it gets no answer, a new INIT works.
  end->scan(1);
  end->send(bk::ClientMessage::INIT, 1);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 1);
  message_t response = next(*end);
  EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.data_size(), 0u);

  // A soft client's job stays with its data, which reads back in pieces.
  auto soft = connect_tcp(true, true);
  soft->send(bk::ClientMessage::INIT, 4);
  const std::string data = pattern(200300, 3);
  soft->chunk(4, data);
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(soft->read_back(daemon.io(), 4), data);
  soft->scan(4);
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().what(), "Scan is not allowed after soft error: Protocol violation");
  EXPECT_FALSE(alarm.has_soft());
}

TEST_F(ClientTest, AConnectionHoldsAtMostTheJobCapAndTheOthersAreServed) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto greedy = connect_unix(false);
  constexpr uint32_t kBeyond = 3;
  // Each job holds a spool file.
  for (uint32_t id = 1; id <= kConnectionJobLimit + kBeyond; ++id) {
    greedy->send(bk::ClientMessage::INIT, id);
    greedy->chunk(id, "x");
  }
  auto other = connect_unix(false);
  const std::string file = pattern(200000, 7);
  other->submit(1, file);
  const message_t answer = next(*other);
  ASSERT_EQ(answer.tag(), message_t::SCAN_RESPONSE) << answer.ShortDebugString();
  EXPECT_EQ(answer.scan_report().size(), file.size());
  other->send(bk::ClientMessage::RESET, 1);

  for (uint32_t id = kConnectionJobLimit + 1; id <= kConnectionJobLimit + kBeyond; ++id) {
    const message_t alarm = next(*greedy);
    EXPECT_EQ(alarm.tag(), message_t::ALARM) << alarm.ShortDebugString();
    EXPECT_EQ(alarm.job_id(), id);
    EXPECT_EQ(alarm.error().code(), vl::EC_NOT_READY);
    EXPECT_EQ(alarm.error().what(), "Too many open jobs on this connection (1024)");
  }
  // The connection goes on: a job that ends makes room for another.
  greedy->send(bk::ClientMessage::RESET, 1);
  greedy->submit(kConnectionJobLimit + kBeyond + 1, file);
  EXPECT_EQ(next(*greedy).tag(), message_t::SCAN_RESPONSE);
  // Every file goes with the connection.
  greedy->close();
}

TEST_F(ClientTest, ScanningClientProgramReportsAndCuresWithItsExitStatus) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string clean = dir / "clean.bin";
  const std::string bad = dir / "bad.bin";
  const std::string bad_data = infected(150000, 10);
  write_file(clean, pattern(150000, 11));
  write_file(bad, bad_data);
  const std::string unix_socket = dir / "brel.sock";
  std::string output;
  // The program runs on the daemon's loop, which serves the engine meanwhile.
  const auto tool = [&](const std::vector<std::string>& arguments) {
    marrod_harness_t program(BRELKIN_BINARY_DIR "/brel-scan", daemon.io());
    program.without_link();
    program.start(arguments);
    const int status = program.wait_exit(milliseconds(60000));
    output = program.output();
    return status;
  };

  EXPECT_EQ(tool({"-u", unix_socket, clean}), 0) << output;
  EXPECT_EQ(output, clean + ": OK\n");
  EXPECT_EQ(tool({"-t", "127.0.0.1:" + std::to_string(port), "--hash", "sha256", clean, bad}), 1)
      << output;
  EXPECT_NE(output.find(bad + ": EICAR-Test-File FOUND (Known virus)\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("  SHA256: " + digest(bad_data, EVP_sha256())), std::string::npos);
  EXPECT_EQ(tool({"-u", unix_socket, "--cure", "-o", dir / "cured.bin", bad}), 1) << output;
  EXPECT_NE(output.find(bad + ": cured\n"), std::string::npos) << output;
  EXPECT_EQ(read_file(dir / "cured.bin"), cured(bad_data));
  EXPECT_EQ(tool({"-u", unix_socket, "--max-size", "1K", clean}), 0) << output;
  EXPECT_EQ(output, clean + ": SKIPPED (Object size limit reached)\n");
}

}  // namespace
