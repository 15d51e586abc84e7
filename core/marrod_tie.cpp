#include "core/marrod_tie.h"

#include <string>
#include <utility>

#include <boost/asio/error.hpp>

#include "core/core_inventory.h"
#include "core/scanner.h"
#include "framework/enum_name.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/marrod_brel_ipc.pb.h"

std::shared_ptr<bk_marrod_tie_t> bk_marrod_tie_t::create(bk_core_inventory_t& inventory, int fd) {
  std::shared_ptr<bk_marrod_tie_t> tie(new bk_marrod_tie_t(inventory));
  auto socket = std::make_shared<cf_local_socket_t>(inventory.io_context);
  boost::system::error_code error;
  socket->assign(boost::asio::local::stream_protocol(), fd, error);
  if (error) throw boost::system::system_error(error, "assign");
  tie->set_socket(std::move(socket));
  tie->read_header();
  return tie;
}

bk_marrod_tie_t::bk_marrod_tie_t(bk_core_inventory_t& inventory)
    : cf_local_ipc_link_t(kIpcLinkLimit),
      inventory_(inventory),
      appinfo_timer_(inventory.io_context) {}

bk_marrod_tie_t::~bk_marrod_tie_t() = default;

std::shared_ptr<cf_local_ipc_link_t> bk_marrod_tie_t::shared_this() {
  return shared_from_this();
}

// ---------------------------------------------------------------------------
// Requests

void bk_marrod_tie_t::send_request(int tag) {
  vl::Brel2MarrodMessage message;
  message.set_tag(static_cast<vl::Brel2MarrodMessage::MessageTag>(tag));
  async_send_message(message);
}

void bk_marrod_tie_t::request_config() {
  send_request(vl::Brel2MarrodMessage::GET_CONFIG_REQUEST);
}

void bk_marrod_tie_t::request_se(socket_path_callback_t callback) {
  if (se_callbacks_.empty()) send_request(vl::Brel2MarrodMessage::GET_SE_REQUEST);
  se_callbacks_.push_back(std::move(callback));
}

void bk_marrod_tie_t::request_lumend(socket_path_callback_t callback) {
  if (lumend_callbacks_.empty()) send_request(vl::Brel2MarrodMessage::GET_LUMEND_REQUEST);
  lumend_callbacks_.push_back(std::move(callback));
}

// ---------------------------------------------------------------------------
// Receiving

void bk_marrod_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  vl::Marrod2BrelMessage message;
  // Parsed partially and checked after: a missing field is this link's own error,
  // without a second line from the library.
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
    throw boost::system::system_error(make_error_code(vl::EC_BAD_MESSAGE_FORMAT));
  }
  switch (message.tag()) {
    case vl::Marrod2BrelMessage::GET_CONFIG_RESPONSE:
      on_config_response(message);
      return;
    case vl::Marrod2BrelMessage::GET_SE_RESPONSE:
      on_socket_path_response(message, se_callbacks_, "GET_SE_RESPONSE");
      return;
    case vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE:
      on_socket_path_response(message, lumend_callbacks_, "GET_LUMEND_RESPONSE");
      return;
  }
  const auto* type = vl::Marrod2BrelMessage::MessageTag_descriptor();
  const auto* value = type->FindValueByNumber(message.tag());
  throw boost::system::system_error(make_error_code(vl::EC_UNEXPECTED_MESSAGE),
                                    value ? value->name() : std::to_string(message.tag()));
}

void bk_marrod_tie_t::on_config_response(const vl::Marrod2BrelMessage& message) {
  if (!message.has_config() || !message.has_config_revision() || message.config_revision() == 0) {
    throw boost::system::system_error(make_error_code(vl::EC_PROTOCOL_VIOLATION),
                                      "GET_CONFIG_RESPONSE");
  }
  // Only a different revision is news; a lower one is accepted as new too.
  if (message.config_revision() == config_revision_) return;
  config_revision_ = message.config_revision();
  auto self = shared_from_this();
  config_changed(message.config());
}

void bk_marrod_tie_t::on_socket_path_response(const vl::Marrod2BrelMessage& message,
                                              std::deque<socket_path_callback_t>& callbacks,
                                              const char* context) {
  if (!message.has_socket_path() && !message.has_error()) {
    throw boost::system::system_error(make_error_code(vl::EC_PROTOCOL_VIOLATION), context);
  }
  const boost::filesystem::path path(message.socket_path());
  const std::exception_ptr error =
      message.has_error() ? error_to_exception_ptr(message.error()) : std::exception_ptr();
  // The answer belongs to the callbacks queued so far; one that asks again from
  // inside its call starts a new request instead of receiving this answer again.
  std::deque<socket_path_callback_t> answered;
  answered.swap(callbacks);
  auto self = shared_from_this();
  while (!answered.empty()) {
    auto callback = std::move(answered.front());
    answered.pop_front();
    callback(error, path);
  }
}

void bk_marrod_tie_t::on_error(const boost::system::error_code& code) {
  CF_LOG(kLogError, "MarroD connection: " + code.message());
  throw vl::EC_MONITOR_IPC_ERROR;
}

// ---------------------------------------------------------------------------
// Reports

void bk_marrod_tie_t::send_app_info() {
  const std::uint32_t local = local_forks();
  const std::uint32_t remote = remote_forks();
  // Zero counts during the delay are not worth a report: the engine or a peer may
  // still come up.
  if (appinfo_delayed_ && local == 0 && remote == 0) return;
  if (config_revision_ == sent_revision_ && local == sent_local_forks_ &&
      remote == sent_remote_forks_) {
    return;
  }
  vl::Brel2MarrodMessage message;
  message.set_tag(vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION);
  message.set_config_revision(config_revision_);
  message.mutable_info()->set_local_se_forks(local);
  message.mutable_info()->set_remote_se_forks(remote);
  async_send_message(message);
  CF_LOG(kLogDebug, "MarroD: APPINFO sent");
  sent_revision_ = config_revision_;
  sent_local_forks_ = local;
  sent_remote_forks_ = remote;
}

void bk_marrod_tie_t::first_config_processed() {
  subscribe_state_changes();
  if (!has_engine_or_peers()) {
    send_app_info();
    return;
  }
  appinfo_delayed_ = true;
  start_appinfo_timer();
}

void bk_marrod_tie_t::start_appinfo_timer() {
  appinfo_timer_.expires_after(appinfo_delay_);
  appinfo_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->on_appinfo_timer(error);
  });
}

void bk_marrod_tie_t::on_appinfo_timer(const boost::system::error_code& error) {
  // The link is gone: there is nobody to report to.
  if (!is_open()) return;
  // Replaced or cancelled wait.
  if (error == boost::asio::error::operation_aborted) return;
  // A failed wait ends the delay all the same; held back for good, the counts
  // would never be reported while they stay 0.
  if (error) CF_LOG(kLogError, "Delayed appinfo timer: " + error.message());
  appinfo_delayed_ = false;
  send_app_info();
}

void bk_marrod_tie_t::send_stat(const vl::BrelAppStat& stat) {
  vl::Brel2MarrodMessage message;
  message.set_tag(vl::Brel2MarrodMessage::MY_STAT_NOTIFICATION);
  *message.mutable_stat() = stat;
  async_send_message(message);
}

// ---------------------------------------------------------------------------
// Figures of the engine front and the cluster.

std::uint32_t bk_marrod_tie_t::local_forks() const {
  return inventory_.scanner ? inventory_.scanner->max_forks() : 0;
}

std::uint32_t bk_marrod_tie_t::remote_forks() const {
  return cluster_view_ ? cluster_view_->remote_forks() : 0;
}

bool bk_marrod_tie_t::has_engine_or_peers() const {
  return (inventory_.scanner && inventory_.scanner->is_enabled()) ||
         (cluster_view_ && cluster_view_->has_configured_servers());
}

void bk_marrod_tie_t::subscribe_state_changes() {
  // An engine acquisition that ended may have changed what is worth reporting.
  if (inventory_.scanner)
    engine_state_connection_ =
        inventory_.scanner->state_changed.connect([this] { send_app_info(); });
  // So may a peer that connected, reported its STATUS or went away.
  if (cluster_view_)
    cluster_state_connection_ = cluster_view_->connect_state_changed([this] { send_app_info(); });
}
