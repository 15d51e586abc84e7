// marrod_harness_t: plays the configuration daemon for one run of the real
// velmo-brelkin. It starts the program with one end of a connected UNIX socket pair
// named by COM_VELMO_MONITOR, speaks marrod_brel_ipc on the other end through the
// daemon's own message link, and collects the program's standard error and
// standard output.
//
// Owned by one test, on its thread; every wait runs the harness's own event loop
// under a deadline. The destructor kills and reaps the program if it still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/marrod_brel_ipc.pb.h"

#ifdef BRELKIN_BINARY_DIR
inline std::string brelkin_program() {
  return BRELKIN_BINARY_DIR "/velmo-brelkin";
}
#endif

// The configuration daemon's end of a link, on the caller's event loop: keeps
// what the daemon sends, statistics apart from the rest, and answers requests for
// the engine's socket path itself once it is set.
// Throws from the loop when the daemon sends something that does not parse.
class marrod_end_t : public std::enable_shared_from_this<marrod_end_t>, public cf_local_ipc_link_t {
 public:
  // Takes over the connected descriptor `fd` and starts reading.
  static std::shared_ptr<marrod_end_t> open(boost::asio::io_context& io, int fd);

  void send_config(std::uint32_t revision, const vl::BrelConfig& config);
  void close();
  // Answers `request` when it asks for the engine's path and that is set; false
  // otherwise.
  bool answer_path(const vl::Brel2MarrodMessage& request);

  std::deque<vl::Brel2MarrodMessage> messages;
  std::deque<vl::Brel2MarrodMessage> stats;
  // Empty: the request is kept in `messages` for the test to answer.
  std::string se_path;

 private:
  marrod_end_t() : cf_local_ipc_link_t(kIpcLinkLimit) {}
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  // The daemon's end closed: nothing more arrives.
  void on_error(const boost::system::error_code&) override {}
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }
};

// A configuration that runs the daemon as the current user, logs everything to
// standard error (where the harness reads it) and spools in `spool_dir`.
vl::BrelConfig make_test_config(const std::string& spool_dir);

class marrod_harness_t {
 public:
  using message_t = vl::Brel2MarrodMessage;
  using tag_t = vl::Brel2MarrodMessage::MessageTag;
  static constexpr std::chrono::milliseconds kWait{10000};

  explicit marrod_harness_t(std::string program);
  // Runs on `io`, shared with other harnesses (several daemons at once): a wait on
  // any of them also reads the others' output and links.
  // REQUIRES: `io` outlives the harness.
  marrod_harness_t(std::string program, boost::asio::io_context& io);
  ~marrod_harness_t();
  marrod_harness_t(const marrod_harness_t&) = delete;
  marrod_harness_t& operator=(const marrod_harness_t&) = delete;

  // COM_VELMO_MONITOR of the next start: the descriptor number of the daemon's end
  // unless this gives another text.
  void set_monitor_text(const std::string& text) { monitor_text_ = text; }
  // Runs the program as a plain process: no link, no COM_VELMO_MONITOR (for
  // programs that play the configuration daemon themselves).
  void without_link() { with_link_ = false; }
  void start(const std::vector<std::string>& args = {});
  // From now on the harness answers the daemon's requests for the engine's socket
  // path with this one.
  void serve_paths(const std::string& se_path);

  // Messages from the daemon, oldest first. Statistics are kept apart, so these
  // waits see only the other messages.
  bool next(message_t& message, std::chrono::milliseconds timeout = kWait);
  // Skips other messages until one with `tag` arrives.
  bool wait_for(tag_t tag, message_t& message);

  void send(const vl::Marrod2BrelMessage& message);
  void send_config(std::uint32_t revision, const vl::BrelConfig& config);
  // Answers the next GET_CONFIG_REQUEST (fails the wait when none comes).
  bool answer_config(std::uint32_t revision, const vl::BrelConfig& config);
  // Closes the harness's end of the link.
  void close_link();

  void signal(int signal_number);
  // The exit status; -1 when the program did not end within the timeout, 128 + n
  // when a signal n killed it.
  int wait_exit(std::chrono::milliseconds timeout = kWait);
  // The port of the first "<what> on 127.0.0.1:<port> started" line the program
  // logs ("Server", "Peer acceptor"); 0 when none comes.
  unsigned short wait_port(const std::string& what);
  // Everything the program wrote so far on standard error and standard output.
  const std::string& output() const { return output_; }
  pid_t pid() const { return pid_; }

 private:
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void start_output_read();
  bool reap();

  std::string program_;
  std::string monitor_text_;
  bool with_link_ = true;
  // Set unless the harness runs on a loop it was given.
  std::unique_ptr<boost::asio::io_context> own_io_;
  boost::asio::io_context& io_;
  // Expires with the harness; a read completing on a shared loop checks it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::shared_ptr<marrod_end_t> link_;
  std::unique_ptr<boost::asio::posix::stream_descriptor> output_pipe_;
  std::string output_;
  char output_chunk_[4096];
  bool output_closed_ = false;
  pid_t pid_ = -1;
  int status_ = -1;
};
