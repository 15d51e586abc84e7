// The tie-out in its lifecycle: creation and HELLO, jobs and their senders, the
// server's messages, the write pacing of the resumes, the link's end.
#include "cluster/peer_tie_out.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster_inventory.h"
#include "cluster/peer_protocol.h"
#include "cluster/peer_socket.h"
#include "cluster/remote_job.h"
#include "core/hash_values.h"
#include "core/scan_report_helpers.h"
#include "core/stat_collector.h"
#include "framework/error.h"
#include "framework/exception.h"
#include "framework/job_message.h"
#include "framework/log.h"

namespace {

using client_message_t = bk::BrelClient2ServerMessage;

// Process-wide; event loop only. The first tie-out is "PeerOut 0x1".
uint32_t tie_out_counter = 0;

std::string next_tie_out_name() {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, ++tie_out_counter, 16).ptr;
  return "PeerOut 0x" + std::string(digits, end);
}

// The estimates only ever add what was sent: a peer's STATUS near the top of the
// range must not wrap them to nothing.
uint32_t saturating_add(uint32_t a, uint32_t b) {
  return b > std::numeric_limits<uint32_t>::max() - a ? std::numeric_limits<uint32_t>::max()
                                                      : a + b;
}
uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation.

std::shared_ptr<bk_peer_tie_out_t> bk_peer_tie_out_t::create(
    bk_cluster_inventory_t& inventory, std::shared_ptr<bk_peer_connection_t> connection) {
  std::shared_ptr<bk_peer_tie_out_t> tie(new bk_peer_tie_out_t(inventory, std::move(connection)));
  tie->log(kLogDebug, "Created with " + endpoint_text(tie->remote_endpoint()));
  client_message_t hello;
  hello.set_tag(client_message_t::HELLO);
  hello.set_protocol_version(kPeerProtocolVersion);
  tie->connection_->send(hello);
  return tie;
}

bk_peer_tie_out_t::bk_peer_tie_out_t(bk_cluster_inventory_t& inventory,
                                     std::shared_ptr<bk_peer_connection_t> connection)
    : inventory_(inventory), name_(next_tie_out_name()), connection_(std::move(connection)) {}

bk_peer_tie_out_t::endpoint_t bk_peer_tie_out_t::remote_endpoint() const {
  return connection_->remote_endpoint();
}

uint32_t bk_peer_tie_out_t::max_forks() const {
  return next_serial_ == 0 ? 0 : max_forks_;
}

bool bk_peer_tie_out_t::busy() const {
  // A job stays listed until its RESET_REQUEST is queued, which the peer reads
  // before any later job's first message: the peer never holds more than this.
  return jobs_.size() >= kPeerLinkJobLimit;
}

// ---------------------------------------------------------------------------
// Jobs and their senders.

std::shared_ptr<bk_job_t> bk_peer_tie_out_t::create_job(uint32_t job_id) {
  if (next_serial_ == 0) throw std::overflow_error("Serial number overflow");
  if (busy()) {
    throw cf_proto_exception_t(vl::EC_NOT_READY, "Too many open jobs on this peer link (" +
                                                     std::to_string(kPeerLinkJobLimit) + ")");
  }
  auto job =
      std::make_shared<bk_remote_job_t>(inventory_, job_id, shared_from_this(), next_serial_);
  jobs_.emplace(next_serial_, job);
  job_count_ = saturating_add(job_count_, 1u);
  ++next_serial_;
  if (next_serial_ == 0) {
    log(kLogNotice, "Serial numbers used up: no more jobs on this link");
    // Node choice is calling: the cluster learns that max_forks is 0 from the loop.
    boost::asio::post(inventory_.io_context, [weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->notify_cluster();
    });
  }
  return job;
}

void bk_peer_tie_out_t::send_data_chunk(uint32_t serial,
                                        const std::shared_ptr<const std::string>& chunk) {
  send_data_chunk(serial, chunk, 0, static_cast<uint32_t>(chunk->size()));
}

void bk_peer_tie_out_t::send_data_chunk(uint32_t serial,
                                        const std::shared_ptr<const std::string>& chunk,
                                        uint64_t offset, uint32_t size) {
  const auto found = jobs_.find(serial);
  if (found == jobs_.end()) throw std::runtime_error("PeerTieOut: Unexpected job id");
  client_message_t message =
      make_job_message<client_message_t>(client_message_t::DATA_CHUNK, serial);
  message.set_data(chunk->data() + offset, size);
  // Listed before the send: the write it joins may begin inside it.
  pending_resumes_.push_back(resume_t{found->second, size});
  try {
    connection_->send(message);
  } catch (...) {
    // Refused before anything was queued, so before any write took the entry.
    pending_resumes_.pop_back();
    throw;
  }
  bytes_in_queue_ = saturating_add(bytes_in_queue_, uint64_t{size});
  notify_cluster();
  if (const auto stats = inventory_.stat_collector)
    stats->add_peer_out_sent(remote_endpoint(), size);
}

void bk_peer_tie_out_t::send_scan_request(uint32_t serial, const bk::ScanOptions& options) {
  const auto found = jobs_.find(serial);
  if (found == jobs_.end()) throw std::runtime_error("PeerTieOut: Scan: unexpected job id");
  const std::shared_ptr<bk_remote_job_t> job = found->second.lock();
  client_message_t message =
      make_job_message<client_message_t>(client_message_t::SCAN_REQUEST, serial);
  *message.mutable_scan_options() = options;
  connection_->send(message);
  // The job has counted this request already; each one beyond the first weighs
  // like another job of its size.
  if (job && job->scan_request_count() > 1) {
    job_count_ = saturating_add(job_count_, 1u);
    bytes_in_queue_ = saturating_add(bytes_in_queue_, job->data_size());
    notify_cluster();
  }
}

void bk_peer_tie_out_t::send_get_data_request(uint32_t serial) {
  connection_->send(make_job_message<client_message_t>(client_message_t::GET_DATA_REQUEST, serial));
}

void bk_peer_tie_out_t::send_data_reset_request(uint32_t serial) {
  connection_->send(
      make_job_message<client_message_t>(client_message_t::DATA_RESET_REQUEST, serial));
}

void bk_peer_tie_out_t::send_reset_request(const bk_remote_job_t& job) {
  // The link's end resets every job on the peer; the destructor fails the rest here.
  if (!connection_->is_open()) return;
  try {
    connection_->send(
        make_job_message<client_message_t>(client_message_t::RESET_REQUEST, job.serial()));
  } catch (const std::exception& e) {
    log(kLogError, std::string("IPC: ") + exception_text(e));
  }
  const uint32_t weight = std::max<uint32_t>(job.scan_request_count(), 1);
  job_count_ = static_cast<uint32_t>(saturating_sub(job_count_, weight));
  bytes_in_queue_ =
      saturating_sub(bytes_in_queue_, job_load_bytes(job.data_size(), job.scan_request_count()));
  jobs_.erase(job.serial());
  notify_cluster();
  if (next_serial_ == 0 && jobs_.empty()) start_leave();
}

void bk_peer_tie_out_t::notify_cluster() {
  if (const auto cluster = inventory_.cluster) cluster->on_peer_out_status(shared_from_this());
}

// ---------------------------------------------------------------------------
// The server's messages.

void bk_peer_tie_out_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  // A job's driver may make the cluster let the tie-out go during a delivery.
  const std::shared_ptr<bk_peer_tie_out_t> self = shared_from_this();
  try {
    message_t message;
    if (!message.ParseFromZeroCopyStream(&body)) {
      throw boost::system::system_error(make_error_code(vl::EC_BAD_MESSAGE_FORMAT));
    }
    check_peer_server_fields(message);
    switch (message.tag()) {
      case message_t::STATUS:
        on_status(message);
        break;
      case message_t::DATA_CHUNK:
        on_data_chunk(message);
        break;
      case message_t::SCAN_RESPONSE:
        on_scan_response(message);
        break;
      case message_t::GET_DATA_RESPONSE:
        on_get_data_response(message);
        break;
      case message_t::ALARM:
        on_alarm(message);
        break;
      case message_t::DATA_CHUNK_APPENDED:
        on_data_chunk_appended(message);
        break;
      case message_t::DATA_RESET_RESPONSE:
        on_data_reset_response(message);
        break;
    }
  } catch (const std::exception& e) {
    disconnect(std::string("IPC: ") + exception_text(e));
  }
}

void bk_peer_tie_out_t::on_status(const message_t& message) {
  if (!message.has_protocol_version()) {
    throw_error(vl::EC_INVALID_ARGUMENT, "Peer protocol versions mismatch");
  }
  check_peer_protocol_version(message.protocol_version());
  const bk::BrelServerStatus& status = message.server_status();
  max_forks_ = status.max_forks();
  job_count_ = status.job_count();
  bytes_in_queue_ = status.bytes_in_queue();
  notify_cluster();
}

std::shared_ptr<bk_remote_job_t> bk_peer_tie_out_t::find_job(const message_t& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) {
    log(kLogDebug,
        "Dropped " + peer_server_tag_name(message.tag()) + " " + std::to_string(message.job_id()));
    return nullptr;
  }
  return found->second.lock();
}

void bk_peer_tie_out_t::on_data_chunk(const message_t& message) {
  if (const auto job = find_job(message))
    job->on_data_chunk(message.data().data(), message.data().size());
  if (const auto stats = inventory_.stat_collector) {
    stats->add_peer_out_received(remote_endpoint(), message.data().size());
  }
}

void bk_peer_tie_out_t::on_scan_response(const message_t& message) {
  if (const auto job = find_job(message)) {
    job->on_scan_report(message.scan_report(), bk_hash_values_t{message.sha1(), message.sha256()});
    // Still an open request: the one answered was an extra one. A job reset during
    // the answer has taken its whole load off already.
    if (job->scan_request_count() >= 1 && jobs_.count(message.job_id()) != 0) {
      job_count_ = static_cast<uint32_t>(saturating_sub(job_count_, 1));
      bytes_in_queue_ = saturating_sub(bytes_in_queue_, job->data_size());
      notify_cluster();
    }
  }
  if (const auto stats = inventory_.stat_collector) {
    stats->add_peer_out_report(remote_endpoint(), message.scan_report());
  }
}

void bk_peer_tie_out_t::on_get_data_response(const message_t& message) {
  if (const auto job = find_job(message)) job->on_data_response(message.data_size());
}

void bk_peer_tie_out_t::on_alarm(const message_t& message) {
  const auto job = find_job(message);
  if (!job) return;
  std::exception_ptr error = error_to_exception_ptr(message.error());
  // An alarm is a failure whatever code it carries: success or no code at all
  // must not let the job pass as answered.
  if (!error) {
    const std::string& what = message.error().what();
    error = std::make_exception_ptr(cf_proto_exception_t(
        vl::EC_UNEXPECTED_ERROR, what.empty() ? error_enum_name(vl::EC_UNEXPECTED_ERROR) : what));
  }
  job->on_alarm(error, message.soft());
}

void bk_peer_tie_out_t::on_data_chunk_appended(const message_t& message) {
  if (const auto job = find_job(message)) job->on_data_chunk_appended(message.data_size());
}

void bk_peer_tie_out_t::on_data_reset_response(const message_t& message) {
  if (const auto job = find_job(message)) job->on_data_reset();
}

// ---------------------------------------------------------------------------
// Write pacing: a job is resumed once the write that carried its chunk is done.

void bk_peer_tie_out_t::on_send_begin() {
  if (in_flight_resumes_.empty()) {
    in_flight_resumes_.swap(pending_resumes_);
    return;
  }
  in_flight_resumes_.insert(in_flight_resumes_.end(), pending_resumes_.begin(),
                            pending_resumes_.end());
  pending_resumes_.clear();
}

void bk_peer_tie_out_t::on_sent() {
  const std::shared_ptr<bk_peer_tie_out_t> self = shared_from_this();
  resume_jobs(in_flight_resumes_);
}

void bk_peer_tie_out_t::resume_jobs(std::vector<resume_t>& list) {
  // Chunks sent during the calls belong to the next write.
  std::vector<resume_t> entries;
  entries.swap(list);
  for (const resume_t& entry : entries) {
    if (const auto job = entry.job.lock()) job->on_resume(entry.size);
  }
}

// ---------------------------------------------------------------------------
// The link's end.

void bk_peer_tie_out_t::on_error(const boost::system::error_code& code) {
  // The peer hung up: no fault of either side.
  if (code == boost::asio::error::eof) {
    disconnect(std::string());
    return;
  }
  disconnect("Connection: " + code.message());
}

void bk_peer_tie_out_t::disconnect(const std::string& error) {
  const std::shared_ptr<bk_peer_tie_out_t> self = shared_from_this();
  connection_->close_quietly(name_);
  if (!error.empty()) log(kLogError, error);
  if (const auto cluster = inventory_.cluster) cluster->on_peer_out_disconnected(self);
}

void bk_peer_tie_out_t::start_leave() {
  if (leaving_) return;
  leaving_ = true;
  log(kLogNotice, "Serial numbers used up: the link ends with its last job");
  boost::asio::post(inventory_.io_context, [weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->disconnect(std::string());
  });
}

bk_peer_tie_out_t::~bk_peer_tie_out_t() {
  connection_->close_quietly(name_);
  try {
    // Owed resumes and the failures go through the loop, in that order: a job
    // callback may reach the cluster, which may be destroying this tie-out.
    std::vector<resume_t> resumes = std::move(in_flight_resumes_);
    resumes.insert(resumes.end(), pending_resumes_.begin(), pending_resumes_.end());
    if (!resumes.empty()) {
      boost::asio::post(inventory_.io_context, [resumes = std::move(resumes)] {
        for (const resume_t& entry : resumes) {
          if (const auto job = entry.job.lock()) job->on_resume(entry.size);
        }
      });
    }
    if (!jobs_.empty()) {
      const std::exception_ptr error =
          make_error_exception_ptr(make_error_code(vl::EC_LINK_DISCONNECTED),
                                   "Load balance server " + endpoint_text(remote_endpoint()));
      for (const auto& entry : jobs_) {
        if (entry.second.expired()) continue;
        boost::asio::post(inventory_.io_context, [job = entry.second, error] {
          if (const auto live = job.lock()) live->on_alarm(error, false);
        });
      }
    }
    log(kLogDebug, "Destroyed");
  } catch (...) {
    log_out_of_memory();
  }
}

void bk_peer_tie_out_t::log(int level, const std::string& text) const {
  if (level >= log_threshold) log_message(level, name_ + ": " + text);
}
