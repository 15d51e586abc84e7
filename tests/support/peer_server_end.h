// A scripted peer server for tests of the peer client's end of a link.
//
// peer_server_end_t is the accepting instance's end of one loopback TCP peer link:
// a link end that keeps every BrelClient2ServerMessage and sends whatever
// BrelServer2ClientMessage the test writes (as protobuf text, required fields
// optional) or raw bytes (through send_raw). open_peer_link builds the whole link
// as the peer connector does: a listener on 127.0.0.1 port 0, a real plain peer
// connection to it, a real tie-out as its delegate, registered with the central
// object's cluster.
//
// Held by shared pointers (the test's and the outstanding reads and writes); close()
// ends it. Event loop only, on the test's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cluster/peer_connection.h"
#include "cluster/peer_tie_out.h"
#include "framework/basic_ipc_link.h"
#include "schemas/brel_brel_ipc.pb.h"
#include "tests/support/link_end.h"

class bk_inventory_t;

class peer_server_end_t : public link_end_t<cf_tcp_ipc_link_t, bk::BrelClient2ServerMessage> {
 public:
  explicit peer_server_end_t(std::uint32_t limit) : link_end_t(limit) {}
  // Starts reading on an accepted socket.
  static std::shared_ptr<peer_server_end_t> open(std::shared_ptr<cf_tcp_socket_t> socket) {
    return link_end_t::open<peer_server_end_t>(std::move(socket), kPeerLinkLimit);
  }

  // `text`: a BrelServer2ClientMessage in protobuf text form.
  void send(const std::string& text);
  // STATUS with version 1 and these figures.
  void status(uint32_t max_forks, uint32_t job_count, uint64_t bytes_in_queue);

  // The messages received so far, as short protobuf text.
  std::vector<std::string> texts() const;
};

struct peer_link_t {
  std::shared_ptr<peer_server_end_t> server;
  std::shared_ptr<bk_peer_connection_t> connection;
  // Also held by the cluster until the link ends.
  std::shared_ptr<bk_peer_tie_out_t> tie;
  // The peer's address as the tie-out sees it.
  bk_peer_connection_t::endpoint_t endpoint;
};

// Connects, accepts and builds the tie-out without running the event loop, so the
// tie-out's HELLO is still being written on return.
// REQUIRES: `inventory` holds its cluster and outlives the link.
peer_link_t open_peer_link(bk_inventory_t& inventory);
