#include "tests/support/peer_server_end.h"

#include <boost/asio/ip/address_v4.hpp>

#include "cluster/cluster.h"
#include "tests/support/proto_text.h"
#include "wiring/inventory.h"

void peer_server_end_t::send(const std::string& text) {
  async_send_message(from_text<bk::BrelServer2ClientMessage>(text));
}

void peer_server_end_t::status(uint32_t max_forks, uint32_t job_count, uint64_t bytes_in_queue) {
  send("tag: STATUS job_id: 0 protocol_version: 1 server_status { max_forks: " +
       std::to_string(max_forks) + " job_count: " + std::to_string(job_count) +
       " bytes_in_queue: " + std::to_string(bytes_in_queue) + " }");
}

std::vector<std::string> peer_server_end_t::texts() const {
  std::vector<std::string> result;
  for (const auto& message : messages) result.push_back(message.ShortDebugString());
  return result;
}

peer_link_t open_peer_link(bk_inventory_t& inventory) {
  namespace ip = boost::asio::ip;
  ip::tcp::acceptor acceptor(inventory.io_context,
                             ip::tcp::endpoint(ip::address_v4::loopback(), 0));
  auto client = std::make_shared<cf_tcp_socket_t>(inventory.io_context);
  client->connect(acceptor.local_endpoint());
  auto accepted = std::make_shared<cf_tcp_socket_t>(inventory.io_context);
  acceptor.accept(*accepted);

  peer_link_t link;
  link.endpoint = acceptor.local_endpoint();
  link.server = peer_server_end_t::open(std::move(accepted));
  auto connection = std::make_shared<bk_peer_connection_plain_t>(inventory);
  connection->start(std::move(client));
  link.connection = connection;
  link.tie = bk_peer_tie_out_t::create(inventory, connection);
  connection->set_delegate(link.tie.get());
  inventory.cluster->on_peer_out_connected(link.tie);
  return link;
}
