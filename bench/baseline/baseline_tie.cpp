#include "bench/baseline/baseline_tie.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "core/hash_values.h"
#include "framework/fd_io.h"
#include "jobs/client_protocol.h"

namespace {

// Names the spool files of every connection of the process.
std::uint64_t file_counter = 0;

}  // namespace

std::shared_ptr<baseline_tie_t> baseline_tie_t::create(const std::string& spool_dir) {
  return std::shared_ptr<baseline_tie_t>(new baseline_tie_t(spool_dir));
}

baseline_tie_t::baseline_tie_t(const std::string& spool_dir)
    : cf_local_ipc_link_t(kClientMessageMaxSize), spool_dir_(spool_dir) {}

baseline_tie_t::~baseline_tie_t() {
  for (auto& entry : jobs_) close_job(entry.second);
}

void baseline_tie_t::start(std::shared_ptr<cf_local_socket_t> socket) {
  set_socket(std::move(socket));
  read_header();
}

void baseline_tie_t::close() {
  boost::system::error_code ignored;
  if (socket()) socket()->close(ignored);
}

void baseline_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  bk::ClientMessage message;
  try {
    if (!message.ParseFromZeroCopyStream(&body)) throw std::runtime_error("bad message");
    check_required_fields(message);
    if (message.tag() != bk::ClientMessage::HELLO && !hello_) {
      throw std::runtime_error("not identified");
    }
    switch (message.tag()) {
      case bk::ClientMessage::HELLO:
        on_hello(message);
        return;
      case bk::ClientMessage::INIT:
        on_init(message);
        return;
      case bk::ClientMessage::DATA_CHUNK:
        on_data_chunk(message);
        return;
      case bk::ClientMessage::SCAN_REQUEST:
        on_scan_request(message);
        return;
      case bk::ClientMessage::GET_DATA_REQUEST:
        on_get_data_request(message);
        return;
      case bk::ClientMessage::RESET:
        on_reset(message);
        return;
    }
  } catch (const std::exception& e) {
    std::cerr << "bench-baseline: " << e.what() << std::endl;
    close();
  }
}

void baseline_tie_t::on_error(const boost::system::error_code& code) {
  // End of file is how a client leaves.
  if (code != boost::asio::error::eof) std::cerr << "bench-baseline: " << code.message() << "\n";
  close();
}

void baseline_tie_t::on_hello(const bk::ClientMessage& message) {
  if (hello_) throw std::runtime_error("second HELLO");
  hello_ = true;
  flow_control_ = message.flow_control();
  if (flow_control_) grant(kClientInitialWindow);
}

void baseline_tie_t::on_init(const bk::ClientMessage& message) {
  if (jobs_.count(message.job_id())) {
    send_alarm(message.job_id(), "job identifier in use");
    return;
  }
  job_t job;
  job.path = spool_dir_ + "/" + std::to_string(::getpid()) + "-" + std::to_string(++file_counter);
  job.fd = ::open(job.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (job.fd < 0) {
    send_alarm(message.job_id(), job.path + ": " + std::strerror(errno));
    return;
  }
  jobs_.emplace(message.job_id(), std::move(job));
}

void baseline_tie_t::on_data_chunk(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found != jobs_.end()) {
    job_t& job = found->second;
    boost::system::error_code error;
    write_all(job.fd, message.data().data(), message.data().size(), error);
    if (error) {
      send_alarm(message.job_id(), job.path + ": " + error.message());
      close_job(job);
      jobs_.erase(found);
    } else {
      job.size += message.data().size();
    }
  }
  grant(message.data().size());
}

void baseline_tie_t::on_scan_request(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  const job_t& job = found->second;
  bk::ServerMessage answer;
  answer.set_tag(bk::ServerMessage::SCAN_RESPONSE);
  answer.set_job_id(message.job_id());
  answer.mutable_scan_report()->set_object(job.path);
  answer.mutable_scan_report()->set_size(job.size);

  bool sha1 = false, sha256 = false;
  for (const int hash : message.scan_options().threat_hash()) {
    sha1 |= hash == bk::SHA1;
    sha256 |= hash == bk::SHA256;
  }
  if (sha1 || sha256) {
    // One pass over the file feeds both digests.
    EVP_MD_CTX* contexts[2] = {EVP_MD_CTX_new(), EVP_MD_CTX_new()};
    EVP_DigestInit_ex(contexts[0], EVP_sha1(), nullptr);
    EVP_DigestInit_ex(contexts[1], EVP_sha256(), nullptr);
    std::string block(1024 * 1024, '\0');
    for (std::uint64_t offset = 0; offset < job.size;) {
      const ssize_t got = ::pread(job.fd, &block[0], block.size(), static_cast<off_t>(offset));
      if (got <= 0) break;
      if (sha1) EVP_DigestUpdate(contexts[0], block.data(), static_cast<std::size_t>(got));
      if (sha256) EVP_DigestUpdate(contexts[1], block.data(), static_cast<std::size_t>(got));
      offset += static_cast<std::uint64_t>(got);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (sha1) {
      EVP_DigestFinal_ex(contexts[0], digest, &length);
      answer.set_sha1(digest_text(digest, length));
    }
    if (sha256) {
      EVP_DigestFinal_ex(contexts[1], digest, &length);
      answer.set_sha256(digest_text(digest, length));
    }
    EVP_MD_CTX_free(contexts[0]);
    EVP_MD_CTX_free(contexts[1]);
  }
  async_send_message(answer);
}

void baseline_tie_t::on_get_data_request(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  job_t& job = found->second;
  if (job.reading) {
    send_alarm(message.job_id(), "Previous GET_DATA request is not finished");
    return;
  }
  bk::ServerMessage answer;
  answer.set_tag(bk::ServerMessage::GET_DATA_RESPONSE);
  answer.set_job_id(message.job_id());
  answer.set_data_size(job.size);
  async_send_message(answer);
  job.reading = job.size > 0;
  job.offset = 0;
  // The first chunk leaves when the answer has been written (on_send_idle).
}

void baseline_tie_t::on_reset(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  close_job(found->second);
  jobs_.erase(found);
}

void baseline_tie_t::send_next_chunks() {
  if (!is_open()) return;
  bk::ServerMessage chunk;
  chunk.set_tag(bk::ServerMessage::DATA_CHUNK);
  for (auto& entry : jobs_) {
    job_t& job = entry.second;
    if (!job.reading) continue;
    const std::uint64_t length = std::min<std::uint64_t>(kLocalReadChunk, job.size - job.offset);
    std::string& data = *chunk.mutable_data();
    data.resize(length);
    const ssize_t got = ::pread(job.fd, &data[0], length, static_cast<off_t>(job.offset));
    if (got != static_cast<ssize_t>(length)) {
      job.reading = false;
      send_alarm(entry.first, job.path + ": short read");
      continue;
    }
    chunk.set_job_id(entry.first);
    async_send_message(chunk);
    job.offset += length;
    job.reading = job.offset < job.size;
  }
}

void baseline_tie_t::send_alarm(std::uint32_t job_id, const std::string& what) {
  bk::ServerMessage alarm;
  alarm.set_tag(bk::ServerMessage::ALARM);
  alarm.set_job_id(job_id);
  alarm.mutable_error()->set_code(vl::EC_INVALID_ARGUMENT);
  alarm.mutable_error()->set_what(what);
  async_send_message(alarm);
}

void baseline_tie_t::grant(std::uint64_t bytes) {
  credit_ += bytes;
  if (!flow_control_ || credit_ <= kClientGrantThreshold || !is_open()) return;
  bk::ServerMessage adjust;
  adjust.set_tag(bk::ServerMessage::ADJUST_WINDOW);
  adjust.set_window_change(static_cast<std::int32_t>(credit_));
  async_send_message(adjust);
  credit_ = 0;
}

void baseline_tie_t::close_job(job_t& job) {
  if (job.fd < 0) return;
  ::close(job.fd);
  ::unlink(job.path.c_str());
  job.fd = -1;
}
