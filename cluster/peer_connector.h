// bk_peer_connector_t: keeps this instance connected to every peer listed in
// `load_balance_to`. It opens a TCP connection (from `load_balance_source_address`
// when set), runs the TLS client handshake when TLS is on, wraps the result in a
// peer connection and a peer tie-out, and hands the tie to the cluster, which owns
// it from then on. A 5-second timer retries every configured peer that has neither
// a tie nor an attempt under way; a changed source address or TLS setting drops
// every tie and connects again.
//
// Owned by bk_inventory_t through a shared pointer; attempts and the timer hold
// weak references. Event loop only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "cluster/ssl_settings.h"
#include "framework/socket_types.h"

class bk_peer_connection_t;

class bk_cluster_inventory_t;

namespace vl {
class BrelConfig;
}

class bk_peer_connector_t : public std::enable_shared_from_this<bk_peer_connector_t> {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;

  static constexpr std::chrono::seconds kRetryInterval{5};

  // REQUIRES: `inventory` outlives the connector and holds the cluster.
  explicit bk_peer_connector_t(bk_cluster_inventory_t& inventory);
  ~bk_peer_connector_t();
  bk_peer_connector_t(const bk_peer_connector_t&) = delete;
  bk_peer_connector_t& operator=(const bk_peer_connector_t&) = delete;

  // The first configuration: with peers configured, prepares TLS (when on),
  // connects to each and arms the retry timer. Throws for an address that does not
  // parse, a TLS file problem, or a socket that cannot be opened or bound.
  void start(const vl::BrelConfig& config);
  // A later configuration. Throws as start does.
  void reconfigure(const vl::BrelConfig& config);

  // "<empty>", or "(" + the endpoints separated by ", " + ")".
  static std::string endpoints_text(const std::vector<endpoint_t>& endpoints);

  // Tests shorten the waits.
  void set_retry_interval(std::chrono::steady_clock::duration interval) {
    retry_interval_ = interval;
  }
  void set_handshake_timeout(std::chrono::steady_clock::duration timeout) {
    handshake_timeout_ = timeout;
  }

 private:
  // One attempt under way: its number tells a late completion of an older attempt
  // from the current one.
  struct attempt_t {
    uint64_t id = 0;
    // Closes the attempt's TCP socket; its completions then find it stale.
    std::function<void()> cancel;
  };

  std::optional<endpoint_t> source_endpoint(const vl::BrelConfig& config) const;
  std::set<endpoint_t> peer_endpoints(const vl::BrelConfig& config) const;
  void renew_ssl(const vl::BrelConfig& config, bool changed);
  void drop_all();
  void cancel_pending();
  // Starts an attempt to every configured peer without a tie or an attempt. A
  // socket that cannot be opened or bound throws with `throw_failures` (a
  // configuration step fails); otherwise it is logged and tried again later.
  void connect_missing(bool throw_failures);
  // Enters the attempt under way to `endpoint` and returns its number.
  uint64_t add_attempt(const endpoint_t& endpoint, std::function<void()> cancel);
  // True while `attempt` is the attempt entered for `endpoint`.
  bool is_current(const endpoint_t& endpoint, uint64_t attempt) const;
  // Removes the attempt's entry; false (nothing removed) when it is not current.
  bool finish_attempt(const endpoint_t& endpoint, uint64_t attempt);
  template <class Stream>
  using connected_t = void (bk_peer_connector_t::*)(const boost::system::error_code&,
                                                    const std::shared_ptr<Stream>&,
                                                    const endpoint_t&, uint64_t);
  // Opens `socket` (the TCP layer of `stream`), enters the attempt and connects;
  // `on_connected` handles the completion while the connector lives.
  template <class Stream>
  void start_attempt(const endpoint_t& endpoint, const std::shared_ptr<Stream>& stream,
                     cf_tcp_socket_t& socket, connected_t<Stream> on_connected);
  void connect(const endpoint_t& endpoint);
  void on_connect(const boost::system::error_code& error,
                  const std::shared_ptr<cf_tcp_socket_t>& socket, const endpoint_t& endpoint,
                  uint64_t attempt);
  void connect_ssl(const endpoint_t& endpoint);
  void on_connect_ssl(const boost::system::error_code& error,
                      const std::shared_ptr<cf_ssl_stream_t>& stream, const endpoint_t& endpoint,
                      uint64_t attempt);
  void on_handshake(const std::exception_ptr& error, const std::shared_ptr<cf_ssl_stream_t>& stream,
                    const endpoint_t& endpoint, uint64_t attempt);
  // False (with a Debug line) when a connection that completed is not to be used:
  // a tie to the peer exists, or the peer is no longer configured.
  bool accept_connected(const endpoint_t& endpoint) const;
  // Starts a `Connection` on the connected `stream`, makes its tie-out and hands
  // the tie to the cluster; a connection that fails to start is logged and tried
  // again later.
  template <class Connection, class Stream>
  void start_tie(const endpoint_t& endpoint, const std::shared_ptr<Stream>& stream);
  void arm_timer();
  void on_timer(const boost::system::error_code& error);

  // Constant after construction.
  bk_cluster_inventory_t& inventory_;

  // Event loop only.
  std::optional<endpoint_t> source_;
  std::set<endpoint_t> peers_;
  std::unique_ptr<bk_ssl_settings_t> ssl_settings_;
  boost::asio::steady_timer timer_;
  std::map<endpoint_t, attempt_t> pending_;
  uint64_t last_attempt_ = 0;
  std::chrono::steady_clock::duration retry_interval_ = kRetryInterval;
  std::chrono::steady_clock::duration handshake_timeout_ = kSslHandshakeTimeout;
};
