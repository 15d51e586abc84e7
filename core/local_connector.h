// bk_local_connector_t: connects a UNIX stream socket to a listening path without
// ever making the event loop wait. A listener whose backlog is full does not take
// a non-blocking connect (EAGAIN: the socket stays unconnected) and tells nobody
// when it has room again. Asio's asynchronous connect cannot be used: it takes
// EAGAIN for a connect under way, waits for the socket to be writable (an
// unconnected UNIX socket is at once) and then reports success on a socket that is
// not connected. So the connect is simply tried again, after a pause that grows up
// to kMaxRetryPause, until it completes, fails for another reason, or a listener
// that never makes room has held it for `give_up_after` (timed_out): the requests
// waiting on the connection are then failed rather than held for ever.
//
// Self-owned: the pending attempt or pause holds it until the handler has run. The
// starter keeps a shared pointer only to cancel it. Event loop only. The handler
// is called exactly once, never from inside `start`, unless `cancel` came first.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "framework/socket_types.h"

class bk_local_connector_t : public std::enable_shared_from_this<bk_local_connector_t> {
 public:
  using endpoint_t = boost::asio::local::stream_protocol::endpoint;
  // Success, or why the socket could not be opened or connected; the socket is
  // closed then.
  using handler_t = std::function<void(const boost::system::error_code&)>;

  // The longest pause between two attempts on a full backlog.
  static constexpr std::chrono::milliseconds kMaxRetryPause{100};
  // How long a full backlog may hold a connect.
  static constexpr std::chrono::milliseconds kGiveUpAfter{30000};

  // Opens `socket` (when it is not open yet) and connects it to `endpoint`.
  // REQUIRES: `socket` is not connected.
  static std::shared_ptr<bk_local_connector_t> start(std::shared_ptr<cf_local_socket_t> socket,
                                                     const endpoint_t& endpoint, handler_t handler,
                                                     std::chrono::milliseconds give_up_after =
                                                         kGiveUpAfter);

  // Stops connecting and closes the socket; the handler is never called.
  void cancel() noexcept;

  bk_local_connector_t(const bk_local_connector_t&) = delete;
  bk_local_connector_t& operator=(const bk_local_connector_t&) = delete;

 private:
  bk_local_connector_t(std::shared_ptr<cf_local_socket_t> socket, const endpoint_t& endpoint,
                       handler_t handler, std::chrono::milliseconds give_up_after);

  void start_attempt();
  void on_attempt();
  void start_pause();
  void on_pause(const boost::system::error_code& error);
  void finish(const boost::system::error_code& error);

  // Constant after construction.
  const std::shared_ptr<cf_local_socket_t> socket_;
  const endpoint_t endpoint_;
  const std::chrono::steady_clock::time_point give_up_at_;

  // Event loop only. Empty once called or cancelled.
  handler_t handler_;
  boost::asio::steady_timer pause_timer_;
  std::chrono::milliseconds pause_{1};
};
