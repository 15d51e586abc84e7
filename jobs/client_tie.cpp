#include "jobs/client_tie.h"

#include <climits>
#include <sstream>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "core/core_inventory.h"
#include "core/hash_values.h"
#include "core/stat_collector.h"
#include "framework/enum_name.h"
#include "framework/error.h"
#include "framework/exception.h"
#include "framework/job_message.h"
#include "framework/log.h"
#include "jobs/client_protocol.h"
#include "schemas/scan_report.pb.h"

namespace {

template <class Protocol>
struct client_kind;

template <>
struct client_kind<boost::asio::local::stream_protocol> {
  static constexpr const char* prefix = "Local client 0x";
};

template <>
struct client_kind<boost::asio::ip::tcp> {
  static constexpr const char* prefix = "Network client 0x";
};

// The next display name of a kind; each kind counts on its own from 1.
template <class Protocol>
std::string next_client_name() {
  static uint32_t counter = 0;
  std::ostringstream name;
  name << client_kind<Protocol>::prefix << std::hex << ++counter;
  return name.str();
}

constexpr auto make_message =
    &make_job_message<bk::ServerMessage, bk::ServerMessage::ServerMessageTag>;

}  // namespace

// ---------------------------------------------------------------------------
// Creation and start

template <class Protocol>
std::shared_ptr<bk_client_tie_t<Protocol>> bk_client_tie_t<Protocol>::create(
    bk_core_inventory_t& inventory, job_factory_t job_factory) {
  return std::shared_ptr<bk_client_tie_t>(new bk_client_tie_t(inventory, std::move(job_factory)));
}

template <class Protocol>
bk_client_tie_t<Protocol>::bk_client_tie_t(bk_core_inventory_t& inventory,
                                           job_factory_t job_factory)
    : link_type(kClientMessageMaxSize),
      inventory_(inventory),
      name_(next_client_name<Protocol>()),
      job_factory_(std::move(job_factory)) {
  log(kLogDebug, "Created");
}

template <class Protocol>
void bk_client_tie_t<Protocol>::start(std::shared_ptr<socket_type> socket) {
  this->set_socket(std::move(socket));
  this->read_header();
  log(kLogDebug, "Started");
}

template <class Protocol>
bk_client_tie_t<Protocol>::~bk_client_tie_t() {
  close();
  // Reset first, in identifier order, so that no job calls back into a dying tie.
  for (auto& [job_id, job] : jobs_) job->reset();
  if (hello_received_) bk_stat_collector_t::client_gone(origin_, origin_pid_);
  log(kLogDebug, "Destroyed");
}

// ---------------------------------------------------------------------------
// Client messages

template <class Protocol>
void bk_client_tie_t<Protocol>::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  try {
    bk::ClientMessage message;
    // Parsed partially and checked after, so that a missing tag is this link's own
    // error line and not also the library's.
    if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
      throw boost::system::system_error(make_error_code(vl::EC_BAD_MESSAGE_FORMAT));
    }
    const auto tag = message.tag();
    if (tag == bk::ClientMessage::HELLO) {
      on_hello(message);
      return;
    }
    if (!hello_received_) {
      log(kLogDebug, client_tag_name(tag) + ": Not identified");
      throw boost::system::system_error(make_error_code(vl::EC_PROTOCOL_VIOLATION));
    }
    check_required_fields(message);
    switch (tag) {
      case bk::ClientMessage::INIT:
        on_init(message);
        break;
      case bk::ClientMessage::DATA_CHUNK:
        on_data_chunk(message);
        break;
      case bk::ClientMessage::SCAN_REQUEST:
        on_scan_request(message);
        break;
      case bk::ClientMessage::GET_DATA_REQUEST:
        on_get_data_request(message);
        break;
      case bk::ClientMessage::RESET:
        on_reset(message);
        break;
      default:
        // check_required_fields refuses every other tag.
        break;
    }
  } catch (const std::exception& e) {
    log(kLogError, std::string("IPC: ") + exception_text(e));
    close();
  }
  apply_back_pressure();
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_hello(const bk::ClientMessage& message) {
  if (hello_received_) {
    log(kLogDebug, "HELLO has already been received");
    throw boost::system::system_error(make_error_code(vl::EC_PROTOCOL_VIOLATION));
  }
  check_required_fields(message);
  hello_received_ = true;
  origin_ = message.origin();
  origin_pid_ = message.origin_pid();
  log(kLogInfo,
      "HELLO as " +
          enum_value_display_name(vl::Application_descriptor()->FindValueByNumber(origin_)) + "-" +
          std::to_string(origin_pid_));
  if (message.flow_control()) {
    flow_control_ = true;
    window_credit_ = kClientInitialWindow;
    log(kLogDebug, "Flow control window " + std::to_string(kClientInitialWindow));
    send_adjust_window();
  } else {
    log(kLogDebug, "Flow control disabled");
  }
  soft_error_ = message.soft_error();
  if (inventory_.stat_collector) inventory_.stat_collector->add_client(origin_, origin_pid_);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_init(const bk::ClientMessage& message) {
  const uint32_t job_id = message.job_id();
  try {
    if (jobs_.count(job_id)) {
      throw boost::system::system_error(make_error_code(vl::EC_ALREADY_IN_PROGRESS));
    }
    if (jobs_.size() >= kConnectionJobLimit) {
      throw cf_proto_exception_t(vl::EC_NOT_READY, "Too many open jobs on this connection (" +
                                                       std::to_string(kConnectionJobLimit) + ")");
    }
    auto job = job_factory_(inventory_, job_id, soft_error_);
    job->set_delegate(this);
    jobs_.emplace(job_id, job);
    log(kLogDebug, "INIT " + std::to_string(job_id) + " as " + job->name());
  } catch (const std::exception& e) {
    log(kLogError, "INIT " + std::to_string(job_id) + ": " + exception_text(e));
    bk::ServerMessage alarm = make_message(bk::ServerMessage::ALARM, job_id);
    fill_error(*alarm.mutable_error(), std::current_exception());
    send(alarm);
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_data_chunk(bk::ClientMessage& message) {
  const uint32_t job_id = message.job_id();
  const uint64_t size = message.data().size();
  if (inventory_.stat_collector) {
    inventory_.stat_collector->add_client_received(origin_, origin_pid_, size);
  }
  const auto found = jobs_.find(job_id);
  if (found == jobs_.end()) {
    // Nothing will store these bytes: they count as stored at once.
    window_credit_ += size;
    send_adjust_window();
    return;
  }
  // Held until the job acknowledges them, which may happen inside append_data.
  unstored_ += size;
  // The bytes move from the parsed message into the chunk the jobs share.
  auto chunk = std::make_shared<const std::string>(std::move(*message.mutable_data()));
  const std::shared_ptr<bk_job_t> job = found->second;
  job->append_data(chunk);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_scan_request(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  const std::shared_ptr<bk_job_t> job = found->second;
  job->scan(message.scan_options());
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_get_data_request(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  const std::shared_ptr<bk_job_t> job = found->second;
  job->get_data(kLocalReadChunk);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_reset(const bk::ClientMessage& message) {
  const auto found = jobs_.find(message.job_id());
  if (found == jobs_.end()) return;
  const std::shared_ptr<bk_job_t> job = found->second;
  job->reset();
  drop_job(message.job_id());
}

// ---------------------------------------------------------------------------
// Job answers

template <class Protocol>
void bk_client_tie_t<Protocol>::on_get_data_response(uint32_t job_id, uint64_t data_size) {
  if (!jobs_.count(job_id)) {
    log(kLogDebug, "Dropped GET_DATA_RESPONSE " + std::to_string(job_id));
    return;
  }
  bk::ServerMessage message = make_message(bk::ServerMessage::GET_DATA_RESPONSE, job_id);
  message.set_data_size(data_size);
  send(message);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_data_chunk(uint32_t job_id, const char* data, uint64_t size) {
  if (!jobs_.count(job_id)) {
    log(kLogDebug, "Dropped DATA_CHUNK " + std::to_string(job_id));
    return;
  }
  bk::ServerMessage message = make_message(bk::ServerMessage::DATA_CHUNK, job_id);
  // Straight into the message: set_data(data, size) would build a temporary first.
  message.mutable_data()->assign(data, size);
  send(message);
  if (inventory_.stat_collector) {
    inventory_.stat_collector->add_client_sent(origin_, origin_pid_, size);
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                                                 const bk_hash_values_t& hashes) {
  if (!jobs_.count(job_id)) {
    log(kLogDebug, "Dropped SCAN_RESPONSE " + std::to_string(job_id));
  } else {
    bk::ServerMessage message = make_message(bk::ServerMessage::SCAN_RESPONSE, job_id);
    *message.mutable_scan_report() = report;
    if (!hashes.sha1.empty()) message.set_sha1(hashes.sha1);
    if (!hashes.sha256.empty()) message.set_sha256(hashes.sha256);
    if (message.ByteSizeLong() <= this->limit()) {
      send(message);
    } else {
      // An engine report too large for one frame: the client learns why its answer
      // never comes, and the connection and the other jobs go on.
      const auto error = make_error_exception_ptr(make_error_code(vl::EC_BAD_MESSAGE_SIZE),
                                                  "Scan report too large");
      log(kLogError, "SCAN_RESPONSE " + std::to_string(job_id) + ": " + exception_ptr_text(error));
      bk::ServerMessage alarm = make_message(bk::ServerMessage::ALARM, job_id);
      fill_error(*alarm.mutable_error(), error);
      send(alarm);
      drop_job(job_id);
    }
  }
  if (inventory_.stat_collector) {
    inventory_.stat_collector->add_client_report(origin_, origin_pid_, report);
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_data_chunk_appended(uint32_t, uint32_t size) {
  // A job acknowledges no more than it was given; a count of its own may say more.
  unstored_ -= std::min<uint64_t>(unstored_, size);
  window_credit_ += size;
  send_adjust_window();
  apply_back_pressure();
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_alarm(uint32_t job_id, const std::exception_ptr& error,
                                         bool soft) {
  if (!jobs_.count(job_id)) {
    log(kLogDebug, "Dropped ALARM " + std::to_string(job_id));
    return;
  }
  bk::ServerMessage message = make_message(bk::ServerMessage::ALARM, job_id);
  fill_error(*message.mutable_error(), error);
  if (soft) message.set_soft(true);
  send(message);
  log(kLogDebug, "ALARM " + std::to_string(job_id) + " " + exception_ptr_text(error));
  if (!soft) drop_job(job_id);
}

template <class Protocol>
boost::signals2::connection bk_client_tie_t<Protocol>::connect_on_drained(
    const std::function<void()>& callback) {
  return drained_.connect(callback, boost::signals2::at_back);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_drained() {
  drained_();
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_redirect_begin(uint32_t job_id) {
  // Only a job the connection still holds may hold its grants.
  if (jobs_.count(job_id)) paused_jobs_.insert(job_id);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_redirect_end(uint32_t job_id) {
  if (paused_jobs_.erase(job_id)) send_adjust_window();
}

// ---------------------------------------------------------------------------
// Window, sending and the end of the connection

template <class Protocol>
void bk_client_tie_t<Protocol>::drop_job(uint32_t job_id) {
  // Erasing may destroy the job, whose destructor returns its unacknowledged bytes
  // and ends its redirect here; a job that lives on elsewhere must not keep the
  // connection's grants held.
  jobs_.erase(job_id);
  on_redirect_end(job_id);
}

template <class Protocol>
void bk_client_tie_t<Protocol>::send_adjust_window() {
  // window_change is signed: a larger credit goes out in several grants.
  constexpr uint64_t kLargestGrant = INT32_MAX;
  while (flow_control_ && window_credit_ > kClientGrantThreshold && paused_jobs_.empty() &&
         this->is_open()) {
    const uint64_t grant = std::min(window_credit_, kLargestGrant);
    bk::ServerMessage message;
    message.set_tag(bk::ServerMessage::ADJUST_WINDOW);
    message.set_window_change(static_cast<int32_t>(grant));
    send(message);
    window_credit_ -= grant;
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::apply_back_pressure() {
  // A closed connection reads no more anyway.
  if (!this->is_open()) return;
  const bool over =
      unstored_ > kConnectionUnstoredLimit || this->queued_send_bytes() > kConnectionSendQueueLimit;
  if (over == this->reading_paused()) return;
  if (over) {
    this->pause_reading();
  } else {
    this->resume_reading();
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::send(const bk::ServerMessage& message) {
  try {
    this->async_send_message(message);
  } catch (const std::exception& e) {
    log(kLogError, std::string("IPC: ") + exception_text(e));
    close();
    return;
  }
  apply_back_pressure();
}

template <class Protocol>
void bk_client_tie_t<Protocol>::on_error(const boost::system::error_code& code) {
  if (code == boost::asio::error::eof) {
    log(kLogDebug, "Disconnected");
  } else {
    log(kLogError, "IO: " + code.message());
  }
  close();
}

template <class Protocol>
void bk_client_tie_t<Protocol>::close() noexcept {
  if (!this->socket() || !this->socket()->is_open()) return;
  boost::system::error_code error;
  this->socket()->close(error);
  // The descriptor is released even when close reports an error.
  if (!error) return;
  try {
    log(kLogError, "close: " + error.message());
  } catch (...) {
    log_out_of_memory();
  }
}

template <class Protocol>
void bk_client_tie_t<Protocol>::log(int level, const std::string& text) const {
  if (level >= log_threshold) log_message(level, name_ + ": " + text);
}

template class bk_client_tie_t<boost::asio::local::stream_protocol>;
template class bk_client_tie_t<boost::asio::ip::tcp>;
