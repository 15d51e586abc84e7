// bk_peer_acceptor_t: listens on the configured load-balancing server socket for
// other instances that want to send jobs here. Each accepted connection is checked
// against the allowed addresses and the one-link-per-endpoint rule, runs the TLS
// server handshake when TLS is on (checked again after it), and becomes a peer
// connection with a peer tie-in that the cluster registers and owns.
//
// Owned by bk_inventory_t through a shared pointer; pending accepts, handshakes and
// timers hold weak references, so destroying the acceptor closes the listener and
// their completions do nothing. Event loop only. The first start runs while the
// daemon still has the privileges it was started with. An accept that fails for
// want of descriptors or memory is tried again after a pause, one that fails for
// its own connection at once; a listener that fails otherwise throws
// boost::system::system_error ("Peer acceptor") out of the event loop, which ends
// the daemon.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "cluster/ssl_settings.h"
#include "framework/socket_types.h"

class bk_peer_connection_t;

class bk_cluster_inventory_t;

namespace vl {
class BrelConfig;
}

class bk_peer_acceptor_t : public std::enable_shared_from_this<bk_peer_acceptor_t> {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;

  // How long an accept that failed for want of descriptors or memory waits before
  // accepting again.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{200};

  // REQUIRES: `inventory` outlives the acceptor and holds the cluster.
  explicit bk_peer_acceptor_t(bk_cluster_inventory_t& inventory);
  ~bk_peer_acceptor_t();
  bk_peer_acceptor_t(const bk_peer_acceptor_t&) = delete;
  bk_peer_acceptor_t& operator=(const bk_peer_acceptor_t&) = delete;

  // (Re)opens the listener from the configuration: none with `internal_only` or
  // without a server address. Throws boost::system::system_error ("bind",
  // "listen", an address that does not parse), the TLS settings' exceptions, or
  // std::runtime_error "Not supported protocol".
  void start(const vl::BrelConfig& config);
  // Applies a later configuration; restarts the listener only when its endpoint,
  // its TLS settings or `internal_only` changed. Throws as start does.
  void reconfigure(const vl::BrelConfig& config);

  // The listener's bound endpoint (the real port when 0 was configured); none while
  // closed.
  std::optional<endpoint_t> local_endpoint() const;

  // Tests shorten the waits; each takes effect for the next accept or handshake.
  void set_accept_retry_delay(std::chrono::steady_clock::duration delay) {
    accept_retry_delay_ = delay;
  }
  void set_handshake_timeout(std::chrono::steady_clock::duration timeout) {
    handshake_timeout_ = timeout;
  }
  // Tests: the next accept fails with `error` instead of taking a connection; the
  // connection it would have taken waits for the accept after it.
  void fail_next_accept(const boost::system::error_code& error) { injected_accept_error_ = error; }

 private:
  static std::optional<endpoint_t> listener_endpoint(const vl::BrelConfig& config);

  void close_listener();
  // Accepts the next connection, over TLS when the settings say so.
  void accept_any();
  void accept_next();
  void on_accept(const boost::system::error_code& error,
                 const std::shared_ptr<cf_tcp_socket_t>& socket);
  void accept_next_ssl();
  void on_accept_ssl(const boost::system::error_code& error,
                     const std::shared_ptr<cf_ssl_stream_t>& stream);
  // `peer` is the address read before the handshake.
  void on_handshake(const std::exception_ptr& error, const std::shared_ptr<cf_ssl_stream_t>& stream,
                    const endpoint_t& peer);
  // Makes the tie-in of a started connection and hands it to the cluster.
  void register_tie(const std::shared_ptr<bk_peer_connection_t>& connection);
  // Accepts again at once or after accept_retry_delay_, or throws, as the error says.
  void on_accept_error(const boost::system::error_code& error);
  // Logs the accept error and accepts again after accept_retry_delay_.
  void retry_accept(const boost::system::error_code& error);
  // Tests: takes the error the next accept fails with; none when it is to accept.
  std::optional<boost::system::error_code> take_injected_accept_error();

  // Constant after construction.
  bk_cluster_inventory_t& inventory_;

  // Event loop only.
  std::optional<endpoint_t> endpoint_;
  std::unique_ptr<bk_ssl_settings_t> ssl_settings_;
  bool internal_only_ = false;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  // Counts the listeners closed, so that a retry meant for an earlier one is dropped.
  uint64_t listener_count_ = 0;
  std::chrono::steady_clock::duration accept_retry_delay_ = kAcceptRetryDelay;
  std::chrono::steady_clock::duration handshake_timeout_ = kSslHandshakeTimeout;
  std::optional<boost::system::error_code> injected_accept_error_;
};
