#include "cluster/peer_tie_in.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cluster/cluster_inventory.h"
#include "cluster/peer_protocol.h"
#include "cluster/peer_socket.h"
#include "core/hash_values.h"
#include "core/scanner.h"
#include "core/stat_collector.h"
#include "framework/error.h"
#include "framework/exception.h"
#include "framework/job_message.h"
#include "framework/log.h"
#include "jobs/client_protocol.h"
#include "jobs/local_job.h"
#include "schemas/scan_report.pb.h"

namespace {

using server_message_t = bk::BrelServer2ClientMessage;

// Each tie-in counts on from 1, process-wide.
std::string next_tie_in_name() {
  static uint32_t counter = 0;
  std::ostringstream name;
  name << "PeerIn 0x" << std::hex << ++counter;
  return name.str();
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and end

std::shared_ptr<bk_peer_tie_in_t> bk_peer_tie_in_t::create(
    bk_cluster_inventory_t& inventory, std::shared_ptr<bk_peer_connection_t> connection) {
  std::shared_ptr<bk_peer_tie_in_t> tie(new bk_peer_tie_in_t(inventory, std::move(connection)));
  tie->log(kLogDebug, "Created with " + endpoint_text(tie->remote_endpoint()));
  return tie;
}

bk_peer_tie_in_t::bk_peer_tie_in_t(bk_cluster_inventory_t& inventory,
                                   std::shared_ptr<bk_peer_connection_t> connection)
    : inventory_(inventory), connection_(std::move(connection)), name_(next_tie_in_name()) {}

bk_peer_tie_in_t::~bk_peer_tie_in_t() {
  if (connection_) connection_->close_quietly(name_);
  // In identifier order, so that no job calls back into a tie-in that is going.
  for (auto& [job_id, entry] : jobs_) {
    try {
      entry.job->reset();
    } catch (...) {
      const std::exception_ptr error = std::current_exception();
      try {
        log(kLogError,
            "RESET_REQUEST " + std::to_string(job_id) + " Error: " + exception_ptr_text(error));
      } catch (...) {
        log_out_of_memory();
      }
    }
  }
  try {
    log(kLogDebug, "Destroyed");
  } catch (...) {
    log_out_of_memory();
  }
}

bk_peer_tie_in_t::endpoint_t bk_peer_tie_in_t::remote_endpoint() const {
  return connection_->remote_endpoint();
}

void bk_peer_tie_in_t::on_error(const boost::system::error_code& code) {
  // The peer hanging up is how a link normally ends.
  if (code != boost::asio::error::eof) log(kLogError, "Connection: " + code.message());
  disconnect();
}

void bk_peer_tie_in_t::disconnect() {
  connection_->close_quietly(name_);
  leave_cluster();
}

void bk_peer_tie_in_t::leave_cluster() {
  // The cluster releases this tie-in; it goes once the call has returned.
  const std::shared_ptr<bk_peer_tie_in_t> self = shared_from_this();
  if (const std::shared_ptr<bk_cluster_t> cluster = inventory_.cluster) {
    cluster->on_peer_in_disconnected(self);
  }
}

void bk_peer_tie_in_t::disconnect_later() {
  connection_->close_quietly(name_);
  // Posted: a failing send may come from inside a job callback, a drained signal
  // or the cluster's own registration, none of which may lose the tie-in midway.
  boost::asio::post(inventory_.io_context, [weak = weak_from_this()] {
    if (const std::shared_ptr<bk_peer_tie_in_t> self = weak.lock()) self->leave_cluster();
  });
}

// ---------------------------------------------------------------------------
// STATUS

void bk_peer_tie_in_t::send_status(const bk_node_rating_t& local) {
  server_message_t message = make_job_message<server_message_t>(server_message_t::STATUS, 0);
  message.set_protocol_version(kPeerProtocolVersion);
  bk::BrelServerStatus& status = *message.mutable_server_status();
  status.set_max_forks(local.max_forks);
  status.set_job_count(local.job_count);
  // A node with 4 GiB and more queued must not look idle.
  constexpr uint64_t kMaxField = std::numeric_limits<uint32_t>::max();
  status.set_bytes_in_queue(
      static_cast<uint32_t>(local.bytes_in_queue < kMaxField ? local.bytes_in_queue : kMaxField));
  send(message);
}

// ---------------------------------------------------------------------------
// Peer client messages

void bk_peer_tie_in_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  // A job's answer or the cluster may drop the last other reference meanwhile.
  const std::shared_ptr<bk_peer_tie_in_t> self = shared_from_this();
  try {
    message_t message;
    // Parsed partially and checked after: a tag outside the enumeration leaves the
    // required tag absent, which is a message that does not parse.
    if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
      throw boost::system::system_error(make_error_code(vl::EC_BAD_MESSAGE_FORMAT));
    }
    const auto tag = message.tag();
    if (tag == message_t::HELLO) {
      on_hello(message);
      return;
    }
    if (!identified_) {
      const auto error = std::make_exception_ptr(cf_proto_exception_t(
          vl::EC_INVALID_ARGUMENT,
          "Peer protocol version " + std::to_string(kPeerProtocolVersion) + " required"));
      send_alarm(message.job_id(), error, false);
      throw_error(vl::EC_PROTOCOL_VIOLATION, "Client message before hello");
    }
    check_peer_client_fields(message);
    switch (tag) {
      case message_t::DATA_CHUNK:
        on_data_chunk(message);
        break;
      case message_t::SCAN_REQUEST:
        on_scan_request(message);
        break;
      case message_t::GET_DATA_REQUEST:
        on_get_data_request(message);
        break;
      case message_t::RESET_REQUEST:
        on_reset_request(message);
        break;
      case message_t::DATA_RESET_REQUEST:
        on_data_reset_request(message);
        break;
      default:
        // HELLO went above; the parser admits no other tag.
        break;
    }
  } catch (const std::exception& e) {
    log(kLogError, std::string("IPC: ") + exception_text(e));
    disconnect();
  }
  apply_back_pressure();
}

void bk_peer_tie_in_t::on_hello(const message_t& message) {
  check_peer_client_fields(message);
  check_peer_protocol_version(message.protocol_version());
  identified_ = true;
}

void bk_peer_tie_in_t::on_data_chunk(message_t& message) {
  const uint32_t job_id = message.job_id();
  const uint64_t size = message.data().size();
  if (const auto& stats = inventory_.stat_collector) {
    stats->add_peer_in_received(remote_endpoint(), size);
  }
  if (answer_kept_failure(message)) return;
  try {
    job_entry_t& entry = find_or_start_job(job_id);
    const std::shared_ptr<bk_job_t> job = entry.job;
    // Held until the job reports them stored, which may happen inside append_data.
    if (!entry.failed) {
      entry.unstored += size;
      unstored_ += size;
    }
    // The bytes move from the parsed message into the chunk the job keeps.
    auto chunk = std::make_shared<const std::string>(std::move(*message.mutable_data()));
    job->append_data(chunk);
  } catch (const std::exception&) {
    fail_job(message, std::current_exception());
  }
}

void bk_peer_tie_in_t::on_scan_request(const message_t& message) {
  if (answer_kept_failure(message)) return;
  try {
    const std::shared_ptr<bk_job_t> job = find_or_start_job(message.job_id()).job;
    job->scan(message.scan_options());
  } catch (const std::exception&) {
    fail_job(message, std::current_exception());
  }
}

void bk_peer_tie_in_t::on_get_data_request(const message_t& message) {
  if (answer_kept_failure(message)) return;
  const uint32_t job_id = message.job_id();
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end()) {
    // No job failed here: nothing to remember, and a later chunk may start it.
    const auto error = make_error_exception_ptr(make_error_code(vl::EC_NO_SUCH_ENTRY));
    log(kLogDebug,
        "GET_DATA_REQUEST " + std::to_string(job_id) + " Error: " + exception_ptr_text(error));
    send_alarm(job_id, error, false);
    return;
  }
  try {
    const std::shared_ptr<bk_job_t> job = found->second.job;
    job->get_data(kPeerReadChunk);
  } catch (const std::exception&) {
    fail_job(message, std::current_exception());
  }
}

void bk_peer_tie_in_t::on_reset_request(const message_t& message) {
  const uint32_t job_id = message.job_id();
  failed_.erase(job_id);
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end()) return;
  const std::shared_ptr<bk_job_t> job = found->second.job;
  job->reset();
  drop_job(job_id);
}

void bk_peer_tie_in_t::on_data_reset_request(const message_t& message) {
  if (answer_kept_failure(message)) return;
  const auto found = jobs_.find(message.job_id());
  // Not caught: the peer asks to re-read a job it never had here, and the link ends.
  if (found == jobs_.end()) {
    throw boost::system::system_error(make_error_code(vl::EC_NO_SUCH_ENTRY));
  }
  const std::shared_ptr<bk_job_t> job = found->second.job;
  job->data_reset();
}

// ---------------------------------------------------------------------------
// Jobs

bk_peer_tie_in_t::job_entry_t& bk_peer_tie_in_t::find_or_start_job(uint32_t job_id) {
  const auto found = jobs_.find(job_id);
  if (found != jobs_.end()) return found->second;
  if (jobs_.size() >= kPeerLinkJobLimit) {
    throw cf_proto_exception_t(vl::EC_NOT_READY, "Too many open jobs on this peer link (" +
                                                     std::to_string(kPeerLinkJobLimit) + ")");
  }
  std::shared_ptr<bk_job_t> job = start_job(job_id);
  return jobs_.emplace(job_id, job_entry_t{std::move(job)}).first->second;
}

std::shared_ptr<bk_job_t> bk_peer_tie_in_t::start_job(uint32_t job_id) {
  const std::shared_ptr<bk_scanner_t> scanner = inventory_.scanner;
  if (!scanner || !scanner->is_enabled()) {
    throw boost::system::system_error(make_error_code(vl::EC_NOT_READY));
  }
  std::shared_ptr<bk_job_t> job =
      job_factory_ ? job_factory_(job_id) : scanner->create_job<bk_local_job_t>(job_id);
  job->set_delegate(this);
  log(kLogDebug, "Started JOB " + std::to_string(job_id) + " as " + job->name());
  return job;
}

void bk_peer_tie_in_t::fail_job(const message_t& message, const std::exception_ptr& error) {
  const uint32_t job_id = message.job_id();
  // Released without reset: a job that threw is not trusted with more calls.
  drop_job(job_id);
  log(kLogDebug, peer_client_tag_name(message.tag()) + " " + std::to_string(job_id) +
                     " Error: " + exception_ptr_text(error));
  remember_failure(job_id, error);
  send_alarm(job_id, error, false);
}

void bk_peer_tie_in_t::drop_job(uint32_t job_id) {
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end()) return;
  unstored_ -= found->second.unstored;
  jobs_.erase(found);
  apply_back_pressure();
}

void bk_peer_tie_in_t::remember_failure(uint32_t job_id, const std::exception_ptr& error) {
  // The peer numbers its jobs upwards, so the lowest identifier is the oldest
  // failure; a peer that never resets its jobs cannot grow the memory past the cap.
  if (failed_.size() >= kFailedJobsKept && failed_.count(job_id) == 0) {
    failed_.erase(failed_.begin());
  }
  failed_[job_id] = error;
}

bool bk_peer_tie_in_t::answer_kept_failure(const message_t& message) {
  const auto found = failed_.find(message.job_id());
  if (found == failed_.end()) return false;
  // Starting the job afresh would scan whatever data comes after the failure.
  const std::exception_ptr error = found->second;
  log(kLogDebug, peer_client_tag_name(message.tag()) + " " + std::to_string(message.job_id()) +
                     " Error: " + exception_ptr_text(error));
  send_alarm(message.job_id(), error, false);
  return true;
}

void bk_peer_tie_in_t::send_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) {
  server_message_t message = make_job_message<server_message_t>(server_message_t::ALARM, job_id);
  fill_error(*message.mutable_error(), error);
  message.set_soft(soft);
  send(message);
}

// ---------------------------------------------------------------------------
// Job answers

void bk_peer_tie_in_t::on_get_data_response(uint32_t job_id, uint64_t data_size) {
  if (jobs_.count(job_id) == 0) {
    log(kLogDebug, "Dropped GET_DATA_RESPONSE " + std::to_string(job_id));
    return;
  }
  server_message_t message =
      make_job_message<server_message_t>(server_message_t::GET_DATA_RESPONSE, job_id);
  message.set_data_size(data_size);
  send(message);
}

void bk_peer_tie_in_t::on_data_chunk(uint32_t job_id, const char* data, uint64_t size) {
  if (jobs_.count(job_id) == 0) {
    log(kLogDebug, "Dropped DATA_CHUNK " + std::to_string(job_id));
    return;
  }
  server_message_t message =
      make_job_message<server_message_t>(server_message_t::DATA_CHUNK, job_id);
  // Straight into the message: set_data(data, size) would build a temporary first.
  message.mutable_data()->assign(data, size);
  send(message);
  if (const auto& stats = inventory_.stat_collector) {
    stats->add_peer_in_sent(remote_endpoint(), size);
  }
}

void bk_peer_tie_in_t::on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                                        const bk_hash_values_t& hashes) {
  if (jobs_.count(job_id) == 0) {
    log(kLogDebug, "Dropped SCAN_RESPONSE " + std::to_string(job_id));
  } else {
    server_message_t message =
        make_job_message<server_message_t>(server_message_t::SCAN_RESPONSE, job_id);
    *message.mutable_scan_report() = report;
    if (!hashes.sha1.empty()) message.set_sha1(hashes.sha1);
    if (!hashes.sha256.empty()) message.set_sha256(hashes.sha256);
    if (message.ByteSizeLong() <= kPeerLinkLimit) {
      send(message);
    } else {
      // An engine report too large for the peer link: the peer learns why its
      // answer never comes, and the link and the other jobs go on.
      const auto error = make_error_exception_ptr(make_error_code(vl::EC_BAD_MESSAGE_SIZE),
                                                  "Scan report too large");
      log(kLogError, "SCAN_RESPONSE " + std::to_string(job_id) + ": " + exception_ptr_text(error));
      // The job calling here holds itself until it returns.
      drop_job(job_id);
      remember_failure(job_id, error);
      send_alarm(job_id, error, false);
    }
  }
  if (const auto& stats = inventory_.stat_collector) {
    stats->add_peer_in_report(remote_endpoint(), report);
  }
}

void bk_peer_tie_in_t::on_data_chunk_appended(uint32_t job_id, uint32_t size) {
  server_message_t message =
      make_job_message<server_message_t>(server_message_t::DATA_CHUNK_APPENDED, job_id);
  message.set_data_size(size);
  send(message);
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end() || found->second.failed) return;
  job_entry_t& entry = found->second;
  // Bytes released at a soft alarm are acknowledged first; a job acknowledges no
  // more than it was given, whatever its own count says.
  uint64_t left = size;
  const uint64_t late = std::min(left, entry.released);
  entry.released -= late;
  left -= late;
  const uint64_t stored = std::min(left, entry.unstored);
  entry.unstored -= stored;
  unstored_ -= stored;
  apply_back_pressure();
}

void bk_peer_tie_in_t::on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) {
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end()) {
    log(kLogDebug, "Dropped ALARM " + std::to_string(job_id));
    return;
  }
  log(kLogDebug, "ALARM " + std::to_string(job_id) + " " + exception_ptr_text(error));
  // A failed write is never acknowledged: what the job holds counts as stored now.
  job_entry_t& entry = found->second;
  if (soft) {
    entry.released += entry.unstored;
  } else {
    entry.failed = true;
  }
  unstored_ -= entry.unstored;
  entry.unstored = 0;
  send_alarm(job_id, error, soft);
  apply_back_pressure();
}

boost::signals2::connection bk_peer_tie_in_t::connect_on_drained(
    const std::function<void()>& callback) {
  return drained_.connect(callback);
}

void bk_peer_tie_in_t::on_data_reset_response(uint32_t job_id) {
  send(make_job_message<server_message_t>(server_message_t::DATA_RESET_RESPONSE, job_id));
}

void bk_peer_tie_in_t::on_send_idle() {
  drained_();
}

// ---------------------------------------------------------------------------
// Sending and logging

void bk_peer_tie_in_t::send(const server_message_t& message) {
  try {
    connection_->send(message);
  } catch (const std::exception& e) {
    // Only a queue past its size is left to fail here (a peer that stopped
    // reading): the link is of no more use, and the caller must not see it.
    log(kLogError, std::string("IPC: ") + exception_text(e));
    disconnect_later();
    return;
  }
  apply_back_pressure();
}

void bk_peer_tie_in_t::apply_back_pressure() {
  // A closed link reads no more anyway.
  if (!connection_->is_open()) return;
  const bool over = unstored_ > kConnectionUnstoredLimit ||
                    connection_->queued_send_bytes() > kConnectionSendQueueLimit;
  if (over == connection_->reading_paused()) return;
  if (over) {
    connection_->pause_reading();
  } else {
    connection_->resume_reading();
  }
}

void bk_peer_tie_in_t::log(int level, const std::string& text) const {
  if (level >= log_threshold) log_message(level, name_ + ": " + text);
}
