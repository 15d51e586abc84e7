// Whole scans through the real daemon: clients on its UNIX and TCP sockets, the
// stand-in engine on the test's event loop and, where asked, the stand-in cloud
// daemon as a process. Every test ends with an empty spool directory.
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
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using message_t = bk::ServerMessage;
using std::chrono::milliseconds;

unsigned short free_port() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
  return probe.local_endpoint().port();
}

std::string digest(const std::string& data, const EVP_MD* type) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), bytes, &size, type, nullptr);
  return digest_text(bytes, size);
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return data;
}

std::string infected(std::size_t size, unsigned seed) {
  std::string data = pattern(size, seed);
  data.insert(size / 2, test_virus_text());
  return data;
}

bool has_virus(const vl::ScanReport& report) {
  if (report.virus_size() > 0) return true;
  for (const auto& item : report.item()) {
    if (has_virus(item)) return true;
  }
  return false;
}

class ClientScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = free_port();
    engine = stand_se_t::create(daemon.io(), dir / "se.sock");
  }
  void TearDown() override {
    // Every job's spooled file is gone once its client is.
    EXPECT_TRUE(run([&] { return !fs::exists(spool()) || fs::is_empty(spool()); }));
    if (started_) {
      daemon.signal(SIGTERM);
      EXPECT_EQ(daemon.wait_exit(), 107);
    }
    engine->stop();
    if (cloud_) {
      cloud_->signal(SIGTERM);
      EXPECT_EQ(cloud_->wait_exit(), 0);
    }
  }

  std::string spool() const { return dir / "spool"; }

  // Starts the daemon with the engine installed; `adjust` changes the configuration.
  void start(const std::function<void(vl::BrelConfig&)>& adjust = {}) {
    vl::BrelConfig config = make_test_config(spool());
    config.set_local_socket(dir / "brel.sock");
    config.mutable_ip_socket()->set_address("127.0.0.1");
    config.mutable_ip_socket()->set_port(port);
    config.set_is_se_installed(true);
    config.set_se_max_forks(4);
    if (adjust) adjust(config);
    daemon.start();
    started_ = true;
    ASSERT_TRUE(daemon.answer_config(1, config)) << daemon.output();
    ASSERT_TRUE(run([&] { return engine->connection_count() > 0; })) << daemon.output();
  }

  // Starts the stand-in cloud daemon, which knows `bad` as a threat.
  void start_cloud(const std::string& bad) {
    const std::string list = dir / "bad-digests";
    std::ofstream(list) << digest(bad, EVP_sha1()) << "\n";
    cloud_ = std::make_unique<marrod_harness_t>(BRELKIN_BINARY_DIR "/stand-lumend");
    cloud_->without_link();
    cloud_->start({"--socket", dir / "lumend.sock", "--bad-digests", list});
    ASSERT_TRUE(cloud_->wait_output("listening on")) << cloud_->output();
  }

  // Runs the daemon's side (and the engine) until `done`, answering the daemon's
  // requests for the neighbours' socket paths on the way.
  bool run(const std::function<bool()>& done, milliseconds timeout = milliseconds(20000)) {
    return run_until(
        daemon.io(),
        [&] {
          answer_path_requests();
          return done();
        },
        timeout);
  }

  void answer_path_requests() {
    if (!started_) return;
    vl::Brel2MarrodMessage request;
    while (daemon.next(request, milliseconds(0))) {
      vl::Marrod2BrelMessage response;
      if (request.tag() == vl::Brel2MarrodMessage::GET_SE_REQUEST) {
        response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
        response.set_socket_path(dir / "se.sock");
      } else if (request.tag() == vl::Brel2MarrodMessage::GET_LUMEND_REQUEST) {
        response.set_tag(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE);
        response.set_socket_path(dir / "lumend.sock");
      } else {
        continue;
      }
      daemon.send(response);
    }
  }

  std::shared_ptr<local_client_end_t> connect_unix() {
    auto socket = std::make_shared<asio::local::stream_protocol::socket>(daemon.io());
    socket->connect(dir / "brel.sock");
    return local_client_end_t::open(socket);
  }
  std::shared_ptr<tcp_client_end_t> connect_tcp() {
    auto socket = std::make_shared<asio::ip::tcp::socket>(daemon.io());
    socket->connect({asio::ip::address_v4::loopback(), port});
    return tcp_client_end_t::open(socket);
  }

  template <class End>
  message_t next(End& end) {
    EXPECT_TRUE(run([&] { return !end.messages.empty() || end.ended; })) << daemon.output();
    if (end.messages.empty()) return message_t();
    message_t message = end.messages.front();
    end.messages.pop_front();
    return message;
  }
  // The next message other than a window grant.
  template <class End>
  message_t next_answer(End& end) {
    message_t message;
    do {
      message = next(end);
    } while (message.tag() == message_t::ADJUST_WINDOW);
    return message;
  }

  template <class End>
  void hello(End& end, bool flow_control) {
    bk::ClientMessage message;
    message.set_tag(bk::ClientMessage::HELLO);
    message.set_origin(vl::APP_FILE_MONITOR);
    message.set_origin_pid(99);
    if (flow_control) message.set_flow_control(true);
    end.send(message);
  }

  // INIT, the data in chunks of `chunk` bytes, and a scan with `options`.
  template <class End>
  void submit(End& end, uint32_t job_id, const std::string& data, const bk::ScanOptions& options,
              std::size_t chunk = 256 * 1024) {
    end.send(client_message(bk::ClientMessage::INIT, job_id));
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      bk::ClientMessage message = client_message(bk::ClientMessage::DATA_CHUNK, job_id);
      message.set_data(data.substr(at, chunk));
      end.send(message);
    }
    bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, job_id);
    *scan.mutable_scan_options() = options;
    end.send(scan);
  }

  // GET_DATA, then every chunk; checks each is at most 65535 bytes.
  template <class End>
  std::string read_back(End& end, uint32_t job_id) {
    end.send(client_message(bk::ClientMessage::GET_DATA_REQUEST, job_id));
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

  // Runs the scanning client to its end while the daemon's side keeps running;
  // returns its exit status and leaves its output in `tool_output`.
  int run_tool(const std::vector<std::string>& arguments) {
    marrod_harness_t tool(BRELKIN_BINARY_DIR "/brel-scan");
    tool.without_link();
    tool.start(arguments);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (status < 0 && std::chrono::steady_clock::now() < deadline) {
      status = tool.wait_exit(milliseconds(5));
      run([] { return false; }, milliseconds(5));
    }
    tool_output = tool.output();
    return status;
  }

  bool spool_has_files() { return fs::exists(spool()) && !fs::is_empty(spool()); }

  temp_dir_t dir;
  unsigned short port = 0;
  marrod_harness_t daemon{brelkin_program()};
  std::shared_ptr<stand_se_t> engine;
  std::string tool_output;

 private:
  bool started_ = false;
  std::unique_ptr<marrod_harness_t> cloud_;
};

TEST_F(ClientScanTest, CleanAndInfectedFilesOverBothSockets) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto local = connect_unix();
  auto network = connect_tcp();
  hello(*local, true);
  hello(*network, false);
  EXPECT_EQ(next(*local).tag(), message_t::ADJUST_WINDOW);
  const std::string clean = pattern(700000, 1);
  const std::string bad = infected(300000, 2);
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA1);
  options.add_threat_hash(bk::SHA256);
  submit(*local, 1, clean, options);
  submit(*network, 1, bad, bk::ScanOptions());

  message_t response = next_answer(*local);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.job_id(), 1u);
  EXPECT_FALSE(has_virus(response.scan_report()));
  EXPECT_FALSE(response.scan_report().has_error());
  EXPECT_EQ(response.scan_report().size(), clean.size());
  EXPECT_EQ(response.sha1(), digest(clean, EVP_sha1()));
  EXPECT_EQ(response.sha256(), digest(clean, EVP_sha256()));

  response = next_answer(*network);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  ASSERT_EQ(response.scan_report().virus_size(), 1);
  EXPECT_EQ(response.scan_report().virus(0).name(), test_virus_name());
  EXPECT_FALSE(response.has_sha256());

  // The data reads back as it was sent, in chunks a client takes.
  EXPECT_EQ(read_back(*local, 1), clean);
  local->send(client_message(bk::ClientMessage::RESET, 1));
  network->send(client_message(bk::ClientMessage::RESET, 1));
  EXPECT_TRUE(run([&] { return !spool_has_files(); }));
}

TEST_F(ClientScanTest, CureReturnsTheCuredBytes) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_unix();
  hello(*end, true);
  const std::string bad = infected(200000, 3);
  bk::ScanOptions cure;
  cure.set_cure(true);
  submit(*end, 7, bad, cure, 65536);
  const message_t response = next_answer(*end);
  ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
  EXPECT_TRUE(response.scan_report().cured());
  std::string expected = bad;
  expected.erase(expected.find(test_virus_text()), test_virus_text().size());
  EXPECT_EQ(read_back(*end, 7), expected);
  end->send(client_message(bk::ClientMessage::RESET, 7));
}

TEST_F(ClientScanTest, WindowIsGrantedBackAsDataIsStored) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_tcp();
  hello(*end, true);
  message_t window = next(*end);
  ASSERT_EQ(window.tag(), message_t::ADJUST_WINDOW);
  ASSERT_EQ(window.window_change(), 50331648);
  // 40 MiB, within the first window: more than the grant threshold gets stored.
  const std::size_t size = 40 * 1024 * 1024;
  submit(*end, 1, pattern(size, 4), bk::ScanOptions(), 1024 * 1024);
  int64_t granted = 0;
  message_t message;
  do {
    message = next(*end);
    if (message.tag() == message_t::ADJUST_WINDOW) {
      EXPECT_GT(message.window_change(), 25165824);
      granted += message.window_change();
    }
  } while (message.tag() == message_t::ADJUST_WINDOW);
  EXPECT_EQ(message.tag(), message_t::SCAN_RESPONSE) << message.ShortDebugString();
  EXPECT_GT(granted, 0);
  EXPECT_LE(granted, static_cast<int64_t>(size));
  end->send(client_message(bk::ClientMessage::RESET, 1));
}

TEST_F(ClientScanTest, SizeLimitsAreAnsweredByTheDaemon) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_unix();
  hello(*end, false);
  const std::string data = pattern(100, 5);
  end->send(client_message(bk::ClientMessage::INIT, 1));
  bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, 1);
  chunk.set_data(data);
  end->send(chunk);
  const std::vector<std::pair<uint64_t, uint64_t>> limits = {
      {101, UINT64_MAX}, {100, 100}, {0, 99}};
  for (const auto& [min, max] : limits) {
    bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 1);
    scan.mutable_scan_options()->set_min_size_to_scan(min);
    scan.mutable_scan_options()->set_max_size_to_scan(max);
    end->send(scan);
  }
  for (const auto& [min, max] : limits) {
    const message_t response = next_answer(*end);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << response.ShortDebugString();
    const bool within = data.size() >= min && data.size() <= max;
    EXPECT_EQ(response.scan_report().has_error(), !within) << min << ".." << max;
    if (!within) {
      EXPECT_EQ(response.scan_report().error(), vl::SE_OBJECT_SIZE_LIMIT);
    }
  }
  end->send(client_message(bk::ClientMessage::RESET, 1));
}

TEST_F(ClientScanTest, RequestsThatBreakAJobsRulesEndIt) {
  engine->options().delay = milliseconds(300);
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_unix();
  hello(*end, false);
  const std::string data = pattern(2 * 1024 * 1024, 6);
  bk::ScanOptions cure;
  cure.set_cure(true);
  // Reading back while a cure is still running.
  submit(*end, 1, data, cure);
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 1));
  message_t alarm = next_answer(*end);
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.error().what(), "GET_DATA while curing: Protocol violation");
  // A second read-back before the first is complete, and a cure during one.
  engine->options().delay = milliseconds(0);
  submit(*end, 2, data, bk::ScanOptions());
  submit(*end, 3, data, bk::ScanOptions());
  EXPECT_EQ(next_answer(*end).tag(), message_t::SCAN_RESPONSE);
  EXPECT_EQ(next_answer(*end).tag(), message_t::SCAN_RESPONSE);
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 2));
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 2));
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 3));
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 3);
  *scan.mutable_scan_options() = cure;
  end->send(scan);
  std::map<uint32_t, std::string> texts;
  while (texts.size() < 2) {
    const message_t message = next_answer(*end);
    if (message.tag() == message_t::ALARM) texts[message.job_id()] = message.error().what();
    if (end->ended) break;
  }
  EXPECT_EQ(texts[2], "Previous GET_DATA request is not finished: Protocol violation");
  EXPECT_EQ(texts[3], "Request to cure while GET_DATA is not finished: Protocol violation");
}

TEST_F(ClientScanTest, DisconnectMidJobRemovesItsSpooledFile) {
  engine->options().delay = milliseconds(10000);
  ASSERT_NO_FATAL_FAILURE(start());
  auto end = connect_tcp();
  hello(*end, true);
  submit(*end, 1, pattern(500000, 7), bk::ScanOptions());
  ASSERT_TRUE(run([&] { return !engine->serials().empty(); })) << daemon.output();
  EXPECT_TRUE(spool_has_files());
  end->close();
  EXPECT_TRUE(run([&] { return !spool_has_files(); })) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Network client 0x1: Destroyed"));
}

TEST_F(ClientScanTest, FiftyClientsAtOnceAllGetTheirOwnAnswers) {
  ASSERT_NO_FATAL_FAILURE(start());
  struct client_t {
    std::shared_ptr<local_client_end_t> local;
    std::shared_ptr<tcp_client_end_t> network;
    std::string data;
    bool bad;
  };
  std::vector<client_t> clients(50);
  bk::ScanOptions options;
  options.add_threat_hash(bk::SHA1);
  for (unsigned i = 0; i < clients.size(); ++i) {
    client_t& c = clients[i];
    c.bad = i % 3 == 0;
    c.data = c.bad ? infected(20000 + i * 1000, i) : pattern(20000 + i * 1000, i);
    if (i % 2) {
      c.network = connect_tcp();
      hello(*c.network, true);
      submit(*c.network, i, c.data, options, 8192);
    } else {
      c.local = connect_unix();
      hello(*c.local, true);
      submit(*c.local, i, c.data, options, 8192);
    }
  }
  for (unsigned i = 0; i < clients.size(); ++i) {
    client_t& c = clients[i];
    const message_t response = c.local ? next_answer(*c.local) : next_answer(*c.network);
    ASSERT_EQ(response.tag(), message_t::SCAN_RESPONSE) << i << " " << response.ShortDebugString();
    EXPECT_EQ(response.job_id(), i);
    EXPECT_EQ(has_virus(response.scan_report()), c.bad) << i;
    EXPECT_EQ(response.scan_report().size(), c.data.size()) << i;
    EXPECT_EQ(response.sha1(), digest(c.data, EVP_sha1())) << i;
    if (c.local) {
      c.local->close();
    } else {
      c.network->close();
    }
  }
}

TEST_F(ClientScanTest, CloudVerdictFindsWhatTheEngineDoesNot) {
  const std::string known_bad = pattern(30000, 8);
  ASSERT_NO_FATAL_FAILURE(start_cloud(known_bad));
  // The engine takes its time; a cloud verdict of a threat answers first.
  engine->options().delay = milliseconds(500);
  ASSERT_NO_FATAL_FAILURE(start([](vl::BrelConfig& config) { config.set_use_cloud(true); }));
  auto end = connect_unix();
  hello(*end, false);
  submit(*end, 1, known_bad, bk::ScanOptions());
  submit(*end, 2, pattern(30000, 9), bk::ScanOptions());
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
  end->send(client_message(bk::ClientMessage::RESET, 1));
  end->send(client_message(bk::ClientMessage::RESET, 2));
}

TEST_F(ClientScanTest, ScanningClientProgramReportsAndCures) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string clean = dir / "clean.bin";
  const std::string bad = dir / "bad.bin";
  const std::string cured = dir / "cured.bin";
  const std::string bad_data = infected(150000, 10);
  std::ofstream(clean, std::ios::binary) << pattern(150000, 11);
  std::ofstream(bad, std::ios::binary) << bad_data;
  const std::string unix_socket = dir / "brel.sock";
  const std::string tcp = "127.0.0.1:" + std::to_string(port);

  EXPECT_EQ(run_tool({"-u", unix_socket, clean}), 0) << tool_output;
  EXPECT_EQ(tool_output, clean + ": OK\n");

  EXPECT_EQ(run_tool({"-t", tcp, "--hash", "sha256", clean, bad}), 1) << tool_output;
  EXPECT_NE(tool_output.find(bad + ": EICAR-Test-File FOUND (Known virus)\n"), std::string::npos)
      << tool_output;
  EXPECT_NE(tool_output.find("  SHA256: " + digest(bad_data, EVP_sha256())), std::string::npos);

  EXPECT_EQ(run_tool({"-u", unix_socket, "--cure", "-o", cured, bad}), 1) << tool_output;
  EXPECT_NE(tool_output.find(bad + ": cured\n"), std::string::npos) << tool_output;
  std::string expected = bad_data;
  expected.erase(expected.find(test_virus_text()), test_virus_text().size());
  std::ifstream file(cured, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), expected);

  EXPECT_EQ(run_tool({"-u", unix_socket, "--max-size", "1K", clean}), 0) << tool_output;
  EXPECT_EQ(tool_output, clean + ": SKIPPED (Object size limit reached)\n");
}

}  // namespace
