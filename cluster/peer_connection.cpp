#include "cluster/peer_connection.h"

#include <string>
#include <type_traits>

#include <boost/asio/ssl/error.hpp>
#include <boost/system/system_error.hpp>

#include "framework/log.h"

void bk_peer_connection_t::close_quietly(const std::string& owner) noexcept {
  try {
    close();
  } catch (const std::exception& e) {
    try {
      CF_LOG(kLogError, owner + ": " + e.what());
    } catch (...) {
      log_out_of_memory();
    }
  }
}

template <class Stream>
bk_basic_peer_connection_t<Stream>::bk_basic_peer_connection_t(bk_cluster_inventory_t& inventory)
    : bk_peer_connection_t(inventory), link_type(kPeerLinkLimit) {}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::start(std::shared_ptr<stream_type> stream) {
  // Read before the read loop starts: a peer already gone leaves nothing behind
  // that could report to a connection without a delegate.
  boost::system::error_code error;
  remote_endpoint_ = stream->lowest_layer().remote_endpoint(error);
  if (error) throw boost::system::system_error(error, "remote_endpoint");
  this->set_socket(std::move(stream));
  this->read_header();
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::send(const google::protobuf::MessageLite& message) {
  if (!is_open()) return;
  this->async_send_message(message);
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::close() {
  const auto& stream = this->socket();
  if (!stream) return;
  auto& socket = stream->lowest_layer();
  if (!socket.is_open()) return;
  boost::system::error_code error;
  socket.close(error);
  if (error) throw boost::system::system_error(error, "close");
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::on_message(
    google::protobuf::io::ZeroCopyInputStream& body) {
  delegate_->on_message(body);
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::on_error(const boost::system::error_code& code) {
  if constexpr (std::is_same_v<Stream, cf_ssl_stream_t>) {
    // The peer closed TCP without a TLS close notification: an ordinary disconnect.
    if (code == boost::asio::ssl::error::stream_truncated) {
      delegate_->on_error(boost::asio::error::eof);
      return;
    }
  }
  delegate_->on_error(code);
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::on_send_begin() {
  if (delegate_) delegate_->on_send_begin();
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::on_sent() {
  if (delegate_) delegate_->on_sent();
}

template <class Stream>
void bk_basic_peer_connection_t<Stream>::on_send_idle() {
  if (delegate_) delegate_->on_send_idle();
}

template class bk_basic_peer_connection_t<cf_tcp_socket_t>;
template class bk_basic_peer_connection_t<cf_ssl_stream_t>;
