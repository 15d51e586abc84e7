// The streams the message link runs on: UNIX and TCP sockets, and TLS over TCP.
// The link reads, writes and tests openness through what Asio gives every one of
// them (async_read_some, async_write, lowest_layer().is_open()), so one link code
// serves all three.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl/stream.hpp>

using cf_local_socket_t = boost::asio::local::stream_protocol::socket;
using cf_tcp_socket_t = boost::asio::ip::tcp::socket;
using cf_ssl_stream_t = boost::asio::ssl::stream<cf_tcp_socket_t>;
