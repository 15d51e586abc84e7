// Clients of the real daemon on its UNIX and TCP sockets: the protocol's order and
// errors, the flow-control window, what the daemon answers by itself, and whole
// scans through the stand-in engine (on the test's event loop) and, where asked,
// the stand-in cloud daemon (a process). Every test ends with an empty spool.
#include <openssl/evp.h>

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

#include "core/hash_values.h"
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

bool has_virus(const vl::ScanReport& report) {
  if (report.virus_size() > 0) return true;
  for (const auto& item : report.item())
    if (has_virus(item)) return true;
  return false;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    asio::ip::tcp::acceptor probe(daemon.io(), {asio::ip::address_v4::loopback(), 0});
    port = probe.local_endpoint().port();
    engine = stand_se_t::create(daemon.io(), dir / "se.sock");
  }
  void TearDown() override {
    // Every job's spooled file is gone once its client is.
    EXPECT_TRUE(run([&] { return !spool_has_files(); })) << daemon.output();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 107);
    engine->stop();
  }

  // Starts the daemon, with the engine installed unless `with_engine` is false.
  void start(bool with_engine = true, bool use_cloud = false) {
    vl::BrelConfig config = make_test_config(dir / "spool");
    config.set_local_socket(dir / "brel.sock");
    config.mutable_ip_socket()->set_address("127.0.0.1");
    config.mutable_ip_socket()->set_port(port);
    config.set_is_se_installed(with_engine);
    config.set_se_max_forks(4);
    config.set_use_cloud(use_cloud);
    daemon.start();
    ASSERT_TRUE(daemon.answer_config(1, config)) << daemon.output();
    ASSERT_TRUE(daemon.wait_output("Server on 127.0.0.1:" + std::to_string(port) + " started"))
        << daemon.output();
    if (with_engine) {
      ASSERT_TRUE(run([&] { return engine->connection_count() > 0; }));
    }
  }

  // Runs the daemon's side (and the engine) until `done`, answering the daemon's
  // requests for the neighbours' socket paths on the way.
  bool run(const std::function<bool()>& done, milliseconds timeout = milliseconds(20000)) {
    return run_until(
        daemon.io(),
        [&] {
          vl::Brel2MarrodMessage request;
          while (daemon.next(request, milliseconds(0))) {
            const bool se = request.tag() == vl::Brel2MarrodMessage::GET_SE_REQUEST;
            if (!se && request.tag() != vl::Brel2MarrodMessage::GET_LUMEND_REQUEST) continue;
            vl::Marrod2BrelMessage response;
            response.set_tag(se ? vl::Marrod2BrelMessage::GET_SE_RESPONSE
                                : vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE);
            response.set_socket_path(dir / (se ? "se.sock" : "lumend.sock"));
            daemon.send(response);
          }
          return done();
        },
        timeout);
  }

  std::shared_ptr<end_t> connect_unix() {
    return end_t::connect(daemon.io(), asio::local::stream_protocol::endpoint(dir / "brel.sock"));
  }
  std::shared_ptr<end_t> connect_tcp() {
    return end_t::connect(daemon.io(),
                          asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
  }

  message_t next(end_t& end) {
    EXPECT_TRUE(run([&] { return !end.messages.empty() || end.ended; })) << daemon.output();
    if (end.messages.empty()) return message_t();
    message_t message = end.messages.front();
    end.messages.pop_front();
    return message;
  }
  // The next message other than a window grant.
  message_t next_answer(end_t& end) {
    message_t message;
    do {
      message = next(end);
    } while (message.tag() == message_t::ADJUST_WINDOW);
    return message;
  }
  void expect_closed_silently(end_t& end) {
    EXPECT_TRUE(run([&] { return end.ended; })) << daemon.output();
    EXPECT_TRUE(end.messages.empty());
  }
  // GET_DATA, then every chunk; checks each is at most 65535 bytes.
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
      EXPECT_EQ(chunk.job_id(), job_id);
      EXPECT_LE(chunk.data().size(), 65535u);
      data += chunk.data();
    }
    EXPECT_EQ(data.size(), response.data_size());
    return data;
  }

  bool spool_has_files() { return fs::exists(dir / "spool") && !fs::is_empty(dir / "spool"); }

  temp_dir_t dir;
  unsigned short port = 0;
  marrod_harness_t daemon{brelkin_program()};
  std::shared_ptr<stand_se_t> engine;
};

TEST_F(ClientTest, ScansOverBothSocketsWithCureReadBackAndSizeLimits) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto local = connect_unix();
  auto network = connect_tcp();
  local->hello(true);
  network->hello(true);
  for (message_t window : {next(*local), next(*network)}) {
    EXPECT_EQ(window.tag(), message_t::ADJUST_WINDOW);
    EXPECT_EQ(window.window_change(), kWindow);
    EXPECT_FALSE(window.has_job_id());
  }
  EXPECT_TRUE(daemon.wait_output("Local client 0x1: HELLO as Web gateway-77")) << daemon.output();
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

  message_t response = next_answer(*local);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.job_id(), 1u);
  EXPECT_FALSE(has_virus(response.scan_report()));
  EXPECT_FALSE(response.scan_report().has_error());
  EXPECT_EQ(response.scan_report().size(), clean.size());
  EXPECT_EQ(response.sha1(), digest(clean, EVP_sha1()));
  EXPECT_EQ(response.sha256(), digest(clean, EVP_sha256()));
  std::map<uint32_t, message_t> answers;
  while (answers.size() < 2) {
    response = next_answer(*network);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
    answers[response.job_id()] = response;
  }
  ASSERT_EQ(answers[1].scan_report().virus_size(), 1);
  EXPECT_EQ(answers[1].scan_report().virus(0).name(), test_virus_name());
  EXPECT_FALSE(answers[1].has_sha256());
  EXPECT_TRUE(answers[2].scan_report().cured());

  // The data reads back as it was sent, or as cured, in chunks a client takes.
  EXPECT_EQ(read_back(*local, 1), clean);
  EXPECT_EQ(read_back(*network, 2), cured(bad));

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
    response = next_answer(*local);
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
  EXPECT_TRUE(run([&] { return !spool_has_files(); }));
}

TEST_F(ClientTest, WindowIsGrantedBackAsDataIsStored) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_tcp();
  end->hello(true);
  ASSERT_EQ(next(*end).window_change(), kWindow);
  // 40 MiB, within the first window: more than the grant threshold gets stored.
  const std::size_t size = 40 * 1024 * 1024;
  end->submit(1, pattern(size, 4), {}, 1024 * 1024);
  int64_t granted = 0;
  message_t message;
  for (message = next(*end); message.tag() == message_t::ADJUST_WINDOW; message = next(*end)) {
    EXPECT_GT(message.window_change(), kWindow / 2);
    granted += message.window_change();
  }
  EXPECT_EQ(message.tag(), message_t::SCAN_RESPONSE) << message.ShortDebugString();
  EXPECT_GT(granted, 0);
  EXPECT_LE(granted, static_cast<int64_t>(size));
  end->send(bk::ClientMessage::RESET, 1);
}

TEST_F(ClientTest, ProtocolErrorsEndOnlyTheirConnection) {
  ASSERT_NO_FATAL_FAILURE(start(false));
  {
    auto end = connect_unix();
    end->chunk(1, "before HELLO");
    expect_closed_silently(*end);
  }
  {
    auto end = connect_tcp();
    end->send_raw(std::string(4, '\0'));
    expect_closed_silently(*end);
  }
  {
    auto end = connect_unix();
    end->hello(false);
    end->send(bk::ClientMessage::SCAN_REQUEST, 1);  // no options
    expect_closed_silently(*end);
  }
  {
    auto end = connect_tcp();
    end->send_raw(frame_of("\x08"));
    expect_closed_silently(*end);
  }
  EXPECT_TRUE(daemon.wait_output("DATA_CHUNK: Not identified")) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Error: Network client 0x1: IO: Invalid IPC message size"));
  EXPECT_TRUE(daemon.wait_output("Error: Local client 0x2: IPC: SCAN_REQUEST: Invalid argument"));
  EXPECT_TRUE(daemon.wait_output("Error: Network client 0x2: IPC: Invalid IPC message format"));
  // The daemon goes on serving.
  auto end = connect_unix();
  end->hello(true);
  EXPECT_EQ(next(*end).tag(), message_t::ADJUST_WINDOW);
}

TEST_F(ClientTest, RequestsThatBreakAJobsRulesAreRefused) {
  engine->options().delay = milliseconds(300);
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_unix();
  end->hello(false);
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
  EXPECT_FALSE(response.scan_report().has_error());
  end->chunk(0, "late");
  alarm = next(*end);
  EXPECT_EQ(alarm.error().code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_EQ(alarm.error().what(), "Data chunk after cure: Protocol violation");

  // Reading back while a cure is still running.
  const std::string data = pattern(2 * 1024 * 1024, 6);
  end->submit(1, data, cure);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 1);
  alarm = next_answer(*end);
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.error().what(), "GET_DATA while curing: Protocol violation");
  // A second read-back before the first is complete, and a cure during one.
  engine->options().delay = milliseconds(0);
  end->submit(2, data);
  end->submit(3, data);
  EXPECT_EQ(next_answer(*end).tag(), message_t::SCAN_RESPONSE);
  EXPECT_EQ(next_answer(*end).tag(), message_t::SCAN_RESPONSE);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 2);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 2);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 3);
  end->scan(3, cure);
  std::map<uint32_t, std::string> texts;
  while (texts.size() < 2 && !end->ended) {
    const message_t message = next_answer(*end);
    if (message.tag() == message_t::ALARM) texts[message.job_id()] = message.error().what();
  }
  EXPECT_EQ(texts[2], "Previous GET_DATA request is not finished: Protocol violation");
  EXPECT_EQ(texts[3], "Request to cure while GET_DATA is not finished: Protocol violation");
}

TEST_F(ClientTest, WithoutEngineOrPeersJobsFailOrSoftClientsKeepTheirData) {
  ASSERT_NO_FATAL_FAILURE(start(false));
  auto end = connect_tcp();
  end->hello(true, false);
  EXPECT_EQ(next(*end).window_change(), kWindow);
  end->send(bk::ClientMessage::INIT, 1);
  end->chunk(1, "data");
  message_t alarm = next_answer(*end);
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No facilities available to process the job");
  EXPECT_FALSE(alarm.has_soft());
  // The identifier is free again: a scan for it gets no answer, a new INIT works.
  end->scan(1);
  end->send(bk::ClientMessage::INIT, 1);
  end->send(bk::ClientMessage::GET_DATA_REQUEST, 1);
  message_t response = next_answer(*end);
  EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE);
  EXPECT_EQ(response.data_size(), 0u);

  // A soft client's job stays with its data, which reads back in pieces.
  auto soft = connect_tcp();
  soft->hello(true, true);
  EXPECT_EQ(next(*soft).window_change(), kWindow);
  soft->send(bk::ClientMessage::INIT, 4);
  const std::string data = pattern(200300, 3);
  soft->chunk(4, data);
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_TRUE(alarm.soft());
  EXPECT_EQ(read_back(*soft, 4), data);
  soft->scan(4);
  alarm = next(*soft);
  EXPECT_EQ(alarm.error().what(), "Scan is not allowed after soft error: Protocol violation");
  EXPECT_FALSE(alarm.has_soft());
}

TEST_F(ClientTest, DisconnectMidJobRemovesItsSpooledFile) {
  engine->options().delay = milliseconds(10000);
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_tcp();
  end->hello(true);
  end->submit(1, pattern(500000, 7));
  ASSERT_TRUE(run([&] { return !engine->serials().empty(); })) << daemon.output();
  EXPECT_TRUE(spool_has_files());
  end->close();
  EXPECT_TRUE(run([&] { return !spool_has_files(); })) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Network client 0x1: Disconnected"));
  EXPECT_TRUE(daemon.wait_output("Network client 0x1: Destroyed"));
}

TEST_F(ClientTest, FiftyClientsAtOnceAllGetTheirOwnAnswers) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::vector<std::shared_ptr<end_t>> clients;
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA1);
  const auto data = [](unsigned i) {
    return i % 3 ? pattern(20000 + i * 1000, i) : infected(20000 + i * 1000, i);
  };
  for (unsigned i = 0; i < 50; ++i) {
    clients.push_back(i % 2 ? connect_tcp() : connect_unix());
    clients[i]->hello(true);
    clients[i]->submit(i, data(i), options, 8192);
  }
  for (unsigned i = 0; i < 50; ++i) {
    const message_t response = next_answer(*clients[i]);
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
  marrod_harness_t cloud(BRELKIN_BINARY_DIR "/stand-lumend");
  cloud.without_link();
  cloud.start({"--socket", dir / "lumend.sock", "--bad-digests", dir / "bad-digests"});
  ASSERT_TRUE(cloud.wait_output("listening on")) << cloud.output();
  // The engine takes its time; a cloud verdict of a threat answers first.
  engine->options().delay = milliseconds(500);
  ASSERT_NO_FATAL_FAILURE(start(true, true));
  auto end = connect_unix();
  end->hello(false);
  end->submit(1, known_bad);
  end->submit(2, pattern(30000, 9));
  std::map<uint32_t, message_t> answers;
  while (answers.size() < 2) {
    const message_t response = next_answer(*end);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
    answers[response.job_id()] = response;
  }
  ASSERT_TRUE(has_virus(answers[1].scan_report())) << answers[1].ShortDebugString();
  EXPECT_EQ(answers[1].scan_report().virus(0).name(), "Cloud.Known.Threat");
  EXPECT_TRUE(answers[1].scan_report().cloud());
  // With the cloud on, the SHA-1 is reported.
  EXPECT_EQ(answers[1].sha1(), digest(known_bad, EVP_sha1()));
  EXPECT_FALSE(has_virus(answers[2].scan_report()));
  end->send(bk::ClientMessage::RESET, 1);
  end->send(bk::ClientMessage::RESET, 2);
}

TEST_F(ClientTest, ScanningClientProgramReportsAndCures) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string clean = dir / "clean.bin";
  const std::string bad = dir / "bad.bin";
  const std::string bad_data = infected(150000, 10);
  write_file(clean, pattern(150000, 11));
  write_file(bad, bad_data);
  const std::string unix_socket = dir / "brel.sock";
  std::string output;
  // Runs the program to its end while the daemon's side keeps running.
  const auto tool = [&](const std::vector<std::string>& arguments) {
    marrod_harness_t program(BRELKIN_BINARY_DIR "/brel-scan");
    program.without_link();
    program.start(arguments);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (status < 0 && std::chrono::steady_clock::now() < deadline) {
      status = program.wait_exit(milliseconds(5));
      run([] { return false; }, milliseconds(5));
    }
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
