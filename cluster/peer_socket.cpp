#include "cluster/peer_socket.h"

#include <boost/lexical_cast.hpp>

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
  return boost::lexical_cast<std::string>(endpoint);
}

void set_no_delay(boost::asio::ip::tcp::socket& socket) noexcept {
  boost::system::error_code ignored;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}
