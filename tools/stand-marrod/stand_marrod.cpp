#include "tools/stand-marrod/stand_marrod.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <vector>

#include <boost/asio/local/stream_protocol.hpp>

#include "framework/basic_ipc_link.h"
#include "framework/enum_name.h"
#include "tools/stand-marrod/config_file.h"
#include "tools/stand-marrod/report_text.h"

extern char** environ;

namespace {

void say(const std::string& text) {
  std::cout << "stand-marrod: " << text << std::endl;
}

std::string status_text(int status) {
  return std::to_string(status) + " (" +
         enum_number_display_name(vl::ErrorCode_descriptor(), status) + ")";
}

}  // namespace

// The stand-in's end of one daemon's link; a restarted daemon gets a new one.
class stand_marrod_t::link_t : public std::enable_shared_from_this<link_t>,
                               public cf_local_ipc_link_t {
 public:
  link_t(stand_marrod_t& owner, boost::asio::io_context& io, int fd)
      : cf_local_ipc_link_t(kIpcLinkLimit), owner_(owner) {
    auto socket = std::make_shared<cf_local_socket_t>(io);
    socket->assign(boost::asio::local::stream_protocol(), fd);
    set_socket(std::move(socket));
  }
  void start() { read_header(); }
  void close() {
    boost::system::error_code ignored;
    socket()->close(ignored);
  }

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    vl::Brel2MarrodMessage message;
    if (!message.ParseFromZeroCopyStream(&body)) {
      say("velmo-brelkin sent a message that does not parse; ignored");
      return;
    }
    owner_.on_message(message);
  }
  void on_error(const boost::system::error_code& code) override { owner_.on_link_error(code); }
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

  stand_marrod_t& owner_;
};

stand_marrod_t::stand_marrod_t(boost::asio::io_context& io, stand_options_t options,
                               vl::BrelConfig config)
    : io_(io),
      options_(std::move(options)),
      // Armed before the first fork, so no exit of the daemon goes unnoticed.
      child_signal_(io, SIGCHLD),
      hangup_signal_(io, SIGHUP),
      terminate_signals_(io, SIGTERM, SIGINT),
      config_(std::move(config)) {}

stand_marrod_t::~stand_marrod_t() {
  if (link_) link_->close();
}

void stand_marrod_t::start() {
  spawn();
  wait_child();
  wait_hangup();
  wait_terminate();
}

void stand_marrod_t::spawn() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::system_error(errno, std::generic_category(), "socketpair");
  }
  // Built before fork: the child only calls what is safe between fork and exec.
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "COM_VELMO_MONITOR=", 18) != 0) env_text.push_back(*entry);
  }
  env_text.push_back("COM_VELMO_MONITOR=" + std::to_string(pair[1]));
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string program = options_.daemon_path;
  char* argv[] = {program.data(), nullptr};

  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    throw std::system_error(error, std::generic_category(), "fork");
  }
  if (pid == 0) {
    // Its own process group: a terminal's Ctrl-C reaches the daemon once, from us.
    ::setpgid(0, 0);
    ::fcntl(pair[1], F_SETFD, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv, envp.data());
    const char message[] = "stand-marrod: cannot execute the daemon\n";
    [[maybe_unused]] auto ignored = ::write(2, message, sizeof message - 1);
    ::_exit(127);
  }
  ::close(pair[1]);
  pid_ = pid;
  if (link_) link_->close();
  link_ = std::make_shared<link_t>(*this, io_, pair[0]);
  link_->start();
  say("started " + options_.daemon_path + " (pid " + std::to_string(pid) + ")");
}

// ---------------------------------------------------------------------------
// The protocol

void stand_marrod_t::on_message(const vl::Brel2MarrodMessage& message) {
  switch (message.tag()) {
    case vl::Brel2MarrodMessage::GET_CONFIG_REQUEST:
      send_config();
      return;
    case vl::Brel2MarrodMessage::GET_SE_REQUEST:
      answer_socket_path(vl::Marrod2BrelMessage::GET_SE_RESPONSE, options_.se_socket,
                         vl::EC_NO_SCAN_ENGINE, "No ScanEngine socket is configured");
      return;
    case vl::Brel2MarrodMessage::GET_LUMEND_REQUEST:
      answer_socket_path(vl::Marrod2BrelMessage::GET_LUMEND_RESPONSE, options_.lumend_socket,
                         vl::EC_NO_LUMEND, "No LumenD socket is configured");
      return;
    case vl::Brel2MarrodMessage::MY_INFO_NOTIFICATION: {
      const std::string text = app_info_text(message);
      if (text != last_info_) say("application information: " + text);
      last_info_ = text;
      return;
    }
    case vl::Brel2MarrodMessage::MY_STAT_NOTIFICATION: {
      const std::string text = stat_text(message.stat());
      if (text != last_stat_) say("statistics: " + text);
      last_stat_ = text;
      return;
    }
  }
  say("unexpected message " + std::to_string(message.tag()) + " from velmo-brelkin; ignored");
}

void stand_marrod_t::send_config() {
  vl::Marrod2BrelMessage message;
  message.set_tag(vl::Marrod2BrelMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision_);
  *message.mutable_config() = config_;
  link_->async_send_message(message);
  say("configuration revision " + std::to_string(revision_) + " sent");
}

void stand_marrod_t::answer_socket_path(vl::Marrod2BrelMessage::MessageTag tag,
                                        const std::string& path, vl::ErrorCode code,
                                        const char* what) {
  vl::Marrod2BrelMessage message;
  message.set_tag(tag);
  const char* kind = tag == vl::Marrod2BrelMessage::GET_SE_RESPONSE ? "engine" : "cloud";
  if (path.empty()) {
    message.mutable_error()->set_code(code);
    message.mutable_error()->set_what(what);
    say(std::string(kind) + " socket path asked for: none configured");
  } else {
    message.set_socket_path(path);
    say(std::string(kind) + " socket path asked for: " + path);
  }
  link_->async_send_message(message);
}

void stand_marrod_t::on_link_error(const boost::system::error_code& code) {
  // The daemon is ending; its exit status follows through SIGCHLD.
  if (code == boost::asio::error::eof) return;
  say("link to velmo-brelkin: " + code.message());
}

// ---------------------------------------------------------------------------
// Signals and the daemon's exit

void stand_marrod_t::wait_child() {
  child_signal_.async_wait(
      [this](const boost::system::error_code& error, int) { on_child(error); });
}

void stand_marrod_t::on_child(const boost::system::error_code& error) {
  // Stopping.
  if (error == boost::asio::error::operation_aborted) return;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) {
    wait_child();
    return;
  }
  pid_ = -1;
  if (WIFSIGNALED(status)) {
    const int signal_number = WTERMSIG(status);
    say("velmo-brelkin killed by signal " + std::to_string(signal_number) + " (" +
        ::strsignal(signal_number) + ")");
    finish(128 + signal_number);
    return;
  }
  const int code = WEXITSTATUS(status);
  if (code != 0) {
    say("velmo-brelkin exited with status " + status_text(code));
    finish(code);
    return;
  }
  say("velmo-brelkin exited with status " + status_text(code) + "; starting it again");
  try {
    spawn();
  } catch (const std::exception& e) {
    say(std::string("cannot start velmo-brelkin again: ") + e.what());
    finish(1);
    return;
  }
  wait_child();
}

void stand_marrod_t::wait_hangup() {
  hangup_signal_.async_wait(
      [this](const boost::system::error_code& error, int) { on_hangup(error); });
}

void stand_marrod_t::on_hangup(const boost::system::error_code& error) {
  // Stopping.
  if (error == boost::asio::error::operation_aborted) return;
  try {
    config_ = read_config_file(options_.config_path);
    ++revision_;
    say("SIGHUP: configuration file read again, pushing revision " + std::to_string(revision_));
    if (pid_ > 0 && link_->is_open()) send_config();
  } catch (const std::exception& e) {
    say(std::string("SIGHUP: ") + e.what() + "; the configuration stays at revision " +
        std::to_string(revision_));
  }
  wait_hangup();
}

void stand_marrod_t::wait_terminate() {
  terminate_signals_.async_wait([this](const boost::system::error_code& error, int signal_number) {
    on_terminate(error, signal_number);
  });
}

void stand_marrod_t::on_terminate(const boost::system::error_code& error, int signal_number) {
  // Stopping.
  if (error == boost::asio::error::operation_aborted) return;
  if (pid_ <= 0) {
    finish(128 + signal_number);
    return;
  }
  say(std::string("passing ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM") +
      " on to velmo-brelkin");
  ::kill(pid_, signal_number);
  wait_terminate();
}

void stand_marrod_t::finish(int status) {
  exit_status_ = status;
  boost::system::error_code ignored;
  child_signal_.cancel(ignored);
  hangup_signal_.cancel(ignored);
  terminate_signals_.cancel(ignored);
  if (link_) link_->close();
  io_.stop();
}
