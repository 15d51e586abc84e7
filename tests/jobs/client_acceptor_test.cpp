// The client listeners inside a central object: endpoints from the configuration,
// the socket file, live reconfiguration, and an accept loop that survives running
// out of descriptors and tells a listener's faults from those of one connection.
#include "jobs/client_acceptor_set.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>

#include "framework/error.h"
#include "framework/log.h"
#include "jobs/client_acceptor.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/failure_of.h"
#include "tests/support/file_text.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/recording_log.h"
#include "tests/support/temp_dir.h"
#include "wiring/master_job_services.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;

class ClientAcceptorTest : public ::testing::Test {
 protected:
  bool run(const std::function<bool()>& done) { return fx.run_until(done); }

  // Says HELLO on a connected client socket and reads the window that proves a
  // client tie answers there.
  template <class Socket>
  void expect_tie_answers(Socket& socket) {
    // HELLO from pid 1 with flow control.
    asio::write(socket, asio::buffer(frame_of(std::string("\x08\x01\x10\x06\x18\x01\x38\x01", 8))));
    bool answered = false;
    std::vector<char> reply(64);
    socket.async_read_some(asio::buffer(reply),
                           [&](auto error, std::size_t n) { answered = !error && n > 4; });
    EXPECT_TRUE(run([&] { return answered; }));
  }

  // The bare error value the configuration apply sees, or EC_OK.
  vl::ErrorCode apply_error(const vl::BrelConfig& config) {
    try {
      set->apply(config);
    } catch (vl::ErrorCode code) {
      return code;
    }
    return vl::EC_OK;
  }

  // The port of the "Server on <address>:<port> started" line; 0 when none.
  unsigned short started_port(const std::string& address) {
    const std::string start = "Debug: Server on " + address + ":";
    const int at = log->index(start);
    if (at < 0) return 0;
    const std::string& line = log->lines[at];
    return static_cast<unsigned short>(std::stoi(line.substr(start.size())));
  }

  vl::BrelConfig unix_config(const std::string& path) {
    vl::BrelConfig config;
    config.set_local_socket(path);
    return config;
  }
  vl::BrelConfig ip_config(const std::string& address, unsigned port) {
    vl::BrelConfig config;
    config.mutable_ip_socket()->set_address(address);
    config.mutable_ip_socket()->set_port(port);
    return config;
  }

  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
  temp_dir_t dir;
  bk_inventory_fixture_t fx;
  std::unique_ptr<bk_client_acceptor_set_t> set = std::make_unique<bk_client_acceptor_set_t>(
      fx.inventory(), master_job_factory(fx.inventory()));
};

TEST_F(ClientAcceptorTest, UnixListenerReplacesAStaleSocketButNoOtherFileAndOutlivesEMFILE) {
  set->set_accept_retry_delay(std::chrono::milliseconds(20));
  const std::string path = dir / "brel.sock";
  // A socket left by an earlier run.
  { asio::local::stream_protocol::acceptor stale(fx.io(), path); }
  set->start(unix_config(path));
  EXPECT_TRUE(log->has("Debug: Server on \"" + path + "\" started"));
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0666u);
  asio::local::stream_protocol::socket client(fx.io());
  client.connect(path);
  ASSERT_TRUE(run_short_of_descriptors(*log, "Error: Server socket: accept: Too many open files",
                                       [this](auto done) { return run(done); }));
  // Once descriptors are free again the waiting client is taken.
  expect_tie_answers(client);

  // Dropping the setting closes the listener and removes its file; the connection
  // already made lives on.
  set->apply(vl::BrelConfig());
  EXPECT_TRUE(log->has("Debug: Server on \"" + path + "\" stopped"));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(client.is_open());

  const std::string precious = dir / "precious";
  write_file(precious, "keep me");
  try {
    set->apply(unix_config(precious));
    ADD_FAILURE() << "a regular file was taken for a socket";
  } catch (const boost::system::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("Not a socket: \"" + precious + "\""), std::string::npos)
        << e.what();
  }
  // The failed acceptor goes with its set; the file stays as it was.
  set.reset();
  EXPECT_EQ(read_file(precious), "keep me");
}

TEST_F(ClientAcceptorTest, RefusesEndpointsThatCannotBeListenedOn) {
  // 107 bytes fit in a socket address, 108 do not.
  std::string longest = dir.path().string() + "/";
  longest += std::string(107 - longest.size(), 's');
  const std::pair<vl::BrelConfig, std::string> refused[] = {
      {unix_config("sock"), "Path must be absolute: \"sock\""},
      {unix_config(""), "Path must be absolute: \"\""},
      {unix_config(longest + "x"), "File name too long: \"" + longest + "x\""},
      {ip_config("*", 4000), "*:4000"},
      {ip_config("", 4000), ":4000"},
      {ip_config("localhost", 4000), "localhost:4000"},
      {ip_config("[::1]", 4000), "[::1]:4000"},
  };
  for (const auto& [config, line] : refused) {
    EXPECT_EQ(apply_error(config), vl::EC_BAD_CONFIG) << line;
    EXPECT_TRUE(log->has("Error: Endpoint: ") && log->has(line)) << line;
  }
  EXPECT_THROW(set->apply(ip_config("127.0.0.1", 65536)), boost::bad_lexical_cast);
  EXPECT_EQ(apply_error(unix_config(longest)), vl::EC_OK);
  EXPECT_TRUE(fs::exists(longest));
  // A wildcard address listens everywhere.
  EXPECT_EQ(apply_error(ip_config("0.0.0.0", 0)), vl::EC_OK);
}

TEST_F(ClientAcceptorTest, TcpListenerFollowsTheConfiguration) {
  const std::string path = dir / "brel.sock";
  vl::BrelConfig config = ip_config("127.0.0.1", 0);
  config.set_local_socket(path);
  set->start(config);
  // Port 0: the line names the port the listener got.
  const unsigned short port = started_port("127.0.0.1");
  ASSERT_NE(port, 0);
  asio::ip::tcp::socket client(fx.io());
  client.connect({asio::ip::address_v4::loopback(), port});
  expect_tie_answers(client);

  // The same endpoints: both stay.
  const std::size_t lines = log->lines.size();
  set->apply(config);
  EXPECT_EQ(log->lines.size(), lines);

  // Another address: the old listener stops before the new one starts; UNIX untouched.
  config.mutable_ip_socket()->set_address("127.0.0.2");
  set->apply(config);
  const unsigned short other_port = started_port("127.0.0.2");
  ASSERT_GE(log->index("Server on 127.0.0.1:0 stopped"), 0);
  EXPECT_LT(log->index("Server on 127.0.0.1:0 stopped"),
            log->index("Server on 127.0.0.2:" + std::to_string(other_port) + " started"));
  EXPECT_FALSE(log->has("Server on \"" + path + "\" stopped"));

  // internal_only drops the TCP listener and keeps the UNIX one.
  config.set_internal_only(true);
  set->apply(config);
  asio::ip::tcp::socket refused(fx.io());
  boost::system::error_code error;
  refused.connect({asio::ip::make_address("127.0.0.2"), other_port}, error);
  EXPECT_TRUE(error);
  EXPECT_TRUE(fs::exists(path));
}

// One accept fails with `error`; what the acceptor does next depends on its kind.
struct accept_failure_t {
  const char* name;
  int error;
  enum outcome_t { after_pause, at_once, ends } outcome;
  const char* level;
};
// Names the case in gtest's messages.
void PrintTo(const accept_failure_t& failure, std::ostream* out) {
  *out << failure.name;
}

class ClientAcceptFailureTest : public ClientAcceptorTest,
                                public ::testing::WithParamInterface<accept_failure_t> {};

TEST_P(ClientAcceptFailureTest, ShortageWaitsLostConnectionDoesNotBrokenListenerEndsTheDaemon) {
  const accept_failure_t& failure = GetParam();
  const boost::system::error_code error(failure.error, boost::system::system_category());
  // Long enough to tell an accept after the pause from one at once.
  const auto pause = failure.outcome == accept_failure_t::at_once
                         ? std::chrono::steady_clock::duration(std::chrono::hours(1))
                         : std::chrono::milliseconds(100);
  set->set_accept_retry_delay(pause);
  set->fail_first_accept(error);
  const std::string path = dir / "brel.sock";
  const auto started = std::chrono::steady_clock::now();
  set->start(unix_config(path));
  asio::local::stream_protocol::socket client(fx.io());
  client.connect(path);

  if (failure.outcome == accept_failure_t::ends) {
    const std::exception_ptr thrown = failure_of([this] { run([] { return false; }); });
    ASSERT_TRUE(thrown) << "the failure did not leave the event loop";
    EXPECT_EQ(exception_ptr_text(thrown), "Server socket: accept: " + error.message());
    // What the daemon's exit status becomes.
    EXPECT_EQ(exception_ptr_to_error_enum(thrown), vl::EC_UNEXPECTED_ERROR);
    return;
  }
  // The client waiting in the queue is taken by the accept after the failed one.
  expect_tie_answers(client);
  EXPECT_TRUE(log->has(std::string(failure.level) + ": Server socket: accept: " + error.message()));
  if (failure.outcome == accept_failure_t::after_pause) {
    EXPECT_GE(std::chrono::steady_clock::now() - started, pause);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, ClientAcceptFailureTest,
    ::testing::Values(
        accept_failure_t{"NoBuffers", ENOBUFS, accept_failure_t::after_pause, "Error"},
        // A listener that says it every time must not spin the event loop.
        accept_failure_t{"InvalidArgument", EINVAL, accept_failure_t::after_pause, "Debug"},
        accept_failure_t{"ConnectionAborted", ECONNABORTED, accept_failure_t::at_once, "Debug"},
        accept_failure_t{"NotASocket", ENOTSOCK, accept_failure_t::ends, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
