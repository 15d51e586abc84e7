// The scanning client program against a scripted stand-in for the daemon: what it
// sends (window, options, read-back, reset), what it prints and its exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kClient = BRELKIN_BINARY_DIR "/brel-scan";
constexpr int kWaitMs = 20000;

// One accepted connection, spoken to with blocking calls under a receive timeout.
class fake_connection_t {
 public:
  explicit fake_connection_t(int fd) : fd_(fd) {}

  // False on end of file, a timeout or a frame that does not parse.
  bool read(bk::ClientMessage& message) {
    uint32_t length = 0;
    if (!read_exact(&length, sizeof length)) return false;
    std::string body(length, '\0');
    return read_exact(body.data(), length) && message.ParseFromString(body);
  }
  // Reads the next message and checks its tag.
  bk::ClientMessage expect(bk::ClientMessage::ClientMessageTag tag) {
    bk::ClientMessage message;
    EXPECT_TRUE(read(message)) << "waiting for " << bk::ClientMessage::ClientMessageTag_Name(tag);
    EXPECT_EQ(message.tag(), tag) << message.ShortDebugString();
    return message;
  }
  // True when the client closes the connection without sending anything more.
  bool at_end() {
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }
  void send(const bk::ServerMessage& message) {
    const std::string body = message.SerializeAsString();
    const uint32_t length = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += body;
    EXPECT_EQ(::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
  }
  void send_window(int32_t change) {
    bk::ServerMessage message;
    message.set_tag(bk::ServerMessage::ADJUST_WINDOW);
    message.set_window_change(change);
    send(message);
  }
  void send_report(uint32_t job_id, const vl::ScanReport& report) {
    bk::ServerMessage message;
    message.set_tag(bk::ServerMessage::SCAN_RESPONSE);
    message.set_job_id(job_id);
    *message.mutable_scan_report() = report;
    send(message);
  }
  // Reads DATA_CHUNK messages of `job_id` until `size` bytes came, never more than
  // the window allows, granting `grant` more each time the window is used up.
  std::string receive_data(uint32_t job_id, std::size_t size, int64_t window, int32_t grant) {
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
  void close() { ::shutdown(fd_, SHUT_RDWR); }

 private:
  bool read_exact(void* buffer, std::size_t size) {
    char* at = static_cast<char*>(buffer);
    while (size > 0) {
      const ssize_t n = ::recv(fd_, at, size, 0);
      if (n <= 0) return false;
      at += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  int fd_;
};

// Listens on a temporary UNIX socket and runs `script` on the one connection it
// accepts, on its own thread.
class fake_daemon_t {
 public:
  using script_t = std::function<void(fake_connection_t&)>;

  explicit fake_daemon_t(script_t script) : path_(dir_ / "brel.sock") {
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listen_fd_, 4), 0);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd pending{listen_fd_, POLLIN, 0};
      if (::poll(&pending, 1, kWaitMs) != 1) return;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      timeval timeout{kWaitMs / 1000, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      fake_connection_t connection(fd);
      script(connection);
      ::close(fd);
    });
  }
  ~fake_daemon_t() {
    join();
    ::close(listen_fd_);
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& path() const { return path_; }

 private:
  temp_dir_t dir_;
  std::string path_;
  int listen_fd_ = -1;
  std::thread thread_;
};

struct run_result_t {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the client to its end with `stdin_path` (or /dev/null) as its input.
run_result_t run_client(const std::vector<std::string>& arguments,
                        const std::string& stdin_path = "/dev/null") {
  std::vector<std::string> text{kClient};
  text.insert(text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : text) argv.push_back(word.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(stdin_path.c_str(), O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  run_result_t result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0 && ::poll(fds, 2, kWaitMs) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd < 0) continue;
    ADD_FAILURE() << "the client did not finish";
    ::kill(pid, SIGKILL);
    ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}

std::string pattern(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7 % 251);
  return data;
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

vl::ScanReport clean_report() {
  vl::ScanReport report;
  report.set_object("/spool/1111-2222-3333-4444");
  report.set_size(10);
  return report;
}

vl::ScanReport infected_report() {
  vl::ScanReport report = clean_report();
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

}  // namespace

TEST(ClientTool, StreamsWithinTheWindowAndPrintsACleanResult) {
  temp_dir_t files;
  const std::string input = files / "clean.bin";
  const std::string content = pattern(2500, 'a');
  write_file(input, content);
  std::string received;
  fake_daemon_t daemon([&](fake_connection_t& c) {
    const auto hello = c.expect(bk::ClientMessage::HELLO);
    EXPECT_TRUE(hello.flow_control());
    EXPECT_EQ(hello.origin(), vl::APP_CONSOLE_SCANNER);
    EXPECT_GT(hello.origin_pid(), 0u);
    c.send_window(1000);
    const auto init = c.expect(bk::ClientMessage::INIT);
    received = c.receive_data(init.job_id(), content.size(), 1000, 1000);
    const auto scan = c.expect(bk::ClientMessage::SCAN_REQUEST);
    EXPECT_EQ(scan.job_id(), init.job_id());
    // No option was given: the daemon's defaults apply.
    EXPECT_EQ(scan.scan_options().ByteSizeLong(), 0u);
    bk::ServerMessage response;
    response.set_tag(bk::ServerMessage::SCAN_RESPONSE);
    response.set_job_id(init.job_id());
    *response.mutable_scan_report() = clean_report();
    response.set_sha1(std::string(40, 'A'));
    c.send(response);
    EXPECT_EQ(c.expect(bk::ClientMessage::RESET).job_id(), init.job_id());
    EXPECT_TRUE(c.at_end());
  });
  const auto result = run_client({"--unix", daemon.path(), "--chunk-size", "400", input});
  daemon.join();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(received, content);
  EXPECT_EQ(result.out, input + ": OK\n  SHA1: " + std::string(40, 'A') + "\n");
  EXPECT_EQ(result.err, "");
}

TEST(ClientTool, SendsOptionsPrintsTheThreatAndWritesTheCuredData) {
  temp_dir_t files;
  const std::string input = files / "infected.bin";
  const std::string output = files / "cured.bin";
  write_file(input, pattern(3000, 'x'));
  const std::string cured = pattern(70000, 'c');
  fake_daemon_t daemon([&](fake_connection_t& c) {
    c.expect(bk::ClientMessage::HELLO);
    c.send_window(50331648);
    const auto init = c.expect(bk::ClientMessage::INIT);
    c.receive_data(init.job_id(), 3000, 50331648, 0);
    const auto scan = c.expect(bk::ClientMessage::SCAN_REQUEST);
    const auto& options = scan.scan_options();
    EXPECT_TRUE(options.has_cure() && options.cure());
    EXPECT_EQ(options.min_size_to_scan(), 1024u);
    EXPECT_EQ(options.max_size_to_scan(), 2u * 1024 * 1024);
    EXPECT_EQ(options.scan_timeout_ms(), 5000u);
    ASSERT_EQ(options.threat_hash_size(), 2);
    EXPECT_EQ(options.threat_hash(0), bk::SHA1);
    EXPECT_EQ(options.threat_hash(1), bk::SHA256);
    vl::ScanReport report = infected_report();
    report.set_cured(true);
    c.send_report(init.job_id(), report);
    EXPECT_EQ(c.expect(bk::ClientMessage::GET_DATA_REQUEST).job_id(), init.job_id());
    bk::ServerMessage message;
    message.set_tag(bk::ServerMessage::GET_DATA_RESPONSE);
    message.set_job_id(init.job_id());
    message.set_data_size(cured.size());
    c.send(message);
    message.clear_data_size();
    message.set_tag(bk::ServerMessage::DATA_CHUNK);
    for (std::size_t at = 0; at < cured.size(); at += 65535) {
      message.set_data(cured.substr(at, 65535));
      c.send(message);
    }
    EXPECT_EQ(c.expect(bk::ClientMessage::RESET).job_id(), init.job_id());
    EXPECT_TRUE(c.at_end());
  });
  const auto result =
      run_client({"-u", daemon.path(), "--cure", "--hash", "SHA1,sha256", "--min-size", "1K",
                  "--max-size", "2M", "--timeout", "5000", "-o", output, input});
  daemon.join();
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_TRUE(
      contains(result.out, input + " > inner/payload.com: EICAR-Test-File FOUND (Known virus)\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out, input + ": cured\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Data written to " + output)) << result.out;
  EXPECT_EQ(read_file(output), cured);
  // Only the input and the output remain: no partial file is left behind.
  EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(files.path()), {}), 2);
}

TEST(ClientTool, AlarmEndsOnlyItsJobAndIsAnError) {
  temp_dir_t files;
  write_file(files / "one", "first");
  write_file(files / "two", "second");
  fake_daemon_t daemon([&](fake_connection_t& c) {
    c.expect(bk::ClientMessage::HELLO);
    c.send_window(50331648);
    const auto first = c.expect(bk::ClientMessage::INIT);
    c.expect(bk::ClientMessage::DATA_CHUNK);
    bk::ServerMessage alarm;
    alarm.set_tag(bk::ServerMessage::ALARM);
    alarm.set_job_id(first.job_id());
    alarm.mutable_error()->set_code(vl::EC_NO_SCAN_ENGINE);
    alarm.mutable_error()->set_what("No facilities available to process the job");
    c.send(alarm);
    // The client may already have asked for the scan; the daemon ignores that.
    bk::ClientMessage next;
    ASSERT_TRUE(c.read(next));
    if (next.tag() == bk::ClientMessage::SCAN_REQUEST) next = c.expect(bk::ClientMessage::INIT);
    EXPECT_EQ(next.tag(), bk::ClientMessage::INIT);
    EXPECT_NE(next.job_id(), first.job_id());
    c.receive_data(next.job_id(), 6, 50331648, 0);
    c.expect(bk::ClientMessage::SCAN_REQUEST);
    c.send_report(next.job_id(), clean_report());
    c.expect(bk::ClientMessage::RESET);
    EXPECT_TRUE(c.at_end());
  });
  const auto result = run_client({"--unix", daemon.path(), files / "one", files / "two"});
  daemon.join();
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  EXPECT_EQ(result.out, files / "one" +
                            ": ERROR: No facilities available to process the job (ScanEngine is "
                            "not available, code 119)\n" +
                            files / "two" + ": OK\n");
}

TEST(ClientTool, LostConnectionFailsTheJobAndTheRestButThreatStillWins) {
  temp_dir_t files;
  write_file(files / "one", "first");
  write_file(files / "two", "second");
  write_file(files / "three", "third");
  fake_daemon_t daemon([&](fake_connection_t& c) {
    c.expect(bk::ClientMessage::HELLO);
    c.send_window(50331648);
    auto init = c.expect(bk::ClientMessage::INIT);
    c.receive_data(init.job_id(), 5, 50331648, 0);
    c.expect(bk::ClientMessage::SCAN_REQUEST);
    c.send_report(init.job_id(), infected_report());
    c.expect(bk::ClientMessage::RESET);
    c.expect(bk::ClientMessage::INIT);
    c.close();
  });
  const auto result = run_client(
      {"--json", "--unix", daemon.path(), files / "one", files / "two", files / "three"});
  daemon.join();
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  std::istringstream lines(result.out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(
      line.rfind(
          "{\"file\":\"" + files / "one" +
              "\",\"status\":\"threat\",\"threats\":[{\"name\":"
              "\"EICAR-Test-File\",\"type\":\"Known virus\",\"object\":\"inner/payload.com\"}]",
          0),
      0u)
      << line;
  EXPECT_TRUE(contains(line, ",\"report\":{\"object\":")) << line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_TRUE(contains(line, "\"status\":\"error\"")) << line;
  EXPECT_TRUE(contains(line, "the daemon closed the connection")) << line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_TRUE(contains(line, "not scanned: the daemon closed the connection")) << line;
  EXPECT_FALSE(std::getline(lines, line));
}

TEST(ClientTool, WithoutFlowControlStreamsStandardInputAtOnce) {
  temp_dir_t files;
  const std::string content = pattern(5000, '0');
  write_file(files / "input", content);
  fake_daemon_t daemon([&](fake_connection_t& c) {
    const auto hello = c.expect(bk::ClientMessage::HELLO);
    EXPECT_FALSE(hello.has_flow_control());
    const auto init = c.expect(bk::ClientMessage::INIT);
    EXPECT_EQ(c.receive_data(init.job_id(), content.size(), INT64_MAX, 0), content);
    c.expect(bk::ClientMessage::SCAN_REQUEST);
    vl::ScanReport report = clean_report();
    report.set_error(vl::SE_OBJECT_SIZE_LIMIT);
    c.send_report(init.job_id(), report);
    c.expect(bk::ClientMessage::RESET);
  });
  const auto result =
      run_client({"--no-flow-control", "--unix", daemon.path(), "-"}, files / "input");
  daemon.join();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "stdin: SKIPPED (Object size limit reached)\n");
}

TEST(ClientTool, DaemonFaultsAreReportedAndNothingPartialIsLeft) {
  temp_dir_t files;
  write_file(files / "input", "data");
  const std::string output = files / "out";
  // More read-back data than announced.
  {
    fake_daemon_t daemon([&](fake_connection_t& c) {
      c.expect(bk::ClientMessage::HELLO);
      c.send_window(100);
      const auto init = c.expect(bk::ClientMessage::INIT);
      c.receive_data(init.job_id(), 4, 100, 0);
      c.expect(bk::ClientMessage::SCAN_REQUEST);
      c.send_report(init.job_id(), clean_report());
      c.expect(bk::ClientMessage::GET_DATA_REQUEST);
      bk::ServerMessage message;
      message.set_tag(bk::ServerMessage::GET_DATA_RESPONSE);
      message.set_job_id(init.job_id());
      message.set_data_size(2);
      c.send(message);
      message.set_tag(bk::ServerMessage::DATA_CHUNK);
      message.set_data("abc");
      c.send(message);
      c.expect(bk::ClientMessage::RESET);
    });
    const auto result = run_client({"--unix", daemon.path(), "-o", output, files / "input"});
    daemon.join();
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "ERROR: the daemon returned more data than it announced"))
        << result.out;
    EXPECT_FALSE(boost::filesystem::exists(output));
    EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(files.path()), {}), 1);
  }
  // An answer for a job the client never opened.
  {
    fake_daemon_t daemon([&](fake_connection_t& c) {
      c.expect(bk::ClientMessage::HELLO);
      c.send_window(100);
      c.expect(bk::ClientMessage::INIT);
      c.send_report(777, clean_report());
      bk::ClientMessage ignored;
      while (c.read(ignored)) {
      }
    });
    const auto result = run_client({"--unix", daemon.path(), files / "input"});
    daemon.join();
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    EXPECT_TRUE(contains(result.out,
                         "ERROR: the daemon sent SCAN_RESPONSE for a job this client "
                         "does not have open"))
        << result.out;
  }
}

TEST(ClientTool, RefusesBadUsageAndUnreachableDaemons) {
  temp_dir_t files;
  write_file(files / "a", "a");
  struct case_t {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<case_t> cases = {
      {{files / "a"}, "give exactly one of --unix PATH and --tcp ADDRESS:PORT"},
      {{"-u", files / "no.sock", "-o", files / "o", files / "a", files / "a"},
       "--output takes the data of exactly one input"},
      {{"-u", files / "no.sock", "--min-size", "12Q", files / "a"}, "unknown unit"},
      {{"-u", files / "no.sock", "--hash", "md5", files / "a"}, "unknown digest \"md5\""},
      {{"-u", files / "no.sock", "--chunk-size", "0", files / "a"}, "--chunk-size"},
      {{"-u", files / "no.sock", "--bogus"}, "unrecognised option"},
      {{"-u", files / "no.sock", files / "a"}, "cannot connect to " + files / "no.sock"},
      {{"-t", "127.0.0.1", files / "a"}, "--tcp: expected ADDRESS:PORT"},
  };
  for (const auto& c : cases) {
    const auto result = run_client(c.arguments);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("brel-scan: ", 0), 0u) << result.err;
    EXPECT_TRUE(contains(result.err, c.message)) << result.err;
  }
  // An input that cannot be read is reported and the rest goes on.
  fake_daemon_t daemon([&](fake_connection_t& c) {
    c.expect(bk::ClientMessage::HELLO);
    c.send_window(100);
    const auto init = c.expect(bk::ClientMessage::INIT);
    c.receive_data(init.job_id(), 1, 100, 0);
    c.expect(bk::ClientMessage::SCAN_REQUEST);
    c.send_report(init.job_id(), clean_report());
    c.expect(bk::ClientMessage::RESET);
  });
  const auto result =
      run_client({"-u", daemon.path(), files / "missing", files.path().string(), files / "a"});
  daemon.join();
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, files / "missing" + ": ERROR: cannot open: No such file or directory\n" +
                            files.path().string() + ": ERROR: cannot open: Is a directory\n" +
                            files / "a" + ": OK\n");
}
