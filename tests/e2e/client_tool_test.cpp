// The scanning client program against a scripted stand-in for the daemon: what it
// sends (window, options, read-back, reset) and writes, and the exit status and
// report when a job fails, the connection is lost or the daemon misbehaves. Bad
// usage is in the command-line tests, scans and cures through the real daemon in
// the client tests.
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "schemas/brel_client_ipc.pb.h"
#include "tests/e2e/run_program.h"
#include "tests/support/file_text.h"
#include "tests/support/frame.h"
#include "tests/support/sample_data.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = boost::filesystem;
const std::string kClient = BRELKIN_BINARY_DIR "/brel-scan";
constexpr int kWaitSeconds = 20;

// One accepted connection, spoken to with blocking calls under a receive timeout.
struct connection_t {
  int fd;

  // False on end of file, a timeout or a frame that does not parse.
  bool read(bk::ClientMessage& message) {
    uint32_t length = 0;
    std::string body;
    if (!read_exact(&length, sizeof length)) return false;
    body.resize(length);
    return read_exact(body.data(), length) && message.ParseFromString(body);
  }
  bk::ClientMessage expect(bk::ClientMessage::ClientMessageTag tag) {
    bk::ClientMessage message;
    EXPECT_TRUE(read(message)) << "waiting for " << bk::ClientMessage::ClientMessageTag_Name(tag);
    EXPECT_EQ(message.tag(), tag) << message.ShortDebugString();
    return message;
  }
  // True when the client closes the connection without sending anything more.
  bool at_end() {
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
  }
  void send(bk::ServerMessage::ServerMessageTag tag, uint32_t job_id,
            const std::function<void(bk::ServerMessage&)>& fill = {}) {
    bk::ServerMessage message;
    message.set_tag(tag);
    if (tag != bk::ServerMessage::ADJUST_WINDOW) message.set_job_id(job_id);
    if (fill) fill(message);
    const std::string frame = frame_of(message.SerializeAsString());
    EXPECT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
  }
  void send_window(int32_t change) {
    send(bk::ServerMessage::ADJUST_WINDOW, 0, [&](auto& m) { m.set_window_change(change); });
  }
  void send_report(uint32_t job_id, const vl::ScanReport& report) {
    send(bk::ServerMessage::SCAN_RESPONSE, job_id,
         [&](auto& m) { *m.mutable_scan_report() = report; });
  }
  // Reads DATA_CHUNK messages of `job_id` until `size` bytes came, never more than
  // the window allows, granting `grant` more each time the window is used up.
  std::string receive_data(uint32_t job_id, std::size_t size, int64_t window, int32_t grant = 0) {
    std::string data;
    while (data.size() < size) {
      const auto chunk = expect(bk::ClientMessage::DATA_CHUNK);
      EXPECT_EQ(chunk.job_id(), job_id);
      if (!chunk.has_data()) break;
      data += chunk.data();
      window -= static_cast<int64_t>(chunk.data().size());
      EXPECT_GE(window, 0) << "the client overran its window";
      if (window == 0 && data.size() < size) {
        send_window(grant);
        window += grant;
      }
    }
    return data;
  }
  bool read_exact(void* buffer, std::size_t size) {
    for (char* at = static_cast<char*>(buffer); size > 0;) {
      const ssize_t n = ::recv(fd, at, size, 0);
      if (n <= 0) return false;
      at += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
};

// Listens on a temporary UNIX socket and runs `script` on the one connection it
// accepts, on its own thread.
class fake_daemon_t {
 public:
  explicit fake_daemon_t(std::function<void(connection_t&)> script) {
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listen_fd_, 4), 0);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd pending{listen_fd_, POLLIN, 0};
      if (::poll(&pending, 1, kWaitSeconds * 1000) != 1) return;
      connection_t connection{::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)};
      if (connection.fd < 0) return;
      timeval timeout{kWaitSeconds, 0};
      ::setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      script(connection);
      ::close(connection.fd);
    });
  }
  ~fake_daemon_t() {
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
  }
  // Runs the client against this daemon to its end.
  program_result_t run(std::vector<std::string> arguments, const std::string& input = "/dev/null") {
    arguments.insert(arguments.begin(), {kClient, "-u", path});
    auto result = run_program(arguments, input);
    thread_.join();
    return result;
  }

  temp_dir_t dir;
  const std::string path = dir / "brel.sock";

 private:
  int listen_fd_ = -1;
  std::thread thread_;
};

vl::ScanReport report(bool infected) {
  vl::ScanReport report;
  report.set_object("/spool/1111-2222-3333-4444");
  report.set_size(10);
  if (!infected) return report;
  vl::ScanReport* item = report.add_item();
  item->set_object("inner/payload.com");
  vl::Virus* virus = item->add_virus();
  virus->set_type(vl::SE_KNOWN_VIRUS);
  virus->set_name("EICAR-Test-File");
  return report;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ClientTool, StreamsWithinTheWindowSendsOptionsAndWritesTheCuredData) {
  temp_dir_t files;
  const std::string input = files / "infected.bin";
  const std::string output = files / "cured.bin";
  const std::string content = pattern(2500, 'a');
  const std::string cured = pattern(70000, 'c');
  write_file(input, content);
  std::string received;
  fake_daemon_t daemon([&](connection_t& c) {
    const auto hello = c.expect(bk::ClientMessage::HELLO);
    EXPECT_TRUE(hello.flow_control());
    EXPECT_EQ(hello.origin(), vl::APP_CONSOLE_SCANNER);
    EXPECT_GT(hello.origin_pid(), 0u);
    c.send_window(1000);
    const uint32_t job = c.expect(bk::ClientMessage::INIT).job_id();
    received = c.receive_data(job, content.size(), 1000, 1000);
    const auto scan = c.expect(bk::ClientMessage::SCAN_REQUEST);
    EXPECT_EQ(scan.job_id(), job);
    const auto& options = scan.scan_options();
    EXPECT_TRUE(options.has_cure() && options.cure());
    EXPECT_EQ(options.min_size_to_scan(), 1024u);
    EXPECT_EQ(options.max_size_to_scan(), 2u * 1024 * 1024);
    EXPECT_EQ(options.scan_timeout_ms(), 5000u);
    ASSERT_EQ(options.threat_hash_size(), 2);
    EXPECT_EQ(options.threat_hash(0), bk::SHA1);
    EXPECT_EQ(options.threat_hash(1), bk::SHA256);
    c.send(bk::ServerMessage::SCAN_RESPONSE, job, [](auto& m) {
      *m.mutable_scan_report() = report(true);
      m.mutable_scan_report()->set_cured(true);
      m.set_sha1(std::string(40, 'A'));
    });
    EXPECT_EQ(c.expect(bk::ClientMessage::GET_DATA_REQUEST).job_id(), job);
    c.send(bk::ServerMessage::GET_DATA_RESPONSE, job,
           [&](auto& m) { m.set_data_size(cured.size()); });
    for (std::size_t at = 0; at < cured.size(); at += 65535)
      c.send(bk::ServerMessage::DATA_CHUNK, job,
             [&](auto& m) { m.set_data(cured.substr(at, 65535)); });
    EXPECT_EQ(c.expect(bk::ClientMessage::RESET).job_id(), job);
    EXPECT_TRUE(c.at_end());
  });
  const auto result =
      daemon.run({"--chunk-size", "400", "--cure", "--hash", "SHA1,sha256", "--min-size", "1K",
                  "--max-size", "2M", "--timeout", "5000", "-o", output, input});
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_EQ(received, content);
  EXPECT_TRUE(
      contains(result.out, input + " > inner/payload.com: EICAR-Test-File FOUND (Known virus)\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out, input + ": cured\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "  SHA1: " + std::string(40, 'A') + "\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Data written to " + output)) << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(output), cured);
  // Only the input and the output remain: no partial file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(files.path()), {}), 2);
}

TEST(ClientTool, AlarmOrLostConnectionFailsOnlyItsJobsButAThreatWins) {
  temp_dir_t files;
  // An input that cannot be read is reported and the rest goes on.
  const std::vector<std::string> inputs = {
      files / "missing", files.path().string(), "-",
      files / "two",     files / "three",       files / "four"};
  for (const auto& input : {files / "one", inputs[3], inputs[4], inputs[5]}) {
    write_file(input, "12345");
  }
  fake_daemon_t daemon([&](connection_t& c) {
    EXPECT_FALSE(c.expect(bk::ClientMessage::HELLO).has_flow_control());
    const uint32_t first = c.expect(bk::ClientMessage::INIT).job_id();
    EXPECT_EQ(c.receive_data(first, 5, INT64_MAX), "12345");
    c.send(bk::ServerMessage::ALARM, first, [](auto& m) {
      m.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
      m.mutable_error()->set_what("No facilities available to process the job");
    });
    // The client may already have asked for the scan; the daemon ignores that.
    bk::ClientMessage next;
    ASSERT_TRUE(c.read(next));
    if (next.tag() == bk::ClientMessage::SCAN_REQUEST) next = c.expect(bk::ClientMessage::INIT);
    EXPECT_EQ(next.tag(), bk::ClientMessage::INIT);
    EXPECT_NE(next.job_id(), first);
    c.receive_data(next.job_id(), 5, INT64_MAX);
    // No option was given: the daemon's defaults apply.
    EXPECT_EQ(c.expect(bk::ClientMessage::SCAN_REQUEST).scan_options().ByteSizeLong(), 0u);
    c.send_report(next.job_id(), report(true));
    c.expect(bk::ClientMessage::RESET);
    c.expect(bk::ClientMessage::INIT);
    ::shutdown(c.fd, SHUT_RDWR);
  });
  std::vector<std::string> arguments = {"--json", "--no-flow-control"};
  arguments.insert(arguments.end(), inputs.begin(), inputs.end());
  const auto result = daemon.run(arguments, files / "one");
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  const std::vector<std::vector<std::string>> expected = {
      {"{\"file\":\"" + inputs[0] + "\",\"status\":\"error\"",
       "cannot open: No such file or directory"},
      {"{\"file\":\"" + inputs[1] + "\",\"status\":\"error\"", "cannot open: Is a directory"},
      {"{\"file\":\"stdin\",\"status\":\"error\"", "No facilities available to process the job",
       "\"code\":119"},
      {"{\"file\":\"" + inputs[3] +
           "\",\"status\":\"threat\",\"threats\":[{\"name\":\"EICAR-Test-File\",\"type\":"
           "\"Known virus\",\"object\":\"inner/payload.com\"}]",
       ",\"report\":{\"object\":"},
      {"{\"file\":\"" + inputs[4] + "\",\"status\":\"error\"", "the daemon closed the connection"},
      {"{\"file\":\"" + inputs[5] + "\"", "not scanned: the daemon closed the connection"}};
  std::istringstream lines(result.out);
  std::string line;
  for (const auto& parts : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << result.out;
    EXPECT_EQ(line.rfind(parts[0], 0), 0u) << line;
    for (const auto& part : parts) EXPECT_TRUE(contains(line, part)) << line;
  }
  EXPECT_FALSE(std::getline(lines, line));
}

TEST(ClientTool, DaemonFaultsAreReportedAndNothingPartialIsLeft) {
  temp_dir_t files;
  write_file(files / "input", "data");
  const std::string output = files / "out";
  fake_daemon_t overrun([&](connection_t& c) {
    c.expect(bk::ClientMessage::HELLO);
    c.send_window(100);
    const uint32_t job = c.expect(bk::ClientMessage::INIT).job_id();
    c.receive_data(job, 4, 100);
    c.expect(bk::ClientMessage::SCAN_REQUEST);
    c.send_report(job, report(false));
    c.expect(bk::ClientMessage::GET_DATA_REQUEST);
    c.send(bk::ServerMessage::GET_DATA_RESPONSE, job, [](auto& m) { m.set_data_size(2); });
    c.send(bk::ServerMessage::DATA_CHUNK, job, [](auto& m) { m.set_data("abc"); });
    c.expect(bk::ClientMessage::RESET);
  });
  const auto result = overrun.run({"-o", output, files / "input"});
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "ERROR: the daemon returned more data than it announced"))
      << result.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(files.path()), {}), 1);
}

}  // namespace
