#include "tools/brel-scan/scan_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "framework/fd_io.h"
#include "framework/job_message.h"

namespace {

std::string system_text(int error) {
  return std::strerror(error);
}

constexpr auto make_message =
    &make_job_message<bk::ClientMessage, bk::ClientMessage::ClientMessageTag>;

}  // namespace

brel_scan_session_t::brel_scan_session_t(brel_scan_settings_t settings,
                                         std::vector<brel_scan_input_t> inputs,
                                         brel_scan_printer_t& printer,
                                         brel_scan_progress_t& progress, send_fn_t send,
                                         close_fn_t close)
    : settings_(std::move(settings)),
      inputs_(std::move(inputs)),
      printer_(printer),
      progress_(progress),
      send_(std::move(send)),
      close_(std::move(close)) {}

brel_scan_session_t::~brel_scan_session_t() {
  close_input();
  discard_output();
}

void brel_scan_session_t::start() {
  bk::ClientMessage hello;
  hello.set_tag(bk::ClientMessage::HELLO);
  hello.set_origin(settings_.origin);
  hello.set_origin_pid(static_cast<uint32_t>(getpid()));
  if (settings_.flow_control) {
    hello.set_flow_control(true);
  } else {
    // Without a window the client paces itself by the connection's send queue.
    window_known_ = true;
    window_ = std::numeric_limits<int64_t>::max();
  }
  send(hello);
  // With flow control nothing is sent before the daemon's first window arrives.
  if (window_known_) start_next_job();
}

// ---------------------------------------------------------------------------
// One job per input

void brel_scan_session_t::start_next_job() {
  while (next_input_ < inputs_.size()) {
    const brel_scan_input_t& input = inputs_[next_input_++];
    result_ = brel_scan_result_t();
    result_.name = input.display_name;
    sent_ = 0;
    input_size_ = -1;
    if (input.path.empty()) {
      input_fd_ = dup(STDIN_FILENO);
      if (input_fd_ < 0) {
        result_.error = "cannot read standard input: " + system_text(errno);
        printer_.print(result_);
        continue;
      }
    } else {
      input_fd_ = open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat status;
      if (input_fd_ >= 0 && fstat(input_fd_, &status) == 0 && S_ISDIR(status.st_mode)) {
        close_input();
        errno = EISDIR;
      }
      if (input_fd_ < 0) {
        result_.error = "cannot open: " + system_text(errno);
        printer_.print(result_);
        continue;
      }
      if (S_ISREG(status.st_mode)) input_size_ = status.st_size;
    }
    job_id_ = next_job_id_++;
    send(make_message(bk::ClientMessage::INIT, job_id_));
    phase_ = phase_t::streaming;
    progress_.begin(result_.name, "sending", input_size_);
    pump();
    return;
  }
  // Every input is done: leaving ends the daemon's side of the conversation too.
  phase_ = phase_t::idle;
  finished_ = true;
  close_();
}

void brel_scan_session_t::pump() {
  // One chunk at a time in the send queue keeps a large input out of memory.
  while (phase_ == phase_t::streaming && link_idle_ && window_ > 0) {
    const std::size_t size = static_cast<std::size_t>(
        std::min<int64_t>(window_, static_cast<int64_t>(settings_.chunk_size)));
    std::string chunk(size, '\0');
    ssize_t n;
    do {
      n = read(input_fd_, chunk.data(), size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      result_.error = "read error: " + system_text(errno);
      finish_job(true);
      return;
    }
    if (n == 0) {
      start_scan();
      return;
    }
    chunk.resize(static_cast<std::size_t>(n));
    bk::ClientMessage message = make_message(bk::ClientMessage::DATA_CHUNK, job_id_);
    message.set_data(std::move(chunk));
    window_ -= n;
    sent_ += static_cast<uint64_t>(n);
    send(message);
    progress_.update(sent_);
  }
}

void brel_scan_session_t::start_scan() {
  close_input();
  progress_.note("scanning");
  bk::ClientMessage message = make_message(bk::ClientMessage::SCAN_REQUEST, job_id_);
  *message.mutable_scan_options() = settings_.options;
  send(message);
  phase_ = phase_t::scanning;
}

void brel_scan_session_t::finish_job(bool send_reset) {
  close_input();
  discard_output();
  progress_.end();
  if (send_reset) send(make_message(bk::ClientMessage::RESET, job_id_));
  phase_ = phase_t::idle;
  printer_.print(result_);
  start_next_job();
}

// ---------------------------------------------------------------------------
// What the daemon says

void brel_scan_session_t::on_server_message(const bk::ServerMessage& message) {
  if (finished_) return;
  if (message.tag() == bk::ServerMessage::ADJUST_WINDOW) {
    on_adjust_window(message);
    return;
  }
  if (phase_ == phase_t::idle || !message.has_job_id() || message.job_id() != job_id_) {
    abandon("the daemon sent " + bk::ServerMessage::ServerMessageTag_Name(message.tag()) +
            " for a job this client does not have open");
    return;
  }
  switch (message.tag()) {
    case bk::ServerMessage::ALARM:
      on_alarm(message);
      break;
    case bk::ServerMessage::SCAN_RESPONSE:
      on_scan_response(message);
      break;
    case bk::ServerMessage::GET_DATA_RESPONSE:
      on_get_data_response(message);
      break;
    case bk::ServerMessage::DATA_CHUNK:
      on_data_chunk(message);
      break;
    default:
      abandon("the daemon sent an unknown message");
  }
}

void brel_scan_session_t::on_adjust_window(const bk::ServerMessage& message) {
  if (!message.has_window_change()) {
    abandon("the daemon sent ADJUST_WINDOW without a window");
    return;
  }
  window_ += message.window_change();
  if (!window_known_) {
    window_known_ = true;
    start_next_job();
    return;
  }
  pump();
}

void brel_scan_session_t::on_alarm(const bk::ServerMessage& message) {
  result_.alarm = message.error();
  result_.error = describe_alarm(message.error());
  // A soft alarm keeps the job on the daemon; this client asked for none, but leaves
  // nothing open either way.
  finish_job(message.soft());
}

void brel_scan_session_t::on_scan_response(const bk::ServerMessage& message) {
  if (phase_ != phase_t::scanning || !message.has_scan_report()) {
    abandon("the daemon sent a scan response out of turn");
    return;
  }
  result_.report = message.scan_report();
  result_.sha1 = message.sha1();
  result_.sha256 = message.sha256();
  // Data removed by the cure leaves nothing to write.
  if (settings_.output_path.empty() || message.scan_report().cured_by_deletion()) {
    finish_job(true);
    return;
  }
  send(make_message(bk::ClientMessage::GET_DATA_REQUEST, job_id_));
  phase_ = phase_t::reading_back;
  expected_ = 0;
  received_ = 0;
}

void brel_scan_session_t::on_get_data_response(const bk::ServerMessage& message) {
  if (phase_ != phase_t::reading_back || output_fd_ >= 0 || !message.has_data_size()) {
    abandon("the daemon sent a data response out of turn");
    return;
  }
  expected_ = message.data_size();
  progress_.begin(result_.name, "receiving", static_cast<int64_t>(expected_));
  output_temp_ = settings_.output_path + ".part-" + std::to_string(getpid());
  output_fd_ = open(output_temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output_fd_ < 0) {
    result_.error = "cannot create " + output_temp_ + ": " + system_text(errno);
    output_temp_.clear();
    finish_job(true);
    return;
  }
  if (expected_ == 0) on_data_chunk(message);
}

void brel_scan_session_t::on_data_chunk(const bk::ServerMessage& message) {
  if (phase_ != phase_t::reading_back || output_fd_ < 0) {
    abandon("the daemon sent data out of turn");
    return;
  }
  const std::string& data = message.data();
  if (data.size() > expected_ - received_) {
    result_.error = "the daemon returned more data than it announced";
    finish_job(true);
    return;
  }
  boost::system::error_code error;
  write_all(output_fd_, data.data(), data.size(), error);
  if (error) {
    result_.error = "cannot write " + output_temp_ + ": " + error.message();
    finish_job(true);
    return;
  }
  received_ += data.size();
  progress_.update(received_);
  if (received_ < expected_) return;
  const int fd = output_fd_;
  output_fd_ = -1;
  if (fsync(fd) != 0 || ::close(fd) != 0) {
    result_.error = "cannot write " + output_temp_ + ": " + system_text(errno);
  } else if (rename(output_temp_.c_str(), settings_.output_path.c_str()) != 0) {
    result_.error = "cannot rename to " + settings_.output_path + ": " + system_text(errno);
  } else {
    output_temp_.clear();
    result_.output_path = settings_.output_path;
  }
  finish_job(true);
}

// ---------------------------------------------------------------------------
// The connection

void brel_scan_session_t::on_link_idle() {
  link_idle_ = true;
  pump();
}

void brel_scan_session_t::on_link_lost(const std::string& why) {
  if (finished_) return;
  abandon(why);
}

void brel_scan_session_t::abandon(const std::string& why) {
  finished_ = true;
  if (phase_ != phase_t::idle) {
    result_.error = why;
    close_input();
    discard_output();
    progress_.end();
    printer_.print(result_);
  }
  phase_ = phase_t::idle;
  for (; next_input_ < inputs_.size(); ++next_input_) {
    brel_scan_result_t skipped;
    skipped.name = inputs_[next_input_].display_name;
    skipped.error = "not scanned: " + why;
    printer_.print(skipped);
  }
  close_();
}

void brel_scan_session_t::send(const bk::ClientMessage& message) {
  link_idle_ = false;
  send_(message);
}

void brel_scan_session_t::close_input() {
  if (input_fd_ >= 0) ::close(input_fd_);
  input_fd_ = -1;
}

void brel_scan_session_t::discard_output() {
  if (output_fd_ >= 0) ::close(output_fd_);
  output_fd_ = -1;
  if (!output_temp_.empty()) unlink(output_temp_.c_str());
  output_temp_.clear();
}
