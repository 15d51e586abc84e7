// link_end_t: the far end of one message link, for tests: speaks through the
// daemon's own link with the limit its derived end gives, keeps every `In` message
// that arrives and notes when the link ends. Runs on the caller's event loop,
// which the test drives with run_until. The client, peer and peer server ends
// derive from it and add the verbs of their protocol.
//
// Held by shared pointers (the test's and the outstanding reads and writes);
// close() ends it. Event loop only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/write.hpp>

#include "framework/basic_ipc_link.h"

template <class Link, class In>
class link_end_t : public Link, public std::enable_shared_from_this<link_end_t<Link, In>> {
 public:
  // Starts an `End` (this class or one derived) reading on a connected stream.
  template <class End = link_end_t>
  static std::shared_ptr<End> open(std::shared_ptr<typename Link::stream_type> stream,
                                   std::uint32_t limit = kIpcLinkLimit) {
    std::shared_ptr<End> end(new End(limit));
    end->set_socket(std::move(stream));
    end->read_header();
    return end;
  }

  template <class Message>
  void send(const Message& message) {
    this->async_send_message(message);
  }
  // Bytes as they are, framed or not; written at once.
  void send_raw(const std::string& bytes) {
    boost::asio::write(*this->socket(), boost::asio::buffer(bytes));
  }
  void close() {
    boost::system::error_code ignored;
    this->socket()->lowest_layer().close(ignored);
  }

  std::deque<In> messages;
  // The other end closed the link (or an error ended it).
  bool ended = false;
  // Called with each message once it is kept, and with what ended the link.
  std::function<void(const In&)> on_each;
  std::function<void(const boost::system::error_code&)> on_end;

 protected:
  explicit link_end_t(std::uint32_t limit) : Link(limit) {}

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    In message;
    EXPECT_TRUE(message.ParseFromZeroCopyStream(&body));
    messages.push_back(std::move(message));
    if (on_each) on_each(messages.back());
  }
  void on_error(const boost::system::error_code& error) override {
    ended = true;
    if (on_end) on_end(error);
  }
  std::shared_ptr<Link> shared_this() override { return this->shared_from_this(); }
};
