#include "cluster/peer_connector.h"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster.h"
#include "cluster/cluster_inventory.h"
#include "cluster/peer_connection.h"
#include "cluster/peer_socket.h"
#include "cluster/peer_tie_out.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"

namespace {

using endpoint_t = bk_peer_connector_t::endpoint_t;

// Opens `socket` for `peer`'s family and binds it to `source` when one is set.
void open_socket(cf_tcp_socket_t& socket, const endpoint_t& peer,
                 const std::optional<endpoint_t>& source) {
  boost::system::error_code error;
  socket.open(peer.protocol(), error);
  throw_if_failed(error, "open");
  if (source) {
    socket.bind(*source, error);
    throw_if_failed(error, "bind");
  }
}

}  // namespace

bk_peer_connector_t::bk_peer_connector_t(bk_cluster_inventory_t& inventory)
    : inventory_(inventory), timer_(inventory.io_context) {}

// The attempts' own completions find the connector gone and drop their sockets.
bk_peer_connector_t::~bk_peer_connector_t() = default;

// ---------------------------------------------------------------------------
// Configuration

std::optional<endpoint_t> bk_peer_connector_t::source_endpoint(const vl::BrelConfig& config) const {
  if (config.internal_only()) return std::nullopt;
  if (!config.has_load_balance_source_address()) return std::nullopt;
  const std::string& address = config.load_balance_source_address().address();
  if (address.empty()) return std::nullopt;
  return endpoint_t(boost::asio::ip::make_address(address), 0);
}

std::set<endpoint_t> bk_peer_connector_t::peer_endpoints(const vl::BrelConfig& config) const {
  std::set<endpoint_t> peers;
  if (config.internal_only()) return peers;
  for (const vl::IPSocket& peer : config.load_balance_to().ip()) {
    // A port beyond 16 bits would otherwise be cut to another, existing one.
    if (peer.port() > 65535) {
      throw std::out_of_range("Port " + std::to_string(peer.port()) + " of " + peer.address() +
                              " is out of range");
    }
    peers.emplace(boost::asio::ip::make_address(peer.address()),
                  static_cast<unsigned short>(peer.port()));
  }
  return peers;
}

void bk_peer_connector_t::start(const vl::BrelConfig& config) {
  source_ = source_endpoint(config);
  peers_ = peer_endpoints(config);
  ssl_settings_ = std::make_unique<bk_ssl_settings_t>(config);
  if (peers_.empty()) return;
  ssl_settings_->prepare();
  connect_missing(true);
  arm_timer();
}

void bk_peer_connector_t::reconfigure(const vl::BrelConfig& config) {
  const std::optional<endpoint_t> source = source_endpoint(config);
  const bool source_changed = source != source_;
  source_ = source;
  const bool tls_changed = !ssl_settings_ || ssl_settings_->differs(config);

  if (config.internal_only()) {
    drop_all();
    renew_ssl(config, tls_changed);
    return;
  }

  std::set<endpoint_t> peers = peer_endpoints(config);
  if (source_changed || tls_changed) {
    drop_all();
    renew_ssl(config, tls_changed);
  } else {
    std::vector<endpoint_t> outdated;
    std::vector<endpoint_t> added;
    std::set_difference(peers_.begin(), peers_.end(), peers.begin(), peers.end(),
                        std::back_inserter(outdated));
    std::set_difference(peers.begin(), peers.end(), peers_.begin(), peers_.end(),
                        std::back_inserter(added));
    if (log_threshold <= kLogDebug) {
      log_message(kLogDebug, "Outdated peers: " + endpoints_text(outdated));
      log_message(kLogDebug, "New peers: " + endpoints_text(added));
    }
    for (const endpoint_t& endpoint : outdated) inventory_.cluster->drop_peer_out(endpoint);
  }
  peers_ = std::move(peers);
  if (peers_.empty()) return;
  // Settings made while no peer was configured were never prepared; peers that
  // arrive later with TLS on need the context all the same.
  if (ssl_settings_->use_ssl() && !ssl_settings_->prepared()) ssl_settings_->prepare();
  connect_missing(true);
  arm_timer();
}

void bk_peer_connector_t::renew_ssl(const vl::BrelConfig& config, bool changed) {
  if (!changed) return;
  ssl_settings_ = std::make_unique<bk_ssl_settings_t>(config);
  ssl_settings_->prepare();
}

void bk_peer_connector_t::drop_all() {
  cancel_pending();
  for (const endpoint_t& endpoint : peers_) inventory_.cluster->drop_peer_out(endpoint);
  peers_.clear();
}

void bk_peer_connector_t::cancel_pending() {
  // Emptied first: a cancelled attempt's completion then finds itself stale.
  std::map<endpoint_t, attempt_t> attempts;
  attempts.swap(pending_);
  for (auto& [endpoint, attempt] : attempts) attempt.cancel();
}

std::string bk_peer_connector_t::endpoints_text(const std::vector<endpoint_t>& endpoints) {
  if (endpoints.empty()) return "<empty>";
  std::ostringstream text;
  text << "(";
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    if (i != 0) text << ", ";
    text << endpoints[i];
  }
  text << ")";
  return text.str();
}

// ---------------------------------------------------------------------------
// Attempts

void bk_peer_connector_t::connect_missing(bool throw_failures) {
  const bk_cluster_t& cluster = *inventory_.cluster;
  // An attempt's completion never runs from inside this loop, so peers_ stays put.
  for (const endpoint_t& endpoint : peers_) {
    if (cluster.is_peer_out_connected(endpoint) || pending_.count(endpoint) != 0) continue;
    try {
      if (ssl_settings_->use_ssl()) {
        connect_ssl(endpoint);
      } else {
        connect(endpoint);
      }
    } catch (const std::exception& e) {
      if (throw_failures) throw;
      // Out of descriptors, an address gone from this host: the next round may do.
      CF_LOG(kLogWarning,
             "Connection to " + endpoint_text(endpoint) + " failed: " + exception_text(e));
      inventory_.cluster->mark_peer_tried(endpoint);
    }
  }
}

uint64_t bk_peer_connector_t::add_attempt(const endpoint_t& endpoint,
                                          std::function<void()> cancel) {
  const uint64_t id = ++last_attempt_;
  pending_[endpoint] = attempt_t{id, std::move(cancel)};
  return id;
}

bool bk_peer_connector_t::is_current(const endpoint_t& endpoint, uint64_t attempt) const {
  const auto found = pending_.find(endpoint);
  return found != pending_.end() && found->second.id == attempt;
}

bool bk_peer_connector_t::finish_attempt(const endpoint_t& endpoint, uint64_t attempt) {
  if (!is_current(endpoint, attempt)) return false;
  pending_.erase(endpoint);
  return true;
}

template <class Stream>
void bk_peer_connector_t::start_attempt(const endpoint_t& endpoint,
                                        const std::shared_ptr<Stream>& stream,
                                        cf_tcp_socket_t& socket, connected_t<Stream> on_connected) {
  open_socket(socket, endpoint, source_);
  // Closed, not only cancelled: between two steps of the handshake (a write just
  // completed, the next read not yet started) a cancel finds nothing to stop, and
  // the attempt would keep its connection until the handshake time-out. A closed
  // socket fails every later step as well. The socket shares the stream's lifetime.
  const std::weak_ptr<cf_tcp_socket_t> weak_socket =
      std::shared_ptr<cf_tcp_socket_t>(stream, &socket);
  const uint64_t attempt = add_attempt(endpoint, [weak_socket] {
    boost::system::error_code ignored;
    if (const auto s = weak_socket.lock()) s->close(ignored);
  });
  socket.async_connect(endpoint, [weak = weak_from_this(), stream, endpoint, attempt,
                                  on_connected](const boost::system::error_code& error) {
    if (const auto self = weak.lock()) ((*self).*on_connected)(error, stream, endpoint, attempt);
  });
}

void bk_peer_connector_t::connect(const endpoint_t& endpoint) {
  auto socket = std::make_shared<cf_tcp_socket_t>(inventory_.io_context);
  start_attempt(endpoint, socket, *socket, &bk_peer_connector_t::on_connect);
}

void bk_peer_connector_t::on_connect(const boost::system::error_code& error,
                                     const std::shared_ptr<cf_tcp_socket_t>& socket,
                                     const endpoint_t& endpoint, uint64_t attempt) {
  // Cancelled by drop_all, or superseded by a newer attempt: the newer one decides.
  if (!finish_attempt(endpoint, attempt)) return;
  // Our own cancel.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogWarning, "Connection to " + endpoint_text(endpoint) + " failed: " + error.message());
    inventory_.cluster->mark_peer_tried(endpoint);
    return;
  }
  if (!accept_connected(endpoint)) return;
  set_no_delay(*socket);
  start_tie<bk_peer_connection_plain_t>(endpoint, socket);
}

void bk_peer_connector_t::connect_ssl(const endpoint_t& endpoint) {
  auto stream = std::make_shared<cf_ssl_stream_t>(inventory_.io_context, ssl_settings_->context());
  start_attempt(endpoint, stream, stream->next_layer(), &bk_peer_connector_t::on_connect_ssl);
}

void bk_peer_connector_t::on_connect_ssl(const boost::system::error_code& error,
                                         const std::shared_ptr<cf_ssl_stream_t>& stream,
                                         const endpoint_t& endpoint, uint64_t attempt) {
  // Cancelled by drop_all, or superseded by a newer attempt: the newer one decides.
  if (!is_current(endpoint, attempt)) return;
  if (error) {
    pending_.erase(endpoint);
    CF_LOG(kLogWarning, "Connection to " + endpoint_text(endpoint) + " failed: " + error.message());
    inventory_.cluster->mark_peer_tried(endpoint);
    return;
  }
  if (inventory_.cluster->is_peer_out_connected(endpoint)) {
    pending_.erase(endpoint);
    CF_LOG(kLogDebug, "Connection to " + endpoint_text(endpoint) + " has already established");
    return;
  }
  // The entry stays while the handshake runs, so that drop_all can still stop it.
  try {
    bk_ssl_handshake(
        stream, boost::asio::ssl::stream_base::client,
        [weak = weak_from_this(), stream, endpoint, attempt](const std::exception_ptr& failure) {
          if (const auto self = weak.lock()) self->on_handshake(failure, stream, endpoint, attempt);
        },
        handshake_timeout_);
  } catch (const std::exception& e) {
    pending_.erase(endpoint);
    CF_LOG(kLogWarning,
           "Connection to " + endpoint_text(endpoint) + " failed: " + exception_text(e));
    inventory_.cluster->mark_peer_tried(endpoint);
  }
}

void bk_peer_connector_t::on_handshake(const std::exception_ptr& failure,
                                       const std::shared_ptr<cf_ssl_stream_t>& stream,
                                       const endpoint_t& endpoint, uint64_t attempt) {
  // Cancelled by drop_all, or superseded by a newer attempt: the newer one decides.
  if (!finish_attempt(endpoint, attempt)) return;
  if (failure) {
    // Our own cancel.
    if (exception_ptr_to_error_code(failure) == boost::asio::error::operation_aborted) return;
    CF_LOG(kLogWarning, "SSL handshake with " + endpoint_text(endpoint) +
                            " failed: " + exception_ptr_text(failure));
    inventory_.cluster->mark_peer_tried(endpoint);
    return;
  }
  if (!accept_connected(endpoint)) return;
  set_no_delay(stream->next_layer());
  start_tie<bk_peer_connection_ssl_t>(endpoint, stream);
}

bool bk_peer_connector_t::accept_connected(const endpoint_t& endpoint) const {
  if (inventory_.cluster->is_peer_out_connected(endpoint)) {
    CF_LOG(kLogDebug, "Connection to " + endpoint_text(endpoint) + " has already established");
    return false;
  }
  // An attempt to a peer removed from the list meanwhile is not cancelled; its
  // connection must not come back as a tie nobody will drop.
  if (peers_.count(endpoint) == 0) {
    CF_LOG(kLogDebug, "Connection to " + endpoint_text(endpoint) + " is no longer wanted");
    return false;
  }
  return true;
}

template <class Connection, class Stream>
void bk_peer_connector_t::start_tie(const endpoint_t& endpoint,
                                    const std::shared_ptr<Stream>& stream) {
  const auto connection = std::make_shared<Connection>(inventory_);
  try {
    connection->start(stream);
  } catch (const std::exception& e) {
    CF_LOG(kLogWarning,
           "Connection to " + endpoint_text(endpoint) + " failed: " + exception_text(e));
    inventory_.cluster->mark_peer_tried(endpoint);
    return;
  }
  // Delegate and registration before returning to the event loop, so no event of
  // the link can find the connection without its tie.
  const std::shared_ptr<bk_peer_tie_out_t> tie = bk_peer_tie_out_t::create(inventory_, connection);
  connection->set_delegate(tie.get());
  inventory_.cluster->on_peer_out_connected(tie);
}

// ---------------------------------------------------------------------------
// Retry timer

void bk_peer_connector_t::arm_timer() {
  // Re-arming replaces the wait under way, which completes as cancelled.
  timer_.expires_after(retry_interval_);
  timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    if (const auto self = weak.lock()) self->on_timer(error);
  });
}

void bk_peer_connector_t::on_timer(const boost::system::error_code& error) {
  // Re-armed: the newer wait carries on.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    CF_LOG(kLogError, "Connector timer: " + error.message());
  } else {
    connect_missing(false);
  }
  arm_timer();
}
