// stand_marrod_t: a stand-in for the suite's configuration daemon. It starts
// velmo-brelkin with one end of a connected UNIX socket pair named by
// COM_VELMO_MONITOR and serves marrod_brel_ipc on the other end: the configuration
// from its file with a revision (a new one after each SIGHUP that re-reads the
// file), socket paths of the engine and the cloud daemon from its options, and a
// readable line for the application information and for each change of the
// statistics. A daemon that exits with status 0 is started again; any other status
// ends the stand-in with that status. SIGTERM and SIGINT are passed on.
//
// Owned by main, on its stack, together with the event loop; main thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "schemas/marrod_brel_ipc.pb.h"

struct stand_options_t {
  std::string config_path;
  std::string daemon_path;
  // Empty: GET_SE_REQUEST / GET_LUMEND_REQUEST are answered with an error.
  std::string se_socket;
  std::string lumend_socket;
};

class stand_marrod_t {
 public:
  // REQUIRES: `io` outlives the stand-in.
  stand_marrod_t(boost::asio::io_context& io, stand_options_t options, vl::BrelConfig config);
  ~stand_marrod_t();
  stand_marrod_t(const stand_marrod_t&) = delete;
  stand_marrod_t& operator=(const stand_marrod_t&) = delete;

  // Starts the daemon. Throws std::system_error when it cannot be started.
  void start();
  // The stand-in's own exit status, once the event loop has stopped.
  int exit_status() const { return exit_status_; }

  // Called by the link.
  void on_message(const vl::Brel2MarrodMessage& message);
  void on_link_error(const boost::system::error_code& code);

 private:
  class link_t;

  void spawn();
  void send_config();
  void answer_socket_path(vl::Marrod2BrelMessage::MessageTag tag, const std::string& path,
                          vl::ErrorCode code, const char* what);
  void wait_child();
  void on_child(const boost::system::error_code& error);
  void wait_hangup();
  void on_hangup(const boost::system::error_code& error);
  void wait_terminate();
  void on_terminate(const boost::system::error_code& error, int signal_number);
  void finish(int status);

  // Constant after construction.
  boost::asio::io_context& io_;
  const stand_options_t options_;

  // Event loop only.
  boost::asio::signal_set child_signal_;
  boost::asio::signal_set hangup_signal_;
  boost::asio::signal_set terminate_signals_;
  vl::BrelConfig config_;
  std::uint32_t revision_ = 1;
  std::shared_ptr<link_t> link_;
  pid_t pid_ = -1;
  std::string last_info_;
  std::string last_stat_;
  int exit_status_ = 0;
};
