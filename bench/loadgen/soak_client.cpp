#include "bench/loadgen/soak_client.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <boost/asio/post.hpp>

soak_image_t make_soak_image(std::uint64_t size, std::uint32_t chunk_size) {
  soak_image_t image;
  image.file = make_file_image(size, chunk_size);
  image.messages = make_data_messages(*image.file);
  return image;
}

int latency_histogram_t::bucket(double us) {
  if (!(us > 1)) return 0;
  const int index = static_cast<int>(std::log2(us) * 8);
  return std::min(index, kBuckets - 1);
}

double latency_histogram_t::upper_us(int index) {
  return std::exp2((index + 1) / 8.0);
}

std::shared_ptr<soak_client_t> soak_client_t::connect(boost::asio::io_context& io,
                                                      const soak_plan_t& plan, soak_slot_t& slot,
                                                      soak_counters_t& counters) {
  std::shared_ptr<soak_client_t> client(new soak_client_t(io, plan, slot, counters));
  client->open(io, plan.socket_path, slot.flow_control);
  ++slot.connections;
  counters.connections_opened.fetch_add(1, std::memory_order_relaxed);
  counters.connections_open.fetch_add(1, std::memory_order_relaxed);
  // Without flow control nothing is waited for; the first file follows once the
  // event loop runs.
  if (!slot.flow_control) {
    client->may_start_ = true;
    boost::asio::post(io, [client] { client->fill(); });
  }
  return client;
}

soak_client_t::soak_client_t(boost::asio::io_context& io, const soak_plan_t& plan,
                             soak_slot_t& slot, soak_counters_t& counters)
    : io_(io), plan_(plan), slot_(slot), counters_(counters) {
  for (const soak_image_t& image : plan_.images) data_messages_.push_back(image.messages);
  scan_message_.set_tag(bk::ClientMessage::SCAN_REQUEST);
}

// ---------------------------------------------------------------------------
// Files

void soak_client_t::fill() {
  while (!done_ && !closing_ && sending_ == 0) {
    if (!may_start_) return;
    if (!retiring_ && (std::chrono::steady_clock::now() >= plan_.deadline ||
                       (plan_.reconnect_after != 0 && files_started_ >= plan_.reconnect_after))) {
      retiring_ = true;
    }
    if (retiring_) {
      if (jobs_.empty()) end_connection();
      return;
    }
    if (jobs_.size() >= slot_.depth) return;
    start_file();
  }
}

void soak_client_t::start_file() {
  std::uniform_real_distribution<double> chance(0, 1);
  std::mt19937_64& random = slot_.random;
  job_t job;
  const bool large = plan_.images.size() > 1 && chance(random) < plan_.large_share;
  if (large) {
    std::uniform_int_distribution<std::size_t> pick(1, plan_.images.size() - 1);
    job.image = pick(random);
  }
  job.read_back =
      chance(random) < (large ? plan_.large_read_back_share : plan_.small_read_back_share);
  const double digest = chance(random);
  if (digest < plan_.both_share) {
    job.sha1 = job.sha256 = true;
  } else if (digest < plan_.both_share + plan_.sha1_share) {
    job.sha1 = true;
  } else if (digest < plan_.both_share + plan_.sha1_share + plan_.sha256_share) {
    job.sha256 = true;
  }
  job.begin = std::chrono::steady_clock::now();

  // Job ids run from 1 and wrap far beyond any open job.
  if (++next_job_id_ == 0) next_job_id_ = 1;
  const std::uint32_t job_id = next_job_id_;
  jobs_.emplace(job_id, job);
  sending_ = job_id;
  ++files_started_;
  counters_.open_jobs.fetch_add(1, std::memory_order_relaxed);
  counters_.jobs_opened.fetch_add(1, std::memory_order_relaxed);
  bk::ClientMessage init;
  init.set_tag(bk::ClientMessage::INIT);
  init.set_job_id(job_id);
  async_send_message(init);
  data_messages_[job.image].set_job_id(job_id);
  pump();
}

void soak_client_t::pump() {
  if (done_ || sending_ == 0) return;
  job_t& job = jobs_.at(sending_);
  if (!queue_data(data_messages_[job.image], *plan_.images[job.image].file, job.sent,
                  slot_.flow_control)) {
    return;
  }
  scan_message_.set_job_id(sending_);
  bk::ScanOptions& options = *scan_message_.mutable_scan_options();
  options.clear_threat_hash();
  if (job.sha1) options.add_threat_hash(bk::SHA1);
  if (job.sha256) options.add_threat_hash(bk::SHA256);
  async_send_message(scan_message_);
  job.scan_sent = true;
  sending_ = 0;
}

void soak_client_t::on_scan_response(const bk::ServerMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end() || !found->second.scan_sent || found->second.answered) {
    fail("unexpected SCAN_RESPONSE for job " + std::to_string(message.job_id()));
    return;
  }
  job_t& job = found->second;
  const file_image_t& file = *plan_.images[job.image].file;
  const vl::ScanReport& report = message.scan_report();
  if (report.has_error() || report.virus_size() > 0 || report.size() != file.size) {
    fail("job " + std::to_string(message.job_id()) + " of " + std::to_string(file.size) +
         " bytes: report with error " + std::to_string(report.error()) + ", " +
         std::to_string(report.virus_size()) + " threat(s), size " + std::to_string(report.size()));
    return;
  }
  if ((job.sha1 && message.sha1() != file.sha1) ||
      (job.sha256 && message.sha256() != file.sha256)) {
    fail("job " + std::to_string(message.job_id()) + " of " + std::to_string(file.size) +
         " bytes: wrong digest \"" + message.sha1() + "\" \"" + message.sha256() + "\"");
    return;
  }
  if (job.sha1 || job.sha256) counters_.digest_checks.fetch_add(1, std::memory_order_relaxed);
  job.answered = true;
  if (job.image == 0) {
    counters_.small_latency.add(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - job.begin)
            .count());
  }
  if (!job.read_back) {
    finish_file(found->first, job);
    return;
  }
  bk::ClientMessage request;
  request.set_tag(bk::ClientMessage::GET_DATA_REQUEST);
  request.set_job_id(found->first);
  async_send_message(request);
}

void soak_client_t::on_get_data_response(const bk::ServerMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end() || !found->second.answered || !found->second.read_back ||
      found->second.size_known ||
      message.data_size() != plan_.images[found->second.image].file->size) {
    fail("unexpected GET_DATA_RESPONSE of " + std::to_string(message.data_size()) +
         " bytes for job " + std::to_string(message.job_id()));
    return;
  }
  found->second.size_known = true;
  found->second.expected_back = message.data_size();
}

void soak_client_t::on_data_chunk(const bk::ServerMessage& message) {
  const auto found = jobs_.find(message.job_id());
  const std::string& data = message.data();
  if (found == jobs_.end() || !found->second.size_known ||
      found->second.received_back + data.size() > found->second.expected_back) {
    fail("unexpected DATA_CHUNK of " + std::to_string(data.size()) + " bytes for job " +
         std::to_string(message.job_id()));
    return;
  }
  job_t& job = found->second;
  std::uint64_t differs_near = 0;
  if (!matches_image(*plan_.images[job.image].file, job.received_back, data, differs_near)) {
    fail("read-back data of job " + std::to_string(message.job_id()) + " differs near byte " +
         std::to_string(differs_near));
    return;
  }
  job.received_back += data.size();
  if (job.received_back == job.expected_back) {
    counters_.read_back_files.fetch_add(1, std::memory_order_relaxed);
    counters_.read_back_bytes.fetch_add(job.received_back, std::memory_order_relaxed);
    finish_file(found->first, job);
  }
}

void soak_client_t::finish_file(std::uint32_t job_id, job_t& job) {
  bk::ClientMessage reset;
  reset.set_tag(bk::ClientMessage::RESET);
  reset.set_job_id(job_id);
  async_send_message(reset);
  const std::uint64_t size = plan_.images[job.image].file->size;
  counters_.files.fetch_add(1, std::memory_order_relaxed);
  counters_.file_bytes.fetch_add(size, std::memory_order_relaxed);
  if (job.image != 0) counters_.large_files.fetch_add(1, std::memory_order_relaxed);
  if (!slot_.flow_control) counters_.flowless_files.fetch_add(1, std::memory_order_relaxed);
  counters_.open_jobs.fetch_sub(1, std::memory_order_relaxed);
  ++slot_.files;
  jobs_.erase(job_id);
  fill();
}

void soak_client_t::end_connection() {
  closing_ = true;
  // The last RESET leaves before the socket closes: on_send_idle closes it.
  if (queued_send_bytes() == 0) on_send_idle();
}

void soak_client_t::fail(const std::string& text) {
  if (done_) return;
  done_ = true;
  slot_.error = "connection " + std::to_string(slot_.index) + ": " + text;
  slot_.left_open = jobs_.size();
  counters_.faults.fetch_add(1, std::memory_order_relaxed);
  counters_.slots_ended.fetch_add(1, std::memory_order_relaxed);
  counters_.connections_open.fetch_sub(1, std::memory_order_relaxed);
  boost::system::error_code ignored;
  socket()->close(ignored);
}

// ---------------------------------------------------------------------------
// Link

void soak_client_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  // Closed (after a fault or at its end): what the server sent before is of no account.
  if (done_) return;
  bench_client_t::on_message(body);
}

void soak_client_t::on_adjust_window(const bk::ServerMessage& message) {
  if (!slot_.flow_control) {
    fail("ADJUST_WINDOW on a connection without flow control");
    return;
  }
  window_ += message.window_change();
  may_start_ = true;
  pump();
  fill();
}

void soak_client_t::on_error(const boost::system::error_code& code) {
  // The server closes the connection only on a fault of ours or its own.
  fail("connection lost: " + code.message() + " (" + std::to_string(jobs_.size()) +
       " job(s) open)");
}

void soak_client_t::on_send_idle() {
  queued_ = 0;
  if (done_) return;
  if (!closing_) {
    pump();
    fill();
    return;
  }
  // Everything, the last RESET included, has been written.
  done_ = true;
  counters_.connections_open.fetch_sub(1, std::memory_order_relaxed);
  boost::system::error_code ignored;
  socket()->close(ignored);
  if (std::chrono::steady_clock::now() < plan_.deadline) {
    try {
      connect(io_, plan_, slot_, counters_);
    } catch (const std::exception& e) {
      slot_.error = "connection " + std::to_string(slot_.index) + ": reconnect: " + e.what();
      counters_.faults.fetch_add(1, std::memory_order_relaxed);
      counters_.slots_ended.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }
  slot_.finished = true;
  counters_.slots_ended.fetch_add(1, std::memory_order_relaxed);
}
