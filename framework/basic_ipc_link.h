// cf_basic_ipc_link_t: the message link under every conversation of the daemon.
// Frames are a 4-byte body length in host byte order, then the serialised protobuf
// message. The link reads what the socket holds (up to a look-ahead, or the rest of a
// large frame), hands each complete body to on_message in turn, and reads on; it
// queues outgoing messages and writes everything queued during one write in the next
// single write. Parsing, dispatch, error reactions and closing the socket belong to
// the derived class. Its owner may pause the reading (back-pressure) and resume it.
//
// Owned by the derived class's shared pointer; every outstanding read or write holds
// shared_this(), so the link lives until its last completion: to end a link, its
// owner closes the socket (the pending completions then find it closed and are
// dropped quietly). Once its reading has been paused, a wait on its socket holds it
// too (in the read's place while paused), until the socket is closed or reports a
// hang-up. Event loop only; no locks. Exceptions thrown by on_message or
// on_error leave the completion handler to the event loop, and reading stops.
//
// A derived class: passes its limit to the constructor, overrides on_message,
// on_error and shared_this (and, if it cares, on_send_begin / on_sent /
// on_send_idle), gives the connected stream with set_socket and calls read_header
// once. REQUIRES: the derived object is held by a std::shared_ptr before read_header
// or async_send_message is called.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/asio/write.hpp>
#include <boost/assert.hpp>
#include <boost/system/error_code.hpp>

#include "framework/error.h"
#include "framework/ipc_buffer.h"
#include "framework/socket_types.h"

// Largest body on the links to the configuration, engine and cloud daemons and to clients.
constexpr std::uint32_t kIpcLinkLimit = 64 * 1024 * 1024;
// Largest body on a peer link.
constexpr std::uint32_t kPeerLinkLimit = 10 * 1024 * 1024;

template <class Stream>
class cf_basic_ipc_link_t {
 public:
  using stream_type = Stream;
  using link_type = cf_basic_ipc_link_t;

  // The length prefix of every frame.
  static constexpr std::uint32_t header_size = sizeof(std::uint32_t);

  cf_basic_ipc_link_t(const cf_basic_ipc_link_t&) = delete;
  cf_basic_ipc_link_t& operator=(const cf_basic_ipc_link_t&) = delete;
  // Releases this share of the stream; the stream closes when its last share goes.
  virtual ~cf_basic_ipc_link_t() = default;

  // Queues `message` behind everything queued before and starts writing when no
  // write is outstanding. Throws boost::system::system_error(EC_BAD_MESSAGE_SIZE,
  // "async_send_message") when the body exceeds limit() or the queue would pass its
  // 32-bit size; nothing is queued then. On a closed link the message is queued and
  // its write ends quietly. Before set_socket the message waits in the queue.
  void async_send_message(const google::protobuf::MessageLite& message);

  // True when a stream is set and its (underlying) socket holds a descriptor.
  bool is_open() const noexcept { return socket_ && socket_->lowest_layer().is_open(); }

  // Stops handing out frames and starting reads: frames already received wait, and
  // a read already outstanding completes into the buffer. Takes effect after the
  // current on_message when called from inside it. Calls do not nest: one
  // resume_reading undoes any number of them. Errors are still reported, and so is
  // the peer hanging up (as end of file, before the frames that wait).
  void pause_reading() noexcept { paused_ = true; }
  // Hands out the frames received meanwhile, in order, then reads on. The frames
  // follow from the event loop, never from inside this call, so that a job callback,
  // a send notice or on_message may call it. Nothing follows on a closed link or one
  // whose reading has ended.
  void resume_reading();
  bool reading_paused() const noexcept { return paused_; }
  // Bytes queued and not yet written out: the pending frames and the write in flight.
  std::uint64_t queued_send_bytes() const noexcept {
    return std::uint64_t{pending_buffer_.size()} + in_flight_buffer_.size();
  }

  std::uint32_t limit() const noexcept { return limit_; }
  const std::shared_ptr<stream_type>& socket() const noexcept { return socket_; }

 protected:
  // `limit`: the largest body accepted and sent, fixed for the link's life.
  // REQUIRES: 0 < limit <= INT_MAX (the protobuf parser takes int sizes).
  explicit cf_basic_ipc_link_t(std::uint32_t limit) noexcept : limit_(limit) {
    BOOST_ASSERT(limit > 0 && limit <= static_cast<std::uint32_t>(INT_MAX));
  }

  // Gives the link its connected stream. Call before read_header.
  void set_socket(std::shared_ptr<stream_type> socket) noexcept { socket_ = std::move(socket); }

  // Starts the read loop. Call exactly once, after set_socket; from then on one read
  // is outstanding until on_error, a refused size or a closed link ends the loop.
  void read_header() {
    BOOST_ASSERT(socket_);
    deliver();
  }

  // One received body, yielded as one block; valid only during the call. The link
  // goes on with the next frame after the call unless the call closed it.
  virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
  // An I/O error (end of file included: boost::asio::error::eof) or a refused
  // frame size (EC_BAD_MESSAGE_SIZE). Reading has stopped; the socket is still open.
  virtual void on_error(const boost::system::error_code& code) = 0;
  // The owning shared pointer, from the derived class's enable_shared_from_this.
  virtual std::shared_ptr<cf_basic_ipc_link_t> shared_this() = 0;
  // A write of everything queued starts.
  virtual void on_send_begin() {}
  // That write has completed.
  virtual void on_sent() {}
  // Everything queued has been written.
  virtual void on_send_idle() {}

 private:
  // Small frames arrive many to one read; a frame longer than this is read up to its
  // end and no further, so its body is never moved once received.
  static constexpr std::uint32_t read_ahead = 64 * 1024;
  // Unread bytes up to this many are moved to the front of the buffer before a read.
  static constexpr std::uint32_t compact_limit = 4 * 1024;

  void start_read();
  void on_read(const boost::system::error_code& code, std::size_t count);
  // Hands out every complete frame received, then reads on; stops early while paused.
  void deliver();
  // The posted half of resume_reading.
  void continue_reading();
  // Keeps a wait on the socket outstanding, which holds the link while no read does.
  void hold_while_parked();
  void on_hold(const boost::system::error_code& code);
  void send_next();
  void on_write(const boost::system::error_code& code);
  void handle_io_error(const boost::system::error_code& code);

  // Constant after construction.
  const std::uint32_t limit_;
  // Event loop only.
  std::shared_ptr<stream_type> socket_;
  // Received bytes not yet handed out are read_buffer_[read_begin_, read_end_).
  cf_ipc_buffer_t read_buffer_;
  std::uint32_t read_begin_ = 0;
  std::uint32_t read_end_ = 0;
  bool paused_ = false;
  // The frame loop stopped for a pause and waits for resume_reading to go on.
  bool parked_ = false;
  bool resume_posted_ = false;
  // A wait is outstanding; it ends when the socket is closed (or reports a condition).
  bool hold_armed_ = false;
  cf_ipc_buffer_t pending_buffer_;
  // Non-empty exactly while a write is outstanding (and after a failed write).
  cf_ipc_buffer_t in_flight_buffer_;
};

using cf_local_ipc_link_t = cf_basic_ipc_link_t<cf_local_socket_t>;
using cf_tcp_ipc_link_t = cf_basic_ipc_link_t<cf_tcp_socket_t>;
using cf_ssl_ipc_link_t = cf_basic_ipc_link_t<cf_ssl_stream_t>;

// The three links are compiled once, in basic_ipc_link.cpp.
extern template class cf_basic_ipc_link_t<cf_local_socket_t>;
extern template class cf_basic_ipc_link_t<cf_tcp_socket_t>;
extern template class cf_basic_ipc_link_t<cf_ssl_stream_t>;

// ---------------------------------------------------------------------------
// Reading

template <class Stream>
void cf_basic_ipc_link_t<Stream>::start_read() {
  std::uint32_t unread = read_end_ - read_begin_;
  if (unread == 0) {
    read_begin_ = read_end_ = 0;
  } else if (read_begin_ > 0 && unread <= compact_limit) {
    std::memmove(read_buffer_.data(), read_buffer_.data() + read_begin_, unread);
    read_begin_ = 0;
    read_end_ = unread;
  }
  // The frame at read_begin_ needs its header, then its body (deliver has checked
  // the length against limit_, so the sum stays far below 2^32).
  std::uint32_t frame_end = read_begin_ + header_size;
  if (unread >= header_size) {
    std::uint32_t length;
    std::memcpy(&length, read_buffer_.data() + read_begin_, header_size);
    frame_end += length;
  }
  // Looking further ahead only from the front keeps the buffer at most one frame
  // plus the look-ahead long.
  const std::uint32_t room_end = read_begin_ == 0 ? std::max(frame_end, read_ahead) : frame_end;
  read_buffer_.resize(room_end, false);
  // Completes as soon as some bytes have come; deliver cuts the frames out.
  socket_->async_read_some(
      boost::asio::buffer(read_buffer_.data() + read_end_, room_end - read_end_),
      [self = shared_this()](const boost::system::error_code& code, std::size_t count) {
        self->on_read(code, count);
      });
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::on_read(const boost::system::error_code& code,
                                          std::size_t count) {
  // Our owner closed the link: nothing is reported and nothing re-armed.
  if (!is_open()) return;
  if (code) {
    handle_io_error(code);
    return;
  }
  read_end_ += static_cast<std::uint32_t>(count);
  deliver();
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::deliver() {
  for (;;) {
    if (paused_) {
      parked_ = true;
      hold_while_parked();
      return;
    }
    const std::uint32_t unread = read_end_ - read_begin_;
    if (unread < header_size) break;
    std::uint32_t length;
    std::memcpy(&length, read_buffer_.data() + read_begin_, header_size);
    if (length == 0 || length > limit_) {
      handle_io_error(make_error_code(vl::EC_BAD_MESSAGE_SIZE));
      return;
    }
    if (unread - header_size < length) break;
    const std::uint32_t body = read_begin_ + header_size;
    read_begin_ = body + length;
    {
      // The parser reads the body where it landed, as one block (limit <= INT_MAX).
      google::protobuf::io::ArrayInputStream stream(read_buffer_.data() + body,
                                                    static_cast<int>(length));
      on_message(stream);
    }
    // on_message may have closed the link, which ends the loop.
    if (!is_open()) return;
  }
  start_read();
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::resume_reading() {
  if (!paused_) return;
  paused_ = false;
  // Otherwise an outstanding read, or the frame loop that called us, goes on by itself.
  if (!parked_ || resume_posted_ || !is_open()) return;
  resume_posted_ = true;
  boost::asio::post(socket_->get_executor(), [self = shared_this()] { self->continue_reading(); });
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::continue_reading() {
  resume_posted_ = false;
  // Closed meanwhile: dropped quietly, as a completion would be. Paused again: the
  // next resume_reading comes back here.
  if (!is_open() || paused_) return;
  parked_ = false;
  deliver();
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::hold_while_parked() {
  // One wait serves every pause: a wait cannot be cancelled alone (that would cancel
  // the write too), so it stays until the socket is closed or reports something.
  if (hold_armed_) return;
  hold_armed_ = true;
  socket_->lowest_layer().async_wait(
      boost::asio::socket_base::wait_error,
      [self = shared_this()](const boost::system::error_code& code) { self->on_hold(code); });
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::on_hold(const boost::system::error_code& code) {
  hold_armed_ = false;
  // Our owner closed the link (it goes with its last operation), or reading resumed.
  if (!is_open() || code || !parked_) return;
  const int fd = socket_->lowest_layer().native_handle();
  pollfd state{fd, 0, 0};
  if (::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR)) != 0) {
    // The peer is gone: nothing read from now on could be answered, so the owner
    // hears of it now rather than once the waiting frames are handed out.
    boost::system::error_code error = boost::asio::error::eof;
    int failure = 0;
    socklen_t size = sizeof failure;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) == 0 && failure != 0) {
      error.assign(failure, boost::system::system_category());
    }
    // Reading has ended: a later resume_reading finds nothing to go on with.
    parked_ = false;
    handle_io_error(error);
    return;
  }
  // Urgent data: it waits with the rest.
  hold_while_parked();
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::handle_io_error(const boost::system::error_code& code) {
  // What pending operations get when the derived class closes the socket.
  if (code == boost::asio::error::operation_aborted) return;
  on_error(code);
}

// ---------------------------------------------------------------------------
// Sending

template <class Stream>
void cf_basic_ipc_link_t<Stream>::async_send_message(const google::protobuf::MessageLite& message) {
  const std::size_t length = message.ByteSizeLong();
  // A peer that stops reading lets the queue grow; refuse before its size wraps.
  if (length > limit_ || !pending_buffer_.can_append(std::uint64_t{header_size} + length)) {
    throw_error(vl::EC_BAD_MESSAGE_SIZE, "async_send_message");
  }
  const std::uint32_t old_size = pending_buffer_.size();
  const std::uint32_t body_length = static_cast<std::uint32_t>(length);
  pending_buffer_.resize(old_size + header_size + body_length, false);
  std::uint8_t* frame = pending_buffer_.data() + old_size;
  std::memcpy(frame, &body_length, header_size);
  // The sizes ByteSizeLong cached are used; the message is not measured again.
  message.SerializeWithCachedSizesToArray(frame + header_size);
  send_next();
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::send_next() {
  // The running write's completion comes back here.
  if (!in_flight_buffer_.empty()) return;
  if (pending_buffer_.empty()) {
    on_send_idle();
    return;
  }
  // Nothing to write to yet; the queue leaves with the first send after set_socket.
  if (!socket_) return;
  // The two buffers alternate, so neither is allocated again once grown.
  in_flight_buffer_.swap(pending_buffer_);
  on_send_begin();
  boost::asio::async_write(*socket_,
                           boost::asio::buffer(in_flight_buffer_.data(), in_flight_buffer_.size()),
                           [self = shared_this()](const boost::system::error_code& code,
                                                  std::size_t) { self->on_write(code); });
}

template <class Stream>
void cf_basic_ipc_link_t<Stream>::on_write(const boost::system::error_code& code) {
  // Our owner closed the link: nothing is reported.
  if (!is_open()) return;
  if (code) {
    // in_flight_buffer_ stays non-empty, so nothing more is written on this link.
    handle_io_error(code);
    return;
  }
  in_flight_buffer_.resize(0, true);
  on_sent();
  send_next();
}
