// Real daemons, each under its own configuration-daemon harness and all on one
// event loop with the stand-in engines of those that have one. Owned by a test
// fixture, on the test's thread. When the fixture goes, every daemon still running
// must have an empty spool and end on SIGTERM with the signal's status.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "schemas/brel_client_ipc.pb.h"
#include "tests/support/client_end.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"
#include "tests/support/sample_data.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

struct node_t {
  node_t(boost::asio::io_context& io, std::string dir)
      : dir(std::move(dir)), daemon(brelkin_program(), io) {}

  std::string path(const std::string& file) const { return dir + "/" + file; }
  std::string endpoint_text() const { return "127.0.0.1:" + std::to_string(peer_port); }
  bool spool_empty() const {
    namespace fs = boost::filesystem;
    return !fs::exists(path("spool")) || fs::is_empty(path("spool"));
  }

  const std::string dir;
  marrod_harness_t daemon;
  std::shared_ptr<stand_se_t> engine;
  vl::BrelConfig config;
  std::uint32_t revision = 1;
  unsigned short client_port = 0;
  unsigned short peer_port = 0;
  // From the latest application information; -1 before the first.
  int remote_forks = -1;
  bool killed = false;
};

class daemon_set_t {
 protected:
  using end_t = any_client_end_t;
  using message_t = bk::ServerMessage;

  ~daemon_set_t() {
    for (const auto& node : nodes) {
      if (node->killed) continue;
      EXPECT_TRUE(run([&] { return node->spool_empty(); })) << node->daemon.output();
      node->daemon.signal(SIGTERM);
      EXPECT_EQ(node->daemon.wait_exit(), 107) << node->daemon.output();
    }
    for (const auto& node : nodes)
      if (node->engine) node->engine->stop();
  }

  // Starts a daemon in its own directory, with a stand-in engine of 4 processes when
  // `with_engine`; `adjust` completes the configuration. Waits for the ports of the
  // sockets the configuration asks for and for the engine's first connection.
  node_t& start(const std::string& name, bool with_engine,
                const std::function<void(vl::BrelConfig&)>& adjust = {}) {
    boost::filesystem::create_directories(dir / name);
    nodes.push_back(std::make_unique<node_t>(io, dir / name));
    node_t& node = *nodes.back();
    if (with_engine) node.engine = stand_se_t::create(io, node.path("se.sock"));
    node.config = make_test_config(node.path("spool"));
    node.config.set_local_socket(node.path("brel.sock"));
    node.config.set_is_se_installed(with_engine);
    node.config.set_se_max_forks(with_engine ? 4 : 0);
    if (adjust) adjust(node.config);
    node.daemon.start();
    EXPECT_TRUE(node.daemon.answer_config(node.revision, node.config)) << node.daemon.output();
    node.daemon.serve_paths(node.path("se.sock"));
    if (node.config.has_ip_socket()) node.client_port = node.daemon.wait_port("Server");
    if (node.config.has_load_balance_server_socket())
      node.peer_port = node.daemon.wait_port("Peer acceptor");
    if (with_engine) {
      EXPECT_TRUE(run([&] { return node.engine->connection_count() > 0; }));
    }
    return node;
  }

  // Runs every daemon's side and every engine until `done`, keeping the daemons'
  // application information on the way and answering their requests for the cloud
  // daemon's path with "lumend.sock" in their own directory.
  bool run(const std::function<bool()>& done) {
    return run_until(
        io,
        [&] {
          for (const auto& node : nodes) {
            vl::Brel2MarrodMessage message;
            while (!node->killed && node->daemon.next(message, std::chrono::milliseconds(0))) {
              if (message.tag() == vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION)
                node->remote_forks = static_cast<int>(message.info().remote_se_forks());
              if (message.tag() == vl::Brel2MarrodMessage::GET_LUMEND_REQUEST) {
                vl::Marrod2BrelMessage response;
                response.set_tag(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE);
                response.set_socket_path(node->path("lumend.sock"));
                node->daemon.send(response);
              }
            }
          }
          return done();
        },
        std::chrono::milliseconds(60000));
  }
  bool wait_output(const node_t& node, const std::string& text) {
    return run([&] { return node.daemon.output().find(text) != std::string::npos; });
  }

  std::shared_ptr<end_t> connect(const node_t& node, bool tcp = false, bool flow_control = true) {
    namespace asio = boost::asio;
    auto end =
        tcp ? end_t::connect(
                  io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), node.client_port))
            : end_t::connect(io, asio::local::stream_protocol::endpoint(node.path("brel.sock")));
    end->hello(flow_control);
    return end;
  }

  boost::asio::io_context io;
  temp_dir_t dir;
  // Declared after io: harnesses and engines go first.
  std::vector<std::unique_ptr<node_t>> nodes;
};
