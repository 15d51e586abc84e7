// Small helpers of the peer links' sockets shared by the acceptor, the connector and
// the ties: an endpoint as every log line and statistics key prints it, and the
// socket option every peer link runs with.
//
// Stateless; event loop only (the socket belongs to the caller).
#pragma once

#include <string>

#include <boost/asio/ip/tcp.hpp>

// "address:port", an IPv6 address in brackets, as boost.asio prints an endpoint.
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);

// A link's small messages (acknowledgements, STATUS, requests) must not wait for the
// peer's delayed acknowledgement of the previous segment. Best effort: a failure
// leaves the socket as it was.
void set_no_delay(boost::asio::ip::tcp::socket& socket) noexcept;
