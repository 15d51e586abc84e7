// The real daemon's client sockets, with the engine off and no peers: protocol order,
// the flow-control window, protocol errors, and what the daemon answers by itself.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

namespace asio = boost::asio;
namespace fs = boost::filesystem;
using message_t = bk::ServerMessage;

unsigned short free_port() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
  return probe.local_endpoint().port();
}

class ClientProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = free_port();
    vl::BrelConfig config = make_test_config(dir / "spool");
    config.set_local_socket(dir / "brel.sock");
    config.mutable_ip_socket()->set_address("127.0.0.1");
    config.mutable_ip_socket()->set_port(port);
    daemon.start();
    ASSERT_TRUE(daemon.answer_config(1, config)) << daemon.output();
    ASSERT_TRUE(daemon.wait_output("Server on 127.0.0.1:" + std::to_string(port) + " started"))
        << daemon.output();
  }
  void TearDown() override {
    // Every test leaves the spool directory as it found it.
    EXPECT_TRUE(fs::is_empty(dir / "spool"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 107) << daemon.output();
  }

  bool run(const std::function<bool()>& done) { return run_until(daemon.io(), done); }

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

  template <class End>
  void hello(End& end, bool flow_control, bool soft_error = false) {
    bk::ClientMessage message;
    message.set_tag(bk::ClientMessage::HELLO);
    message.set_origin(vl::APP_WEB_GATEWAY);
    message.set_origin_pid(77);
    if (flow_control) message.set_flow_control(true);
    if (soft_error) message.set_soft_error(true);
    end.send(message);
  }

  template <class End>
  void send_chunk(End& end, uint32_t job_id, const std::string& data) {
    bk::ClientMessage chunk = client_message(bk::ClientMessage::DATA_CHUNK, job_id);
    chunk.set_data(data);
    end.send(chunk);
  }

  template <class End>
  void expect_closed_silently(End& end) {
    EXPECT_TRUE(run([&] { return end.ended; })) << daemon.output();
    EXPECT_TRUE(end.messages.empty());
  }

  temp_dir_t dir;
  unsigned short port = 0;
  marrod_harness_t daemon{brelkin_program()};
};

TEST_F(ClientProtocolTest, WindowComesFirstOnBothSockets) {
  auto local = connect_unix();
  auto network = connect_tcp();
  hello(*local, true);
  hello(*network, true);
  for (message_t window : {next(*local), next(*network)}) {
    EXPECT_EQ(window.tag(), message_t::ADJUST_WINDOW);
    EXPECT_EQ(window.window_change(), 50331648);
    EXPECT_FALSE(window.has_job_id());
  }
  EXPECT_TRUE(daemon.wait_output("Local client 0x1: HELLO as Web gateway-77")) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Network client 0x1: HELLO as Web gateway-77"));
}

TEST_F(ClientProtocolTest, ProtocolErrorsEndOnlyTheirConnection) {
  {
    auto end = connect_unix();
    send_chunk(*end, 1, "early");
    expect_closed_silently(*end);
  }
  {
    auto end = connect_tcp();
    end->send_raw(std::string(4, '\0'));
    expect_closed_silently(*end);
  }
  {
    auto end = connect_unix();
    hello(*end, false);
    end->send(client_message(bk::ClientMessage::SCAN_REQUEST, 1));
    expect_closed_silently(*end);
  }
  {
    auto end = connect_tcp();
    end->send_raw(client_frame("\x08"));
    expect_closed_silently(*end);
  }
  EXPECT_TRUE(daemon.wait_output("DATA_CHUNK: Not identified")) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Error: Network client 0x1: IO: Invalid IPC message size"));
  EXPECT_TRUE(daemon.wait_output("Error: Local client 0x2: IPC: SCAN_REQUEST: Invalid argument"));
  EXPECT_TRUE(daemon.wait_output("Error: Network client 0x2: IPC: Invalid IPC message format"));
  // The daemon goes on serving.
  auto end = connect_unix();
  hello(*end, true);
  EXPECT_EQ(next(*end).tag(), message_t::ADJUST_WINDOW);
}

TEST_F(ClientProtocolTest, JobsAreAnsweredByTheDaemonWhereNoEngineIsNeeded) {
  auto end = connect_unix();
  hello(*end, false);
  end->send(client_message(bk::ClientMessage::INIT, 0));
  end->send(client_message(bk::ClientMessage::INIT, 0));
  message_t alarm = next(*end);
  EXPECT_EQ(alarm.tag(), message_t::ALARM);
  EXPECT_EQ(alarm.job_id(), 0u);
  EXPECT_EQ(alarm.error().code(), vl::EC_ALREADY_IN_PROGRESS);
  EXPECT_FALSE(alarm.has_soft());

  // A scan of nothing: the first job still answers, with an empty report.
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 0);
  scan.mutable_scan_options()->set_cure(true);
  end->send(scan);
  message_t response = next(*end);
  EXPECT_EQ(response.tag(), message_t::SCAN_RESPONSE);
  EXPECT_EQ(response.job_id(), 0u);
  EXPECT_TRUE(response.scan_report().has_object());
  EXPECT_EQ(response.scan_report().object(), "");
  EXPECT_FALSE(response.scan_report().has_error());
  // After a cure no more data may come.
  send_chunk(*end, 0, "late");
  alarm = next(*end);
  EXPECT_EQ(alarm.error().code(), vl::EC_PROTOCOL_VIOLATION);
  EXPECT_EQ(alarm.error().what(), "Data chunk after cure: Protocol violation");

  // The engine is off and there are no peers: nowhere to place a job.
  end->send(client_message(bk::ClientMessage::INIT, 1));
  send_chunk(*end, 1, "data");
  alarm = next(*end);
  EXPECT_EQ(alarm.job_id(), 1u);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_EQ(alarm.error().what(), "No facilities available to process the job");
  EXPECT_FALSE(alarm.has_soft());
  // The identifier is free again: a scan for it gets no answer, a new INIT works.
  end->send(scan);
  end->send(client_message(bk::ClientMessage::INIT, 1));
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 1));
  response = next(*end);
  EXPECT_EQ(response.tag(), message_t::GET_DATA_RESPONSE);
  EXPECT_EQ(response.data_size(), 0u);
}

TEST_F(ClientProtocolTest, SoftClientReadsItsUnplacedDataBackAndGetsItsWindowBack) {
  auto end = connect_tcp();
  hello(*end, true, true);
  EXPECT_EQ(next(*end).window_change(), 50331648);
  end->send(client_message(bk::ClientMessage::INIT, 4));
  std::string data;
  for (int i = 0; i < 200300; ++i) data += static_cast<char>(i * 31);
  send_chunk(*end, 4, data);
  message_t alarm = next(*end);
  EXPECT_EQ(alarm.error().code(), vl::EC_NO_SCAN_ENGINE);
  EXPECT_TRUE(alarm.soft());
  // The job stays with the client's data, which comes back in pieces a client takes.
  end->send(client_message(bk::ClientMessage::GET_DATA_REQUEST, 4));
  message_t response = next(*end);
  ASSERT_EQ(response.tag(), message_t::GET_DATA_RESPONSE) << response.ShortDebugString();
  EXPECT_EQ(response.data_size(), data.size());
  std::string back;
  while (back.size() < data.size()) {
    response = next(*end);
    ASSERT_EQ(response.tag(), message_t::DATA_CHUNK) << response.ShortDebugString();
    EXPECT_LE(response.data().size(), 65535u);
    back += response.data();
  }
  EXPECT_EQ(back, data);
  bk::ClientMessage scan = client_message(bk::ClientMessage::SCAN_REQUEST, 4);
  scan.mutable_scan_options();
  end->send(scan);
  alarm = next(*end);
  EXPECT_EQ(alarm.error().what(), "Scan is not allowed after soft error: Protocol violation");
  EXPECT_FALSE(alarm.has_soft());

  // Bytes of a job that ends count as stored: enough of them come back as a grant.
  end->send(client_message(bk::ClientMessage::INIT, 5));
  send_chunk(*end, 5, std::string(26000000, 'w'));
  end->send(client_message(bk::ClientMessage::RESET, 5));
  // The soft alarm, and one grant of everything stored so far (when the job gives
  // its bytes up is the job's business: at its alarm or at the reset).
  bool soft_alarm = false;
  int64_t granted = 0;
  while (!(soft_alarm && granted > 0)) {
    const message_t message = next(*end);
    ASSERT_TRUE(message.tag() == message_t::ALARM || message.tag() == message_t::ADJUST_WINDOW)
        << message.ShortDebugString();
    if (message.tag() == message_t::ALARM) soft_alarm = message.soft();
    if (message.tag() == message_t::ADJUST_WINDOW) granted += message.window_change();
  }
  EXPECT_EQ(granted, 26000000 + 200300);
}

TEST_F(ClientProtocolTest, DisconnectEndsTheClientsJobs) {
  auto end = connect_unix();
  hello(*end, false, true);
  end->send(client_message(bk::ClientMessage::INIT, 8));
  send_chunk(*end, 8, "kept");
  EXPECT_TRUE(next(*end).soft());
  end->close();
  EXPECT_TRUE(daemon.wait_output("Local client 0x1: Disconnected")) << daemon.output();
  EXPECT_TRUE(daemon.wait_output("Local client 0x1: Destroyed"));
}

}  // namespace
