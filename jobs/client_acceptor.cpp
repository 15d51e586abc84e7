#include "jobs/client_acceptor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <sstream>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "core/core_inventory.h"
#include "framework/accept_error.h"
#include "framework/error.h"
#include "framework/log.h"
#include "jobs/client_tie.h"
#include "schemas/brel_config.pb.h"

namespace {

using local_protocol = boost::asio::local::stream_protocol;
using tcp = boost::asio::ip::tcp;

// Room in a socket address for the path and its terminating zero.
constexpr std::size_t kMaxSocketPath = 107;
constexpr int kBacklog = 128;

// What differs between the two kinds: where the endpoint comes from, how it prints,
// and what binding and unbinding do to the file system.
template <class Protocol>
struct endpoint_rules;

template <>
struct endpoint_rules<local_protocol> {
  using endpoint_type = local_protocol::endpoint;

  static bool configured(const vl::BrelConfig& config) { return config.has_local_socket(); }

  static endpoint_type from_config(const vl::BrelConfig& config) {
    const std::string& path = config.local_socket();
    try {
      if (path.empty() || path[0] != '/') throw_error(vl::EC_NOT_ABSOLUTE_PATH, "");
      if (path.size() > kMaxSocketPath) {
        throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category());
      }
      return endpoint_type(path);
    } catch (const boost::system::system_error& e) {
      CF_LOG(kLogError, std::string("Endpoint: ") + exception_text(e) + ": \"" + path + "\"");
      throw vl::EC_BAD_CONFIG;
    }
  }

  static std::string text(const endpoint_type& endpoint) { return "\"" + endpoint.path() + "\""; }

  static bool same(const endpoint_type& a, const endpoint_type& b) { return a.path() == b.path(); }

  // A stale socket of an earlier run goes; anything else at the path is someone
  // else's file and stays.
  static void prepare(const endpoint_type& endpoint) {
    const std::string path = endpoint.path();
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      if (errno == ENOENT) return;
      throw_errno("lstat");
    }
    if (!S_ISSOCK(status.st_mode)) {
      throw boost::system::system_error(make_error_code(boost::system::errc::file_exists),
                                        "Not a socket: \"" + path + "\"");
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) throw_errno("unlink");
  }

  static void after_bind(const endpoint_type& endpoint) {
    // Every local user's clients may connect; who may scan is not this socket's call.
    if (chmod(endpoint.path().c_str(), 0666) != 0) throw_errno("chmod");
  }

  static void release(const endpoint_type& endpoint) {
    struct stat status;
    if (lstat(endpoint.path().c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
      unlink(endpoint.path().c_str());
    }
  }
};

template <>
struct endpoint_rules<tcp> {
  using endpoint_type = tcp::endpoint;

  static bool configured(const vl::BrelConfig& config) { return config.has_ip_socket(); }

  static endpoint_type from_config(const vl::BrelConfig& config) {
    const auto& socket = config.ip_socket();
    boost::asio::ip::address address;
    try {
      address = boost::asio::ip::make_address(socket.address());
    } catch (const boost::system::system_error& e) {
      CF_LOG(kLogError, std::string("Endpoint: ") + exception_text(e) + ": " + socket.address() +
                            ":" + std::to_string(socket.port()));
      throw vl::EC_BAD_CONFIG;
    }
    // A port above 65535 is a conversion error, left to the configuration apply.
    return endpoint_type(address, boost::lexical_cast<unsigned short>(socket.port()));
  }

  static std::string text(const endpoint_type& endpoint) {
    std::ostringstream out;
    out << endpoint;
    return out.str();
  }

  static bool same(const endpoint_type& a, const endpoint_type& b) { return a == b; }
};

template <class Protocol>
class acceptor_impl_t : public bk_client_acceptor_t,
                        public std::enable_shared_from_this<acceptor_impl_t<Protocol>> {
 public:
  using rules = endpoint_rules<Protocol>;
  using endpoint_type = typename Protocol::endpoint;
  using socket_type = typename Protocol::socket;

  acceptor_impl_t(bk_core_inventory_t& inventory, bk_client_job_factory_t job_factory)
      : inventory_(inventory),
        job_factory_(std::move(job_factory)),
        acceptor_(inventory.io_context),
        retry_timer_(inventory.io_context) {}

  ~acceptor_impl_t() override {
    if constexpr (std::is_same_v<Protocol, local_protocol>) {
      if (bound_) rules::release(*endpoint_);
    }
    if (started_) CF_LOG(kLogDebug, "Server on " + rules::text(*endpoint_) + " stopped");
    boost::system::error_code ignored;
    acceptor_.close(ignored);
  }

  void start(const vl::BrelConfig& config) override {
    endpoint_ = rules::from_config(config);
    boost::system::error_code error;
    if constexpr (std::is_same_v<Protocol, local_protocol>) {
      rules::prepare(*endpoint_);
      acceptor_.open(endpoint_->protocol(), error);
      throw_if_failed(error, "open");
      acceptor_.bind(*endpoint_, error);
      throw_if_failed(error, "bind");
      bound_ = true;
      rules::after_bind(*endpoint_);
    } else {
      acceptor_.open(endpoint_->protocol(), error);
      throw_if_failed(error, "open");
      acceptor_.set_option(typename Protocol::acceptor::reuse_address(true), error);
      throw_if_failed(error, "set_option");
      acceptor_.bind(*endpoint_, error);
      throw_if_failed(error, "bind");
    }
    acceptor_.listen(kBacklog, error);
    throw_if_failed(error, "listen");
    accept_next();
    started_ = true;
    // The bound endpoint: with port 0 configured, the port the system chose.
    const endpoint_type bound = acceptor_.local_endpoint(error);
    CF_LOG(kLogDebug, "Server on " + rules::text(error ? *endpoint_ : bound) + " started");
  }

  bool needs_restart(const vl::BrelConfig& config) override {
    if (!rules::configured(config)) return false;
    const endpoint_type wanted = rules::from_config(config);
    return !endpoint_ || !rules::same(wanted, *endpoint_);
  }

 private:
  void accept_next() {
    auto socket = std::make_shared<socket_type>(inventory_.io_context);
    auto done = [weak = this->weak_from_this(), socket](const boost::system::error_code& error) {
      if (auto self = weak.lock()) self->on_accept(error, socket);
    };
    if (injected_accept_error_) {
      const boost::system::error_code error = *injected_accept_error_;
      injected_accept_error_.reset();
      boost::asio::post(inventory_.io_context, [done, error] { done(error); });
      return;
    }
    acceptor_.async_accept(*socket, done);
  }

  void on_accept(const boost::system::error_code& error,
                 const std::shared_ptr<socket_type>& socket) {
    // The listener was closed: the loop ends.
    if (error == boost::asio::error::operation_aborted) return;
    // What a listener reports for a connection that went before it was taken, and
    // also what a broken one reports every time: accepting again goes through the
    // pause, so that it cannot spin the event loop.
    if (error == boost::asio::error::invalid_argument) {
      retry_after_pause(kLogDebug, error);
      return;
    }
    if (error) {
      on_accept_error(error);
      return;
    }
    bk_client_tie_t<Protocol>::create(inventory_, job_factory_)->start(socket);
    accept_next();
  }

  void on_accept_error(const boost::system::error_code& error) {
    // Out of descriptors or buffers passes; the listener must not end the daemon.
    handle_accept_error(
        error, "Server socket: accept", [&] { retry_after_pause(kLogError, error); },
        [&] { accept_next(); });
  }

  void retry_after_pause(int level, const boost::system::error_code& error) {
    CF_LOG(level, "Server socket: accept: " + error.message());
    retry_timer_.expires_after(accept_retry_delay_);
    retry_timer_.async_wait([weak = this->weak_from_this()](const boost::system::error_code& e) {
      auto self = weak.lock();
      // Our own cancel (the acceptor is going).
      if (!self || e == boost::asio::error::operation_aborted) return;
      self->accept_next();
    });
  }

  // Constant after construction.
  bk_core_inventory_t& inventory_;
  const bk_client_job_factory_t job_factory_;
  // Event loop only.
  typename Protocol::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  // Taken from the configuration by start; empty before.
  std::optional<endpoint_type> endpoint_;
  // The UNIX path is ours to remove only once we bound it.
  bool bound_ = false;
  bool started_ = false;
};

}  // namespace

std::shared_ptr<bk_client_acceptor_t> bk_client_acceptor_t::create(
    bk_core_inventory_t& inventory, int kind, bk_client_job_factory_t job_factory) {
  switch (kind) {
    case kUnix:
      return std::make_shared<acceptor_impl_t<local_protocol>>(inventory, std::move(job_factory));
    case kTcp:
      return std::make_shared<acceptor_impl_t<tcp>>(inventory, std::move(job_factory));
    default:
      std::terminate();
  }
}
