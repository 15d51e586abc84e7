#include "bench/loadgen/bench_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "jobs/client_protocol.h"

namespace {

// Data queued per write at most (or one chunk when that is larger): enough to keep
// the socket full, little enough not to pile a file up in the send queue.
constexpr std::uint64_t kQueueBudget = 512 * 1024;

}  // namespace

data_messages_t make_data_messages(const file_image_t& file) {
  data_messages_t messages;
  messages.chunk.set_tag(bk::ClientMessage::DATA_CHUNK);
  messages.chunk.set_data(file.chunk);
  const std::uint64_t tail = file.size % file.chunk.size();
  if (tail != 0) {
    messages.tail.set_tag(bk::ClientMessage::DATA_CHUNK);
    messages.tail.set_data(file.chunk.substr(0, tail));
  }
  return messages;
}

bool matches_image(const file_image_t& file, std::uint64_t offset, const std::string& data,
                   std::uint64_t& differs_near) {
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t in_chunk = offset % file.chunk.size();
    const std::size_t piece = std::min(data.size() - at, file.chunk.size() - in_chunk);
    if (data.compare(at, piece, file.chunk, in_chunk, piece) != 0) {
      differs_near = offset;
      return false;
    }
    at += piece;
    offset += piece;
  }
  return true;
}

int socket_peer_pid(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return -1;
  return credentials.pid;
}

bench_client_t::bench_client_t() : cf_local_ipc_link_t(kIpcLinkLimit) {}

int bench_client_t::peer_pid() const {
  return socket_peer_pid(const_cast<cf_local_socket_t&>(*socket()).native_handle());
}

void bench_client_t::open(boost::asio::io_context& io, const std::string& socket_path,
                          bool flow_control) {
  auto socket = std::make_shared<cf_local_socket_t>(io);
  socket->connect(boost::asio::local::stream_protocol::endpoint(socket_path));
  set_socket(std::move(socket));
  read_header();

  bk::ClientMessage hello;
  hello.set_tag(bk::ClientMessage::HELLO);
  hello.set_origin(vl::APP_CONSOLE_SCANNER);
  hello.set_origin_pid(static_cast<std::uint32_t>(::getpid()));
  hello.set_flow_control(flow_control);
  async_send_message(hello);
}

bool bench_client_t::queue_data(const data_messages_t& messages, const file_image_t& file,
                                std::uint64_t& sent, bool windowed) {
  const std::uint64_t budget = std::max<std::uint64_t>(kQueueBudget, file.chunk.size());
  while (sent < file.size && queued_ < budget) {
    const std::uint64_t left = file.size - sent;
    const bool whole = left >= file.chunk.size();
    const std::uint64_t length = whole ? file.chunk.size() : left;
    // With flow control the window is the client's to keep; wait for the next
    // ADJUST_WINDOW. Without it, only the socket (and so the daemon) holds us back.
    if (windowed && window_ < static_cast<std::int64_t>(length)) return false;
    async_send_message(whole ? messages.chunk : messages.tail);
    window_ -= static_cast<std::int64_t>(length);
    sent += length;
    queued_ += length;
  }
  return sent >= file.size;
}

void bench_client_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  bk::ServerMessage message;
  if (!message.ParseFromZeroCopyStream(&body)) {
    fail("a server message that does not parse");
    return;
  }
  switch (message.tag()) {
    case bk::ServerMessage::ADJUST_WINDOW:
      on_adjust_window(message);
      return;
    case bk::ServerMessage::SCAN_RESPONSE:
      on_scan_response(message);
      return;
    case bk::ServerMessage::GET_DATA_RESPONSE:
      on_get_data_response(message);
      return;
    case bk::ServerMessage::DATA_CHUNK:
      on_data_chunk(message);
      return;
    case bk::ServerMessage::ALARM:
      fail("ALARM for job " + std::to_string(message.job_id()) + ": " +
           std::to_string(message.error().code()) + " " + message.error().what());
      return;
  }
  fail("unknown server tag " + std::to_string(message.tag()));
}
