// bk_peer_connection_t: one message link between two instances of the daemon, over
// plain TCP (bk_peer_connection_plain_t) or TLS (bk_peer_connection_ssl_t), behind
// one interface so that the peer ties need not know which. It forwards every event
// of the link to its delegate, the tie; it neither parses, logs nor closes by itself.
// Both directions carry at most kPeerLinkLimit (10 MiB) per message.
//
// Made with std::make_shared by the peer acceptor or connector, which starts it on a
// connected (and, for TLS, handshaken) stream, makes the tie and sets the tie as the
// delegate before returning to the event loop. The tie owns the connection through a
// shared pointer; every outstanding read or write holds another, so the connection
// lives until its last completion. The delegate pointer is not owned: each tie
// closes its connection in its destructor, after which nothing more is reported.
// Event loop only; no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/message_lite.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "framework/basic_ipc_link.h"
#include "framework/socket_types.h"

class bk_cluster_inventory_t;

class bk_peer_connection_t {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;

  // The receiver of a connection's events (a peer tie). Event loop only; the
  // receiver may close the connection during any call.
  class delegate {
   public:
    virtual ~delegate() = default;
    // One received body, valid only during the call.
    virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
    // A read or write failure, end of file (TLS truncation included) or a refused
    // frame size (EC_BAD_MESSAGE_SIZE). Reading has stopped; the socket is open.
    virtual void on_error(const boost::system::error_code& code) = 0;
    // Everything queued has been written.
    virtual void on_send_idle() = 0;
    // A write of everything queued so far is about to start.
    virtual void on_send_begin() = 0;
    // That write has completed.
    virtual void on_sent() = 0;
  };

  virtual ~bk_peer_connection_t() = default;
  bk_peer_connection_t(const bk_peer_connection_t&) = delete;
  bk_peer_connection_t& operator=(const bk_peer_connection_t&) = delete;

  // The peer's address and port, read once by start; kept after close.
  const endpoint_t& remote_endpoint() const { return remote_endpoint_; }
  // Queues `message` while the connection is open; does nothing once it is closed.
  // Throws boost::system::system_error (EC_BAD_MESSAGE_SIZE, "async_send_message")
  // for a body above 10 MiB or a queue past its 32-bit size; nothing is queued then.
  virtual void send(const google::protobuf::MessageLite& message) = 0;
  // Closes the TCP socket (beneath the TLS stream, without a TLS close
  // notification); the outstanding read and write then end quietly. Throws
  // boost::system::system_error "close" when the system close reports a failure
  // (the descriptor is released all the same). Nothing when already closed.
  virtual void close() = 0;
  // close, with a failure logged at Error under `owner` instead of thrown; for
  // destructors.
  void close_quietly(const std::string& owner) noexcept;
  virtual bool is_open() const = 0;
  // Back-pressure, as the message link's: pause_reading holds further messages back
  // (and reads no more) until resume_reading; queued_send_bytes counts what is
  // queued and not yet written.
  virtual void pause_reading() = 0;
  virtual void resume_reading() = 0;
  virtual bool reading_paused() const = 0;
  virtual std::uint64_t queued_send_bytes() const = 0;
  // The owning shared pointer, from the weak self-reference.
  virtual std::shared_ptr<bk_peer_connection_t> shared_connection() = 0;

  // Set by the creator right after it made the tie; never cleared.
  // REQUIRES: `d` outlives every event of the connection (its destructor closes it).
  void set_delegate(delegate* d) { delegate_ = d; }
  delegate* get_delegate() const { return delegate_; }

 protected:
  // REQUIRES: `inventory` outlives the connection.
  explicit bk_peer_connection_t(bk_cluster_inventory_t& inventory) : inventory_(inventory) {}

  // Constant after construction; kept for the ties, not used here.
  bk_cluster_inventory_t& inventory_;
  // Event loop only.
  delegate* delegate_ = nullptr;
  endpoint_t remote_endpoint_;
};

// The two implementations share everything but the stream and the mapping of TLS
// truncation to end of file.
template <class Stream>
class bk_basic_peer_connection_t
    : public bk_peer_connection_t,
      public cf_basic_ipc_link_t<Stream>,
      public std::enable_shared_from_this<bk_basic_peer_connection_t<Stream>> {
 public:
  using link_type = cf_basic_ipc_link_t<Stream>;
  using stream_type = Stream;

  // REQUIRES: `inventory` outlives the connection; made with std::make_shared.
  explicit bk_basic_peer_connection_t(bk_cluster_inventory_t& inventory);
  // Releases the link's share of the stream; no close, no TLS shutdown.
  ~bk_basic_peer_connection_t() override = default;

  // Reads the peer's address, then takes the stream and starts reading. Throws
  // boost::system::system_error "remote_endpoint" when the address cannot be read
  // (the peer went already); nothing is started then, and dropping the stream
  // closes it. REQUIRES: called once, with a connected stream.
  void start(std::shared_ptr<stream_type> stream);

  void send(const google::protobuf::MessageLite& message) override;
  void close() override;
  bool is_open() const override { return link_type::is_open(); }
  void pause_reading() override { link_type::pause_reading(); }
  void resume_reading() override { link_type::resume_reading(); }
  bool reading_paused() const override { return link_type::reading_paused(); }
  std::uint64_t queued_send_bytes() const override { return link_type::queued_send_bytes(); }
  std::shared_ptr<bk_peer_connection_t> shared_connection() override {
    return this->shared_from_this();
  }

 protected:
  // As the message link.
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<link_type> shared_this() override { return this->shared_from_this(); }
  void on_send_begin() override;
  void on_sent() override;
  void on_send_idle() override;
};

using bk_peer_connection_plain_t = bk_basic_peer_connection_t<cf_tcp_socket_t>;
using bk_peer_connection_ssl_t = bk_basic_peer_connection_t<cf_ssl_stream_t>;

extern template class bk_basic_peer_connection_t<cf_tcp_socket_t>;
extern template class bk_basic_peer_connection_t<cf_ssl_stream_t>;
