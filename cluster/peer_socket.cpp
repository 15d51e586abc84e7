#include "cluster/peer_socket.h"

#include <sstream>

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
  std::ostringstream text;
  text << endpoint;
  return text.str();
}

void set_no_delay(boost::asio::ip::tcp::socket& socket) noexcept {
  boost::system::error_code ignored;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}
