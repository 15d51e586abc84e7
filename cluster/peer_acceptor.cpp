#include "cluster/peer_acceptor.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster.h"
#include "cluster/cluster_inventory.h"
#include "cluster/peer_connection.h"
#include "cluster/peer_socket.h"
#include "cluster/peer_tie_in.h"
#include "framework/accept_error.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"

namespace {

constexpr int kBacklog = 128;

}  // namespace

bk_peer_acceptor_t::bk_peer_acceptor_t(bk_cluster_inventory_t& inventory)
    : inventory_(inventory), acceptor_(inventory.io_context), retry_timer_(inventory.io_context) {}

bk_peer_acceptor_t::~bk_peer_acceptor_t() {
  close_listener();
}

std::optional<bk_peer_acceptor_t::endpoint_t> bk_peer_acceptor_t::listener_endpoint(
    const vl::BrelConfig& config) {
  if (config.internal_only()) return std::nullopt;
  const vl::IPSocket& socket = config.load_balance_server_socket();
  if (socket.address().empty()) return std::nullopt;
  // A port beyond 16 bits would otherwise be cut to another, existing one.
  if (socket.port() > 65535) {
    throw std::out_of_range("Port " + std::to_string(socket.port()) + " of " + socket.address() +
                            " is out of range");
  }
  const boost::asio::ip::address address =
      socket.address() == "*" ? boost::asio::ip::address(boost::asio::ip::address_v4::any())
                              : boost::asio::ip::make_address(socket.address());
  return endpoint_t(address, static_cast<unsigned short>(socket.port()));
}

std::optional<bk_peer_acceptor_t::endpoint_t> bk_peer_acceptor_t::local_endpoint() const {
  if (!acceptor_.is_open()) return std::nullopt;
  boost::system::error_code error;
  const endpoint_t bound = acceptor_.local_endpoint(error);
  if (error) return std::nullopt;
  return bound;
}

// ---------------------------------------------------------------------------
// Configuration

void bk_peer_acceptor_t::start(const vl::BrelConfig& config) {
  internal_only_ = config.internal_only();
  endpoint_ = listener_endpoint(config);
  if (!ssl_settings_ || ssl_settings_->differs(config)) {
    ssl_settings_ = std::make_unique<bk_ssl_settings_t>(config);
  }
  if (!endpoint_) return;
  // Settings kept from a configuration without a listener were never prepared;
  // a listener that turns TLS on needs its context whatever came before.
  if (ssl_settings_->use_ssl() && !ssl_settings_->prepared()) ssl_settings_->prepare();

  const boost::asio::ip::address& address = endpoint_->address();
  if (!address.is_v4() && !address.is_v6()) throw std::runtime_error("Not supported protocol");
  try {
    boost::system::error_code error;
    acceptor_.open(endpoint_->protocol(), error);
    throw_if_failed(error, "open");
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), error);
    throw_if_failed(error, "set_option");
    acceptor_.bind(*endpoint_, error);
    throw_if_failed(error, "bind");
    acceptor_.listen(kBacklog, error);
    throw_if_failed(error, "listen");
  } catch (...) {
    close_listener();
    throw;
  }
  // The bound endpoint: a configured port 0 shows the port the system chose.
  CF_LOG(kLogInfo,
         "Peer acceptor on " + endpoint_text(local_endpoint().value_or(*endpoint_)) + " started");
  accept_any();
}

void bk_peer_acceptor_t::reconfigure(const vl::BrelConfig& config) {
  if (config.internal_only() != internal_only_) {
    internal_only_ = config.internal_only();
    if (internal_only_) {
      close_listener();
      endpoint_.reset();
      return;
    }
    start(config);
    return;
  }
  const std::optional<endpoint_t> wanted = listener_endpoint(config);
  bool restart = wanted.has_value() != endpoint_.has_value() || (wanted && *wanted != *endpoint_);
  // Without a listener a TLS change does not matter.
  if (!restart && wanted) restart = !ssl_settings_ || ssl_settings_->differs(config);
  if (!restart) return;
  close_listener();
  start(config);
}

void bk_peer_acceptor_t::close_listener() {
  boost::system::error_code ignored;
  // A pending accept completes as cancelled; a pending retry is dropped, so the
  // next start is the only one accepting.
  retry_timer_.cancel();
  ++listener_count_;
  acceptor_.close(ignored);
}

// ---------------------------------------------------------------------------
// Accepting

void bk_peer_acceptor_t::accept_any() {
  if (ssl_settings_ && ssl_settings_->use_ssl()) {
    accept_next_ssl();
  } else {
    accept_next();
  }
}

void bk_peer_acceptor_t::on_accept_error(const boost::system::error_code& error) {
  handle_accept_error(
      error, "Peer acceptor", [&] { retry_accept(error); }, [&] { accept_any(); });
}

void bk_peer_acceptor_t::retry_accept(const boost::system::error_code& error) {
  // Out of descriptors or buffers passes; the listener must not end the daemon.
  CF_LOG(kLogError, "Peer acceptor: " + error.message());
  retry_timer_.expires_after(accept_retry_delay_);
  retry_timer_.async_wait(
      [weak = weak_from_this(), listener = listener_count_](const boost::system::error_code& e) {
        const std::shared_ptr<bk_peer_acceptor_t> self = weak.lock();
        // Our own cancel: the listener was closed or restarted.
        if (!self || e == boost::asio::error::operation_aborted) return;
        // A wait that had already expired when the listener was restarted: the new
        // listener accepts by itself.
        if (listener != self->listener_count_ || !self->acceptor_.is_open()) return;
        self->accept_any();
      });
}

std::optional<boost::system::error_code> bk_peer_acceptor_t::take_injected_accept_error() {
  return std::exchange(injected_accept_error_, std::nullopt);
}

void bk_peer_acceptor_t::accept_next() {
  auto socket = std::make_shared<cf_tcp_socket_t>(inventory_.io_context);
  auto done = [weak = weak_from_this(), socket](const boost::system::error_code& error) {
    if (const auto self = weak.lock()) self->on_accept(error, socket);
  };
  if (const auto injected = take_injected_accept_error()) {
    boost::asio::post(inventory_.io_context, [done, error = *injected] { done(error); });
    return;
  }
  acceptor_.async_accept(*socket, done);
}

void bk_peer_acceptor_t::on_accept(const boost::system::error_code& error,
                                   const std::shared_ptr<cf_tcp_socket_t>& socket) {
  // The listener was closed (reconfiguration or destruction).
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    on_accept_error(error);
    return;
  }
  accept_next();
  boost::system::error_code lookup;
  const endpoint_t peer = socket->remote_endpoint(lookup);
  // The peer went before it could be looked at; only this connection is lost.
  if (lookup) {
    CF_LOG(kLogWarning, "Peer acceptor: remote_endpoint: " + lookup.message());
    return;
  }
  const std::string peer_text = endpoint_text(peer);
  bk_cluster_t& cluster = *inventory_.cluster;
  if (!cluster.is_allowed(peer)) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + " is not allowed");
    return;
  }
  if (cluster.is_peer_in_connected(peer)) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + " has already established");
    return;
  }
  CF_LOG(kLogDebug, "Accepted connection from " + peer_text);
  set_no_delay(*socket);
  const auto connection = std::make_shared<bk_peer_connection_plain_t>(inventory_);
  try {
    connection->start(socket);
  } catch (const std::exception& e) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + ": " + exception_text(e));
    return;
  }
  register_tie(connection);
}

void bk_peer_acceptor_t::accept_next_ssl() {
  auto stream = std::make_shared<cf_ssl_stream_t>(inventory_.io_context, ssl_settings_->context());
  auto done = [weak = weak_from_this(), stream](const boost::system::error_code& error) {
    if (const auto self = weak.lock()) self->on_accept_ssl(error, stream);
  };
  if (const auto injected = take_injected_accept_error()) {
    boost::asio::post(inventory_.io_context, [done, error = *injected] { done(error); });
    return;
  }
  acceptor_.async_accept(stream->next_layer(), done);
}

void bk_peer_acceptor_t::on_accept_ssl(const boost::system::error_code& error,
                                       const std::shared_ptr<cf_ssl_stream_t>& stream) {
  // The listener was closed (reconfiguration or destruction).
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    on_accept_error(error);
    return;
  }
  accept_next_ssl();
  boost::system::error_code lookup;
  const endpoint_t peer = stream->next_layer().remote_endpoint(lookup);
  // The peer went before it could be looked at; only this connection is lost.
  if (lookup) {
    CF_LOG(kLogWarning, "Peer acceptor: remote_endpoint: " + lookup.message());
    return;
  }
  if (!inventory_.cluster->is_allowed(peer)) {
    CF_LOG(kLogWarning, "Connection from " + endpoint_text(peer) + " is not allowed");
    return;
  }
  try {
    bk_ssl_handshake(
        stream, boost::asio::ssl::stream_base::server,
        [weak = weak_from_this(), stream, peer](const std::exception_ptr& failure) {
          if (const auto self = weak.lock()) self->on_handshake(failure, stream, peer);
        },
        handshake_timeout_);
  } catch (const std::exception& e) {
    CF_LOG(kLogWarning,
           "SSL handshake with " + endpoint_text(peer) + " failed: " + exception_text(e));
  }
}

void bk_peer_acceptor_t::on_handshake(const std::exception_ptr& failure,
                                      const std::shared_ptr<cf_ssl_stream_t>& stream,
                                      const endpoint_t& peer) {
  // Our own cancel.
  if (failure && exception_ptr_to_error_code(failure) == boost::asio::error::operation_aborted) {
    return;
  }
  // The address read before the handshake: a stream that failed may be closed by now.
  const std::string peer_text = endpoint_text(peer);
  if (failure) {
    CF_LOG(kLogWarning,
           "SSL handshake with " + peer_text + " failed: " + exception_ptr_text(failure));
    return;
  }
  bk_cluster_t& cluster = *inventory_.cluster;
  if (cluster.is_peer_in_connected(peer)) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + " has already established");
    return;
  }
  // The allowed addresses may have changed during the handshake.
  if (!cluster.is_allowed(peer)) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + " is not allowed");
    return;
  }
  CF_LOG(kLogDebug, "Accepted SSL-connection from " + peer_text);
  set_no_delay(stream->next_layer());
  const auto connection = std::make_shared<bk_peer_connection_ssl_t>(inventory_);
  try {
    connection->start(stream);
  } catch (const std::exception& e) {
    CF_LOG(kLogWarning, "Connection from " + peer_text + ": " + exception_text(e));
    return;
  }
  register_tie(connection);
}

void bk_peer_acceptor_t::register_tie(const std::shared_ptr<bk_peer_connection_t>& connection) {
  // Delegate and registration before returning to the event loop, so no event of
  // the link can find the connection without its tie.
  const std::shared_ptr<bk_peer_tie_in_t> tie = bk_peer_tie_in_t::create(inventory_, connection);
  connection->set_delegate(tie.get());
  inventory_.cluster->on_peer_in_connected(tie);
}
