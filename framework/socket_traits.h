// Socket traits: how the message link reads, writes and tests openness on one
// kind of stream. The link needs only these three verbs, so the same link code
// serves UNIX and TCP sockets and TLS streams over TCP.
//
// Stateless; every function is called on the stream's event loop. Reads complete
// as soon as some bytes have come (the link reads ahead and assembles frames itself);
// writes only when every byte is written (or on the first error).
#pragma once

#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

// Traits of a plain stream socket (UNIX or TCP).
template <class Socket>
struct basic_socket_traits {
  using stream_type = Socket;

  template <class Handler>
  static void async_read_some(stream_type& stream, const boost::asio::mutable_buffer& buffer,
                              Handler&& handler) {
    stream.async_read_some(buffer, std::forward<Handler>(handler));
  }

  template <class Handler>
  static void async_write_all(stream_type& stream, const boost::asio::const_buffer& buffer,
                              Handler&& handler) {
    boost::asio::async_write(stream, buffer, std::forward<Handler>(handler));
  }

  // True while the socket holds a descriptor.
  static bool is_open(const stream_type& stream) noexcept { return stream.is_open(); }
};

using cf_ssl_stream_t = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

// Traits of a TLS stream over TCP: data passes through the TLS layer, openness is
// that of the TCP socket beneath it (closing that socket ends the link).
struct bk_ssl_socket_traits {
  using stream_type = cf_ssl_stream_t;

  template <class Handler>
  static void async_read_some(stream_type& stream, const boost::asio::mutable_buffer& buffer,
                              Handler&& handler) {
    stream.async_read_some(buffer, std::forward<Handler>(handler));
  }

  template <class Handler>
  static void async_write_all(stream_type& stream, const boost::asio::const_buffer& buffer,
                              Handler&& handler) {
    boost::asio::async_write(stream, buffer, std::forward<Handler>(handler));
  }

  static bool is_open(const stream_type& stream) noexcept { return stream.next_layer().is_open(); }
};

using cf_local_socket_t = boost::asio::local::stream_protocol::socket;
using cf_tcp_socket_t = boost::asio::ip::tcp::socket;
using cf_local_socket_traits = basic_socket_traits<cf_local_socket_t>;
using cf_tcp_socket_traits = basic_socket_traits<cf_tcp_socket_t>;
