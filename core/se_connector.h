// bk_se_connector_t: the message link to the suite's scanning-engine daemon over a
// UNIX socket. It sends SCAN_FILE_REQUEST messages numbered by an engine serial and
// hands each SCAN_FILE_RESULT, and each failure of the link, to its delegate (the
// engine front, which does all correlation). A message from the engine that is not
// a well-formed result is a failure of the link, never of the process: the link
// closes itself and reports it.
//
// Owned by the engine front through a shared pointer; outstanding reads and writes
// keep it alive until they complete. Event loop only. The connect never makes the
// event loop wait, also when the engine's listen backlog is full. After close()
// neither the delegate nor the connect callback hears anything more from this link.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "framework/basic_ipc_link.h"

class bk_local_connector_t;

namespace bk {
class ScanOptions;
}
namespace se {
class ClientMessage;
}
namespace vl {
class ScanReport;
}

class bk_se_connector_t : public std::enable_shared_from_this<bk_se_connector_t>,
                          public cf_local_ipc_link_t {
 public:
  // Called on the event loop, from inside the link's read or write completion.
  class delegate_t {
   public:
    virtual ~delegate_t() = default;
    // A valid answer; `serial` is passed on as received (0 included).
    virtual void on_scan_result(std::uint32_t serial, const vl::ScanReport& report) = 0;
    // The link failed: end of file (as EC_LINK_DISCONNECTED), a socket error, a
    // refused frame size, or a malformed message (EC_BAD_MESSAGE_FORMAT,
    // EC_UNEXPECTED_MESSAGE, EC_PROTOCOL_VIOLATION). Nothing more is read; the
    // delegate drops the link.
    virtual void on_link_error(const boost::system::error_code& error) = 0;
  };

  // How a connect ended: a null pointer once the link is connected and reading,
  // else boost::filesystem::filesystem_error ("connect", the path, the error).
  using connected_t = std::function<void(const std::exception_ptr& failure)>;

  // Starts connecting to the engine socket at `path`; `connected` follows on the
  // event loop, never from inside this call. Throws boost::system::system_error
  // (ENAMETOOLONG) at once for a path longer than a UNIX socket address holds.
  // REQUIRES: `delegate` outlives the link or the link's close(); send_scan only
  // after `connected` told of success.
  static std::shared_ptr<bk_se_connector_t> connect(boost::asio::io_context& io,
                                                    const std::string& path, delegate_t* delegate,
                                                    connected_t connected);

  ~bk_se_connector_t() override;

  // Queues one SCAN_FILE_REQUEST for the file at `path` with the scan settings of
  // `options`. Throws boost::system::system_error (EC_BAD_MESSAGE_SIZE,
  // "async_send_message") when the message is too large; nothing is queued then.
  void send_scan(std::uint32_t serial, const bk::ScanOptions& options, const std::string& path);

  // Stops a connect under way, closes the socket and forgets the delegate; pending
  // completions end quietly.
  void close();

  // The engine request for one scan, every copied setting set explicitly so that it
  // is on the wire even where it equals the engine's default.
  static void build_scan_request(std::uint32_t serial, const bk::ScanOptions& options,
                                 const std::string& path, se::ClientMessage& message);

 private:
  bk_se_connector_t();

  void on_connected(const std::shared_ptr<cf_local_socket_t>& socket, const std::string& path,
                    const boost::system::error_code& error);
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override;

  // Event loop only. Not owned; null before connect and after close.
  delegate_t* delegate_ = nullptr;
  // Set while the connect is under way.
  std::shared_ptr<bk_local_connector_t> connector_;
  connected_t connected_;
};
