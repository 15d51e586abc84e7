#include "core/lumend_tie.h"

#include <cerrno>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "core/local_connector.h"
#include "framework/error.h"
#include "framework/log.h"
#include "schemas/lumend_client_ipc.pb.h"

namespace {

// sun_path holds 108 bytes, the terminating zero included.
constexpr std::size_t kMaxSocketPath = 107;

}  // namespace

bk_lumend_tie_t::bk_lumend_tie_t(delegate_t* delegate)
    : cf_local_ipc_link_t(kIpcLinkLimit), delegate(delegate) {}

bk_lumend_tie_t::~bk_lumend_tie_t() {
  // Dropped unclosed while connecting: the connection would reach no one.
  if (connector) connector->cancel();
}

std::shared_ptr<bk_lumend_tie_t> bk_lumend_tie_t::connect(boost::asio::io_context& io,
                                                          const boost::filesystem::path& path,
                                                          delegate_t* delegate,
                                                          connected_t connected) {
  if (path.native().size() > kMaxSocketPath) {
    throw boost::system::system_error(
        boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));
  }
  std::shared_ptr<bk_lumend_tie_t> tie(new bk_lumend_tie_t(delegate));
  tie->connected = std::move(connected);
  auto socket = std::make_shared<cf_local_socket_t>(io);
  tie->connector = bk_local_connector_t::start(
      socket, boost::asio::local::stream_protocol::endpoint(path.native()),
      [weak = std::weak_ptr<bk_lumend_tie_t>(tie), socket,
       path](const boost::system::error_code& error) {
        if (const auto self = weak.lock()) self->on_connected(socket, path, error);
      });
  return tie;
}

void bk_lumend_tie_t::on_connected(const std::shared_ptr<cf_local_socket_t>& socket,
                                   const boost::filesystem::path& path,
                                   const boost::system::error_code& error) {
  connector.reset();
  const connected_t done = std::move(connected);
  connected = nullptr;
  if (error) {
    if (done)
      done(std::make_exception_ptr(boost::filesystem::filesystem_error("connect", path, error)));
    return;
  }
  set_socket(socket);
  read_header();
  if (done) done(nullptr);
}

std::uint32_t bk_lumend_tie_t::check(const std::string& sha1, std::uint64_t size,
                                     const std::function<bool(std::uint32_t)>& in_use) {
  std::uint32_t serial = next_serial++;
  // The counter wraps; a serial it comes back to may still await its answer.
  if (in_use) {
    while (in_use(serial)) serial = next_serial++;
  }
  CF_LOG(kLogDebug, "LumenD: check, sha1: " + sha1 + " size: " + std::to_string(size));
  cl::ClientMessage message;
  message.set_tag(cl::ClientMessage::CHECK_FILE_REQUEST);
  message.set_serial(serial);
  cl::File* file = message.mutable_file();
  file->set_sha1(sha1);
  file->set_path(std::string());
  file->set_size(static_cast<std::uint32_t>(size));
  async_send_message(message);
  return serial;
}

void bk_lumend_tie_t::close() noexcept {
  delegate = nullptr;
  connected = nullptr;
  if (const auto connecting = std::move(connector)) connecting->cancel();
  if (!socket()) return;
  boost::system::error_code ignored;
  socket()->close(ignored);
}

void bk_lumend_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  // The delegate may drop its reference while we still report.
  const auto self = shared_from_this();
  cl::ServerMessage message;
  // Parsed partially and checked after: a missing field is this link's own error,
  // without a second line from the library.
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized()) {
    on_error(make_error_code(vl::EC_BAD_MESSAGE_FORMAT));
    return;
  }
  if (message.tag() != cl::ServerMessage::CHECK_FILE_RESPONSE) {
    on_error(make_error_code(vl::EC_UNEXPECTED_MESSAGE));
    return;
  }
  if (!message.has_serial() || !message.has_file_result()) {
    on_error(make_error_code(vl::EC_PROTOCOL_VIOLATION));
    return;
  }
  if (!delegate) return;
  const cl::FileResult& file_result = message.file_result();
  std::optional<vl::Virus> virus;
  if (file_result.has_virus()) virus = file_result.virus();
  delegate->on_check_result(message.serial(), make_error_code(file_result.result()), virus);
}

void bk_lumend_tie_t::on_error(const boost::system::error_code& code) {
  const auto self = shared_from_this();
  const boost::system::error_code error =
      code == boost::asio::error::eof ? make_error_code(vl::EC_LINK_DISCONNECTED) : code;
  CF_LOG(kLogDebug, "LumenD: " + error.message());
  if (delegate) delegate->on_link_error(error);
}

std::shared_ptr<cf_local_ipc_link_t> bk_lumend_tie_t::shared_this() {
  return shared_from_this();
}
