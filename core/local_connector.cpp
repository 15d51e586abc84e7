#include "core/local_connector.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

bk_local_connector_t::bk_local_connector_t(std::shared_ptr<cf_local_socket_t> socket,
                                           const endpoint_t& endpoint, handler_t handler,
                                           std::chrono::milliseconds give_up_after)
    : socket_(std::move(socket)),
      endpoint_(endpoint),
      give_up_at_(std::chrono::steady_clock::now() + give_up_after),
      handler_(std::move(handler)),
      pause_timer_(socket_->get_executor()) {}

std::shared_ptr<bk_local_connector_t> bk_local_connector_t::start(
    std::shared_ptr<cf_local_socket_t> socket, const endpoint_t& endpoint, handler_t handler,
    std::chrono::milliseconds give_up_after) {
  std::shared_ptr<bk_local_connector_t> connector(new bk_local_connector_t(
      std::move(socket), endpoint, std::move(handler), give_up_after));
  connector->start_attempt();
  return connector;
}

void bk_local_connector_t::cancel() noexcept {
  handler_ = nullptr;
  try {
    pause_timer_.cancel();
  } catch (const boost::system::system_error&) {
    // A pause that cannot be cancelled finds the handler gone when it ends.
  }
  boost::system::error_code ignored;
  socket_->close(ignored);
}

void bk_local_connector_t::start_attempt() {
  // Posted, so that the handler never runs inside start.
  boost::asio::post(socket_->get_executor(), [self = shared_from_this()] { self->on_attempt(); });
}

void bk_local_connector_t::on_attempt() {
  // Cancelled meanwhile.
  if (!handler_) return;
  boost::system::error_code error;
  if (!socket_->is_open()) socket_->open(endpoint_.protocol(), error);
  if (!error) socket_->native_non_blocking(true, error);
  if (error) {
    finish(error);
    return;
  }
  if (::connect(socket_->native_handle(), endpoint_.data(),
                static_cast<socklen_t>(endpoint_.size())) == 0) {
    finish(boost::system::error_code());
    return;
  }
  const int code = errno;
  switch (code) {
    // The backlog is full (or, elsewhere, the connect is under way): try again.
    case EAGAIN:
    case EINTR:
    case EINPROGRESS:
    case EALREADY:
      if (std::chrono::steady_clock::now() >= give_up_at_) {
        finish(boost::asio::error::timed_out);
        return;
      }
      start_pause();
      return;
    // An earlier attempt got through after all.
    case EISCONN:
      finish(boost::system::error_code());
      return;
    default:
      finish(boost::system::error_code(code, boost::system::system_category()));
      return;
  }
}

void bk_local_connector_t::start_pause() {
  // The last pause ends at the time to give up, so the last attempt is made then.
  pause_timer_.expires_at(std::min(std::chrono::steady_clock::now() + pause_, give_up_at_));
  pause_ = std::min(pause_ * 2, kMaxRetryPause);
  pause_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->on_pause(error);
  });
}

void bk_local_connector_t::on_pause(const boost::system::error_code& error) {
  // Our own cancel.
  if (error == boost::asio::error::operation_aborted || !handler_) return;
  // A pause that failed is over all the same; the next attempt decides.
  on_attempt();
}

void bk_local_connector_t::finish(const boost::system::error_code& error) {
  const handler_t handler = std::move(handler_);
  handler_ = nullptr;
  if (error) {
    boost::system::error_code ignored;
    socket_->close(ignored);
  }
  handler(error);
}
