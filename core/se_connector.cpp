#include "core/se_connector.h"

#include <sys/un.h>

#include <cerrno>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "core/local_connector.h"
#include "framework/enum_name.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/se_client_ipc.pb.h"

namespace {

// The longest path a UNIX socket address holds, without its terminating zero.
constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

}  // namespace

bk_se_connector_t::bk_se_connector_t() : cf_local_ipc_link_t(kIpcLinkLimit) {}

bk_se_connector_t::~bk_se_connector_t() {
  // Dropped unclosed while connecting: the connection would reach no one.
  if (connector_) connector_->cancel();
}

std::shared_ptr<bk_se_connector_t> bk_se_connector_t::connect(boost::asio::io_context& io,
                                                              const std::string& path,
                                                              delegate_t* delegate,
                                                              connected_t connected) {
  // Checked here rather than left to the endpoint, so that the refusal is the same
  // system error whatever the library version does.
  if (path.size() > kMaxSocketPath) {
    throw boost::system::system_error(
        boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));
  }
  std::shared_ptr<bk_se_connector_t> link(new bk_se_connector_t());
  link->delegate_ = delegate;
  link->connected_ = std::move(connected);
  auto socket = std::make_shared<cf_local_socket_t>(io);
  link->connector_ =
      bk_local_connector_t::start(socket, boost::asio::local::stream_protocol::endpoint(path),
                                  [weak = std::weak_ptr<bk_se_connector_t>(link), socket,
                                   path](const boost::system::error_code& error) {
                                    if (const auto self = weak.lock())
                                      self->on_connected(socket, path, error);
                                  });
  return link;
}

void bk_se_connector_t::on_connected(const std::shared_ptr<cf_local_socket_t>& socket,
                                     const std::string& path,
                                     const boost::system::error_code& error) {
  connector_.reset();
  const connected_t connected = std::move(connected_);
  connected_ = nullptr;
  if (error) {
    if (connected) {
      connected(
          std::make_exception_ptr(boost::filesystem::filesystem_error("connect", path, error)));
    }
    return;
  }
  set_socket(socket);
  read_header();
  if (connected) connected(nullptr);
}

void bk_se_connector_t::build_scan_request(std::uint32_t serial, const bk::ScanOptions& options,
                                           const std::string& path, se::ClientMessage& message) {
  message.Clear();
  message.set_tag(se::ClientMessage::SCAN_FILE_REQUEST);
  message.set_serial(serial);
  se::ScanFileRequest& request = *message.mutable_scan_file_request();
  request.set_path(path);
  // An option the client left out is sent as the client protocol's default, which
  // differs from the engine's for the timeout.
  request.set_scan_timeout_ms(options.scan_timeout_ms());
  request.set_cure(options.cure());
  request.set_heuristic_analysis(options.heuristic_analysis());
  request.set_packer_max_level(options.packer_max_level());
  request.set_archive_max_level(options.archive_max_level());
  request.set_mail_max_level(options.mail_max_level());
  request.set_container_max_level(options.container_max_level());
  request.set_max_compression_ratio(options.max_compression_ratio());
  request.set_max_size_to_extract(options.max_size_to_extract());
  request.set_list_clean_items(options.list_clean_items());
  request.set_report_component_info(options.report_component_info());
}

void bk_se_connector_t::send_scan(std::uint32_t serial, const bk::ScanOptions& options,
                                  const std::string& path) {
  se::ClientMessage message;
  build_scan_request(serial, options, path, message);
  async_send_message(message);
}

void bk_se_connector_t::close() {
  delegate_ = nullptr;
  connected_ = nullptr;
  if (const auto connector = std::move(connector_)) connector->cancel();
  if (socket() && socket()->is_open()) {
    boost::system::error_code ignored;
    socket()->close(ignored);
  }
}

void bk_se_connector_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  se::ServerMessage message;
  boost::system::error_code error;
  std::string context;
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
    error = make_error_code(vl::EC_BAD_MESSAGE_FORMAT);
  } else if (message.tag() != se::ServerMessage::SCAN_FILE_RESULT) {
    error = make_error_code(vl::EC_UNEXPECTED_MESSAGE);
    context =
        enum_number_display_name(se::ServerMessage::ServerMessageTag_descriptor(), message.tag());
  } else if (!message.has_serial() || !message.has_scan_report()) {
    error = make_error_code(vl::EC_PROTOCOL_VIOLATION);
    context = "SCAN_FILE_RESULT";
  }
  if (error) {
    // An engine that sends what it should not cannot be trusted with the rest of
    // the conversation: stop reading and let the delegate fail what is waiting.
    CF_LOG(kLogWarning,
           "ScanEngine link: " + error.message() + (context.empty() ? "" : ": " + context));
    delegate_t* delegate = delegate_;
    close();
    if (delegate) delegate->on_link_error(error);
    return;
  }
  if (delegate_) delegate_->on_scan_result(message.serial(), message.scan_report());
}

void bk_se_connector_t::on_error(const boost::system::error_code& code) {
  // The engine closing its end is a disconnect like any other, not a socket fault.
  const boost::system::error_code error =
      code == boost::asio::error::eof ? make_error_code(vl::EC_LINK_DISCONNECTED) : code;
  if (delegate_) delegate_->on_link_error(error);
}

std::shared_ptr<cf_local_ipc_link_t> bk_se_connector_t::shared_this() {
  return shared_from_this();
}
