#include "bench/loadgen/load_client.h"

#include <string>

std::shared_ptr<load_client_t> load_client_t::connect(boost::asio::io_context& io,
                                                      const std::string& socket_path,
                                                      const workload_t& workload,
                                                      connection_result_t& result) {
  std::shared_ptr<load_client_t> client(new load_client_t(workload, result));
  client->open(io, socket_path, true);
  return client;
}

load_client_t::load_client_t(const workload_t& workload, connection_result_t& result)
    : workload_(workload), result_(result), data_messages_(make_data_messages(*workload.file)) {
  scan_message_.set_tag(bk::ClientMessage::SCAN_REQUEST);
  bk::ScanOptions& options = *scan_message_.mutable_scan_options();
  for (const bk::HashType hash : workload_.hashes) options.add_threat_hash(hash);
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
  data_messages_.set_job_id(job_id_);
  scan_message_.set_job_id(job_id_);
  pump();
}

void load_client_t::pump() {
  if (done_ || !started_ || scan_sent_) return;
  if (!queue_data(data_messages_, *workload_.file, sent_, true)) return;
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
  if (!reading_back_ || message.job_id() != job_id_ ||
      received_back_ + data.size() > expected_back_) {
    fail("unexpected DATA_CHUNK of " + std::to_string(data.size()) + " bytes");
    return;
  }
  std::uint64_t differs_near = 0;
  if (!matches_image(*workload_.file, received_back_, data, differs_near)) {
    fail("read-back data differs near byte " + std::to_string(differs_near));
    return;
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

void load_client_t::on_adjust_window(const bk::ServerMessage& message) {
  window_ += message.window_change();
  if (!started_) return;
  if (job_id_ == 0) {
    start_file();
  } else {
    pump();
  }
}

void load_client_t::on_get_data_response(const bk::ServerMessage& message) {
  if (!reading_back_ || message.job_id() != job_id_ ||
      message.data_size() != workload_.file->size) {
    fail("unexpected GET_DATA_RESPONSE of " + std::to_string(message.data_size()) + " bytes");
    return;
  }
  expected_back_ = message.data_size();
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
