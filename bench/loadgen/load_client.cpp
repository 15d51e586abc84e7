#include "bench/loadgen/load_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "jobs/client_protocol.h"

namespace {

// Data queued per write at most (or one chunk when that is larger): enough to keep
// the socket full, little enough not to pile the file up in the send queue.
constexpr std::uint64_t kQueueBudget = 512 * 1024;

}  // namespace

std::shared_ptr<load_client_t> load_client_t::connect(boost::asio::io_context& io,
                                                      const std::string& socket_path,
                                                      const workload_t& workload,
                                                      connection_result_t& result) {
  std::shared_ptr<load_client_t> client(new load_client_t(workload, result));
  auto socket = std::make_shared<cf_local_socket_t>(io);
  socket->connect(boost::asio::local::stream_protocol::endpoint(socket_path));
  client->set_socket(std::move(socket));
  client->read_header();

  bk::ClientMessage hello;
  hello.set_tag(bk::ClientMessage::HELLO);
  hello.set_origin(vl::APP_CONSOLE_SCANNER);
  hello.set_origin_pid(static_cast<std::uint32_t>(::getpid()));
  hello.set_flow_control(true);
  client->async_send_message(hello);
  return client;
}

load_client_t::load_client_t(const workload_t& workload, connection_result_t& result)
    : cf_local_ipc_link_t(kIpcLinkLimit), workload_(workload), result_(result) {
  const file_image_t& file = *workload_.file;
  chunk_message_.set_tag(bk::ClientMessage::DATA_CHUNK);
  chunk_message_.set_data(file.chunk);
  const std::uint64_t tail = file.size % file.chunk.size();
  if (tail != 0) {
    tail_message_.set_tag(bk::ClientMessage::DATA_CHUNK);
    tail_message_.set_data(file.chunk.substr(0, tail));
  }
  scan_message_.set_tag(bk::ClientMessage::SCAN_REQUEST);
  bk::ScanOptions& options = *scan_message_.mutable_scan_options();
  for (const bk::HashType hash : workload_.hashes) options.add_threat_hash(hash);
}

int load_client_t::peer_pid() const {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(const_cast<cf_local_socket_t&>(*socket()).native_handle(), SOL_SOCKET,
                   SO_PEERCRED, &credentials, &length) != 0) {
    return -1;
  }
  return credentials.pid;
}

void load_client_t::start(bench_clock::time_point deadline) {
  deadline_ = deadline;
  started_ = true;
  // The initial window may have come already.
  if (window_ > 0) start_file();
}

// ---------------------------------------------------------------------------
// One file

void load_client_t::start_file() {
  ++job_id_;
  file_begin_ = bench_clock::now();
  sent_ = 0;
  scan_sent_ = false;
  reading_back_ = false;
  bk::ClientMessage init;
  init.set_tag(bk::ClientMessage::INIT);
  init.set_job_id(job_id_);
  async_send_message(init);
  chunk_message_.set_job_id(job_id_);
  tail_message_.set_job_id(job_id_);
  scan_message_.set_job_id(job_id_);
  pump();
}

void load_client_t::pump() {
  if (done_ || !started_ || scan_sent_) return;
  const file_image_t& file = *workload_.file;
  const std::uint64_t budget = std::max<std::uint64_t>(kQueueBudget, file.chunk.size());
  while (sent_ < file.size && queued_ < budget) {
    const std::uint64_t left = file.size - sent_;
    const bool whole = left >= file.chunk.size();
    const std::uint64_t length = whole ? file.chunk.size() : left;
    // The window is the client's to keep; wait for the next ADJUST_WINDOW.
    if (window_ < static_cast<std::int64_t>(length)) return;
    async_send_message(whole ? chunk_message_ : tail_message_);
    window_ -= static_cast<std::int64_t>(length);
    sent_ += length;
    queued_ += length;
  }
  if (sent_ < file.size) return;
  scan_sent_ = true;
  async_send_message(scan_message_);
}

void load_client_t::on_scan_response(const bk::ServerMessage& message) {
  if (!scan_sent_ || reading_back_ || message.job_id() != job_id_) {
    fail("unexpected SCAN_RESPONSE for job " + std::to_string(message.job_id()));
    return;
  }
  const file_image_t& file = *workload_.file;
  for (const bk::HashType hash : workload_.hashes) {
    const bool sha1 = hash == bk::SHA1;
    const std::string& got = sha1 ? message.sha1() : message.sha256();
    if (got != (sha1 ? file.sha1 : file.sha256)) {
      fail(std::string("wrong ") + (sha1 ? "SHA-1" : "SHA-256") + " \"" + got + "\"");
      return;
    }
  }
  result_.latencies_us.push_back(
      std::chrono::duration<double, std::micro>(bench_clock::now() - file_begin_).count());
  if (!workload_.read_back) {
    finish_file();
    return;
  }
  reading_back_ = true;
  expected_back_ = 0;
  received_back_ = 0;
  bk::ClientMessage request;
  request.set_tag(bk::ClientMessage::GET_DATA_REQUEST);
  request.set_job_id(job_id_);
  async_send_message(request);
}

void load_client_t::on_data_chunk(const bk::ServerMessage& message) {
  const std::string& data = message.data();
  const file_image_t& file = *workload_.file;
  if (!reading_back_ || message.job_id() != job_id_ ||
      received_back_ + data.size() > expected_back_) {
    fail("unexpected DATA_CHUNK of " + std::to_string(data.size()) + " bytes");
    return;
  }
  // Compares chunk-aligned pieces of the image against the data, so the check costs
  // a memcmp rather than a loop over bytes.
  std::uint64_t offset = received_back_;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t in_chunk = offset % file.chunk.size();
    const std::size_t piece = std::min(data.size() - at, file.chunk.size() - in_chunk);
    if (data.compare(at, piece, file.chunk, in_chunk, piece) != 0) {
      fail("read-back data differs near byte " + std::to_string(offset));
      return;
    }
    at += piece;
    offset += piece;
  }
  received_back_ += data.size();
  if (received_back_ == expected_back_) finish_file();
}

void load_client_t::finish_file() {
  bk::ClientMessage reset;
  reset.set_tag(bk::ClientMessage::RESET);
  reset.set_job_id(job_id_);
  async_send_message(reset);
  ++result_.files;
  result_.end = bench_clock::now();
  if (result_.end < deadline_) {
    start_file();
    return;
  }
  // The RESET still leaves when the socket is closed after the last write.
  done_ = true;
  result_.finished = true;
}

void load_client_t::fail(const std::string& text) {
  if (result_.error.empty()) result_.error = text;
  done_ = true;
  boost::system::error_code ignored;
  socket()->close(ignored);
}

// ---------------------------------------------------------------------------
// Link

void load_client_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  bk::ServerMessage message;
  if (!message.ParseFromZeroCopyStream(&body)) {
    fail("a server message that does not parse");
    return;
  }
  switch (message.tag()) {
    case bk::ServerMessage::ADJUST_WINDOW:
      window_ += message.window_change();
      if (!started_) return;
      if (job_id_ == 0) {
        start_file();
      } else {
        pump();
      }
      return;
    case bk::ServerMessage::SCAN_RESPONSE:
      on_scan_response(message);
      return;
    case bk::ServerMessage::GET_DATA_RESPONSE:
      if (!reading_back_ || message.job_id() != job_id_ ||
          message.data_size() != workload_.file->size) {
        fail("unexpected GET_DATA_RESPONSE of " + std::to_string(message.data_size()) + " bytes");
        return;
      }
      expected_back_ = message.data_size();
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

void load_client_t::on_error(const boost::system::error_code& code) {
  // The server closes the connection only on a fault of ours or its own.
  if (!done_) fail("connection: " + code.message());
  boost::system::error_code ignored;
  socket()->close(ignored);
}

void load_client_t::on_send_idle() {
  queued_ = 0;
  if (done_) {
    // Everything, the last RESET included, has been written.
    boost::system::error_code ignored;
    socket()->close(ignored);
    return;
  }
  pump();
}
