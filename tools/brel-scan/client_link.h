// brel_scan_link_t: the scanning client's end of one daemon connection, over a UNIX
// or a TCP stream. It frames bk::ClientMessage out and bk::ServerMessage in with the
// daemon's own message link and hands every parsed message, the end of the
// connection and each drained send queue to its listener.
//
// Owned by a std::shared_ptr (main's, and every outstanding read or write); main
// thread only. The listener must outlive the link's event loop run.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/error.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/brel_client_ipc.pb.h"

class brel_scan_link_listener_t {
 public:
  virtual ~brel_scan_link_listener_t() = default;
  virtual void on_server_message(const bk::ServerMessage& message) = 0;
  // The connection ended: `why` tells how (closed by the daemon, an I/O error, a
  // frame the client cannot take). Nothing more arrives afterwards.
  virtual void on_link_lost(const std::string& why) = 0;
  // Everything queued has been written.
  virtual void on_link_idle() = 0;
};

template <class Stream>
class brel_scan_link_t : public cf_basic_ipc_link_t<Stream>,
                         public std::enable_shared_from_this<brel_scan_link_t<Stream>> {
 public:
  using base_type = cf_basic_ipc_link_t<Stream>;

  // REQUIRES: `listener` outlives every completion of the link.
  explicit brel_scan_link_t(brel_scan_link_listener_t& listener)
      : base_type(kIpcLinkLimit), listener_(listener) {}

  // Starts reading on a connected stream.
  void start(std::shared_ptr<Stream> stream) {
    this->set_socket(std::move(stream));
    this->read_header();
  }

  void send(const bk::ClientMessage& message) { this->async_send_message(message); }

  // Closes the socket; pending operations end quietly.
  void close() noexcept {
    if (!this->socket()) return;
    boost::system::error_code ignored;
    this->socket()->close(ignored);
  }

 protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    bk::ServerMessage message;
    if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
      close();
      listener_.on_link_lost("the daemon sent a message that does not parse");
      return;
    }
    listener_.on_server_message(message);
  }

  void on_error(const boost::system::error_code& code) override {
    close();
    // However the far end went, the user learns the same thing.
    if (code == boost::asio::error::eof || code == boost::asio::error::connection_reset ||
        code == boost::asio::error::broken_pipe) {
      listener_.on_link_lost("the daemon closed the connection");
    } else {
      listener_.on_link_lost("connection error: " + code.message());
    }
  }

  std::shared_ptr<base_type> shared_this() override { return this->shared_from_this(); }
  void on_send_idle() override { listener_.on_link_idle(); }

 private:
  brel_scan_link_listener_t& listener_;
};
