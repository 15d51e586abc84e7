#include "tests/support/marrod_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <stdexcept>
#include <system_error>

#include <boost/asio/local/stream_protocol.hpp>

#include "framework/basic_ipc_link.h"
#include "tests/support/run_until.h"

extern char** environ;

std::shared_ptr<marrod_end_t> marrod_end_t::open(boost::asio::io_context& io, int fd) {
  std::shared_ptr<marrod_end_t> end(new marrod_end_t);
  auto socket = std::make_shared<cf_local_socket_t>(io);
  socket->assign(boost::asio::local::stream_protocol(), fd);
  end->set_socket(std::move(socket));
  end->read_header();
  return end;
}

void marrod_end_t::send_config(std::uint32_t revision, const vl::BrelConfig& config) {
  vl::Marrod2BrelMessage message;
  message.set_tag(vl::Marrod2BrelMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision);
  *message.mutable_config() = config;
  async_send_message(message);
}

void marrod_end_t::close() {
  boost::system::error_code ignored;
  if (socket()) socket()->close(ignored);
}

void marrod_end_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  vl::Brel2MarrodMessage message;
  if (!message.ParseFromZeroCopyStream(&body)) {
    throw std::runtime_error("marrod_end_t: the daemon sent a malformed message");
  }
  if (answer_path(message)) return;
  auto& queue = message.tag() == vl::Brel2MarrodMessage::MY_STAT_NOTIFICATION ? stats : messages;
  queue.push_back(std::move(message));
}

bool marrod_end_t::answer_path(const vl::Brel2MarrodMessage& request) {
  if (request.tag() != vl::Brel2MarrodMessage::GET_SE_REQUEST || se_path.empty()) return false;
  vl::Marrod2BrelMessage response;
  response.set_tag(vl::Marrod2BrelMessage::GET_SE_RESPONSE);
  response.set_socket_path(se_path);
  async_send_message(response);
  return true;
}

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

vl::BrelConfig make_test_config(const std::string& spool_dir) {
  vl::BrelConfig config;
  config.set_log_level(vl::LOG_LEVEL_DEBUG);
  config.mutable_actual_log()->set_type(vl::Log::STDERR);
  config.mutable_run_as_user()->set_uid(::getuid());
  config.set_spool_dir(spool_dir);
  return config;
}

marrod_harness_t::marrod_harness_t(std::string program)
    : program_(std::move(program)),
      own_io_(std::make_unique<boost::asio::io_context>()),
      io_(*own_io_) {}

marrod_harness_t::marrod_harness_t(std::string program, boost::asio::io_context& io)
    : program_(std::move(program)), io_(io) {}

marrod_harness_t::~marrod_harness_t() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (link_) link_->close();
  if (output_pipe_) {
    boost::system::error_code ignored;
    output_pipe_->close(ignored);
  }
}

void marrod_harness_t::start(const std::vector<std::string>& args) {
  int pair[2] = {-1, -1};
  if (with_link_ && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    fail("socketpair");
  }
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) fail("pipe2");

  // Everything the child needs is built before fork: only exec-safe calls follow.
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    const auto eq = text.find('=');
    if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  env.erase("COM_VELMO_MONITOR");
  env.erase("COM_VELMO_ADD_LOG_PIPE");
  if (with_link_) {
    env["COM_VELMO_MONITOR"] = monitor_text_.empty() ? std::to_string(pair[1]) : monitor_text_;
  }
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text{program_};
  arg_text.insert(arg_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : arg_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    ::dup2(output[1], 1);
    ::dup2(output[1], 2);
    // The daemon's end survives exec; nothing else of ours may: a test's socket
    // the daemon held a copy of would outlive the test's close (an engine's
    // listener, a client's connection).
    if (with_link_) {
      ::fcntl(pair[1], F_SETFD, 0);
      if (pair[1] > 3) ::close_range(3, static_cast<unsigned>(pair[1]) - 1, 0);
      ::close_range(static_cast<unsigned>(pair[1]) + 1, ~0U, 0);
    } else {
      ::close_range(3, ~0U, 0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program_.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(output[1]);
  if (with_link_) {
    ::close(pair[1]);
    link_ = marrod_end_t::open(io_, pair[0]);
  }
  output_pipe_ = std::make_unique<boost::asio::posix::stream_descriptor>(io_, output[0]);
  start_output_read();
}

void marrod_harness_t::serve_paths(const std::string& se_path) {
  link_->se_path = se_path;
  // Requests that came before are answered too.
  auto& queue = link_->messages;
  queue.erase(std::remove_if(queue.begin(), queue.end(),
                             [this](const auto& request) { return link_->answer_path(request); }),
              queue.end());
}

void marrod_harness_t::start_output_read() {
  output_pipe_->async_read_some(boost::asio::buffer(output_chunk_),
                                [this, alive = std::weak_ptr<bool>(alive_)](
                                    const boost::system::error_code& error, std::size_t size) {
                                  // A shared loop may run on after this harness is gone.
                                  if (alive.expired()) return;
                                  if (error) {
                                    output_closed_ = true;
                                    return;
                                  }
                                  output_.append(output_chunk_, size);
                                  start_output_read();
                                });
}

bool marrod_harness_t::run_until(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
  return ::run_until(io_, done, timeout);
}

bool marrod_harness_t::next(message_t& message, std::chrono::milliseconds timeout) {
  if (!run_until([this] { return !link_->messages.empty(); }, timeout)) return false;
  message = std::move(link_->messages.front());
  link_->messages.pop_front();
  return true;
}

bool marrod_harness_t::wait_for(tag_t tag, message_t& message) {
  return run_until(
      [&] {
        while (!link_->messages.empty()) {
          message = std::move(link_->messages.front());
          link_->messages.pop_front();
          if (message.tag() == tag) return true;
        }
        return false;
      },
      kWait);
}

void marrod_harness_t::send(const vl::Marrod2BrelMessage& message) {
  link_->async_send_message(message);
}

void marrod_harness_t::send_config(std::uint32_t revision, const vl::BrelConfig& config) {
  link_->send_config(revision, config);
}

bool marrod_harness_t::answer_config(std::uint32_t revision, const vl::BrelConfig& config) {
  message_t request;
  if (!wait_for(vl::Brel2MarrodMessage::GET_CONFIG_REQUEST, request)) return false;
  send_config(revision, config);
  return true;
}

void marrod_harness_t::close_link() {
  link_->close();
}

void marrod_harness_t::signal(int signal_number) {
  ::kill(pid_, signal_number);
}

bool marrod_harness_t::reap() {
  if (status_ >= 0) return true;
  int status;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

int marrod_harness_t::wait_exit(std::chrono::milliseconds timeout) {
  // The output closes when the program ends; its remaining lines are read first.
  if (!run_until([this] { return output_closed_ && reap(); }, timeout)) return -1;
  return status_;
}

unsigned short marrod_harness_t::wait_port(const std::string& what) {
  const std::regex started(what + " on 127\\.0\\.0\\.1:([0-9]+) started");
  std::smatch match;
  if (!run_until([&] { return std::regex_search(output_, match, started) || output_closed_; },
                 kWait) ||
      match.empty()) {
    return 0;
  }
  return static_cast<unsigned short>(std::stoi(match[1].str()));
}
