// bk_lumend_tie_t: the message link to the suite's cloud-lookup daemon (protocol
// lumend_client_ipc over a UNIX socket). It sends one CHECK_FILE_REQUEST per check,
// numbered by its own serial counter from 0, and hands every CHECK_FILE_RESPONSE and
// every link failure (malformed or unexpected messages included) to its delegate.
//
// Owned by the cloud-lookup manager through a shared pointer; outstanding link
// handlers keep it alive until they complete. The owner ends it with `close`, after
// which neither the delegate nor the connect callback is called again. The connect
// never makes the event loop wait, also when the listen backlog is full. Event
// loop only; no locks.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/path.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/scan_report.pb.h"

class bk_local_connector_t;

class bk_lumend_tie_t : public std::enable_shared_from_this<bk_lumend_tie_t>,
                        public cf_local_ipc_link_t {
 public:
  // Called on the event loop from the link's completions. The callee may close the
  // tie and drop its reference during either call.
  class delegate_t {
   public:
    // `result` is the cloud daemon's vl::ErrorCode in the "vl.Error" category;
    // `virus` is engaged only when the cloud daemon named one.
    virtual void on_check_result(std::uint32_t serial, const boost::system::error_code& result,
                                 const std::optional<vl::Virus>& virus) = 0;
    // End of file arrives as EC_LINK_DISCONNECTED; protocol faults as EC_BAD_MESSAGE_FORMAT,
    // EC_UNEXPECTED_MESSAGE or EC_PROTOCOL_VIOLATION. Reading has stopped.
    virtual void on_link_error(const boost::system::error_code& error) = 0;
    virtual ~delegate_t() = default;
  };

  // How a connect ended: a null pointer once the tie is connected and reading, else
  // boost::filesystem::filesystem_error "connect" with the path and the error.
  using connected_t = std::function<void(const std::exception_ptr& failure)>;

  // A new tie that connects to `path`; `connected` follows on the event loop, never
  // from inside this call. `delegate` must outlive the tie or `close` it first.
  // Throws boost::system::system_error(ENAMETOOLONG) at once for a path that does
  // not fit a UNIX socket address.
  // REQUIRES: `check` only after `connected` told of success.
  static std::shared_ptr<bk_lumend_tie_t> connect(boost::asio::io_context& io,
                                                  const boost::filesystem::path& path,
                                                  delegate_t* delegate, connected_t connected);

  // Sends a check of a file by its SHA-1 text and size (the low 32 bits travel) and
  // returns the serial its answer will carry: the counter's next one for which
  // `in_use` (when given) is false, so that a counter come round never names a
  // check still unanswered. Throws boost::system::system_error EC_BAD_MESSAGE_SIZE
  // "async_send_message" when the request cannot be framed.
  // REQUIRES: `in_use` is false for some serial.
  std::uint32_t check(const std::string& sha1, std::uint64_t size,
                      const std::function<bool(std::uint32_t)>& in_use = nullptr);

  // Tests: the serial the next check takes, as if the counter had come round.
  void set_next_serial(std::uint32_t serial) { next_serial = serial; }

  // Stops a connect under way, closes the socket and forgets the delegate: pending
  // completions end quietly.
  void close() noexcept;

  ~bk_lumend_tie_t() override;

 private:
  explicit bk_lumend_tie_t(delegate_t* delegate);

  void on_connected(const std::shared_ptr<cf_local_socket_t>& socket,
                    const boost::filesystem::path& path, const boost::system::error_code& error);

  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override;

  // Event loop only.
  std::uint32_t next_serial = 0;
  delegate_t* delegate;
  // Set while the connect is under way.
  std::shared_ptr<bk_local_connector_t> connector;
  connected_t connected;
};
