// stand_se_t: a stand-in for the suite's scanning-engine daemon, for tests and
// demonstrations. It serves se_client_ipc on a UNIX socket: for each
// SCAN_FILE_REQUEST it reads the named file and answers SCAN_FILE_RESULT with the
// same serial, reporting a threat when the file holds the anti-virus test text and,
// when asked to cure, removing that text from the file in place. Options add a
// per-scan delay, a limit of concurrent scans, a benchmark mode (clean after a plain
// read) and faults for tests (drop the link, answer out of order, send a malformed
// message).
//
// Header only, so that tests run the same engine inside their own event loop. Held
// by a shared pointer; stop() closes the listener and every connection and removes
// the socket file. Event loop only.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/operations.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/scan_report.pb.h"
#include "schemas/se_client_ipc.pb.h"
#include "tests/support/test_virus.h"

struct stand_se_options_t {
  enum class fault_t {
    none,
    drop,       // close the connection instead of answering
    reorder,    // hold each answer until the next is ready, then send both, last first
    malformed,  // answer with a body that is not a ServerMessage
  };

  // How long each scan takes.
  std::chrono::milliseconds delay{0};
  // Scans running at once over all connections; 0 means no limit.
  std::size_t max_concurrent = 0;
  // Answer clean after a plain read of the file.
  bool benchmark = false;
  fault_t fault = fault_t::none;
  // Requests each connection gets answered normally before the fault applies.
  unsigned fault_after = 0;
  // A reordered answer left alone goes out after this long.
  std::chrono::milliseconds reorder_flush{100};
};

// Scans one file as the stand-in engine does.
inline vl::ScanReport stand_se_scan(const se::ScanFileRequest& request, bool benchmark) {
  vl::ScanReport report;
  report.set_object(request.path());
  if (benchmark) {
    // One pass of plain reads into a reused buffer: a benchmark measures the
    // daemon, so the engine must cost as little as a read of the file.
    const int fd = ::open(request.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      report.set_error(errno == ENOENT ? vl::SE_FILE_NOT_FOUND : vl::SE_NO_ACCESS);
      return report;
    }
    static std::vector<char> buffer(1024 * 1024);
    std::uint64_t size = 0;
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) size += got;
    ::close(fd);
    if (got < 0) {
      report.set_error(vl::SE_READ_ERROR);
      return report;
    }
    report.set_size(size);
    return report;
  }
  std::ifstream in(request.path(), std::ios::binary);
  if (!in) {
    report.set_error(errno == ENOENT ? vl::SE_FILE_NOT_FOUND : vl::SE_NO_ACCESS);
    return report;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    report.set_error(vl::SE_READ_ERROR);
    return report;
  }
  in.close();
  report.set_size(content.size());

  const std::string virus = test_virus_text();
  std::string::size_type at = content.find(virus);
  if (at == std::string::npos) return report;
  vl::Virus& found = *report.add_virus();
  found.set_type(vl::SE_KNOWN_VIRUS);
  found.set_name(test_virus_name());
  if (!request.cure()) return report;

  for (; at != std::string::npos; at = content.find(virus, at)) content.erase(at, virus.size());
  std::ofstream out(request.path(), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    report.set_error(vl::SE_WRITE_ERROR);
  } else {
    report.set_cured(true);
  }
  return report;
}

class stand_se_t : public std::enable_shared_from_this<stand_se_t> {
 public:
  using options_t = stand_se_options_t;

  // Listens on `socket_path` (a stale socket file there is replaced). Throws
  // boost::system::system_error when it cannot.
  static std::shared_ptr<stand_se_t> create(boost::asio::io_context& io,
                                            const std::string& socket_path,
                                            const options_t& options = options_t()) {
    std::shared_ptr<stand_se_t> engine(new stand_se_t(io, socket_path, options));
    engine->start_accept();
    return engine;
  }

  ~stand_se_t() { stop(); }

  void stop() {
    if (!acceptor_.is_open()) return;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    boost::filesystem::remove(socket_path_, ignored);
    for (const auto& session : std::set<std::shared_ptr<session_t>>(sessions_)) session->close();
    sessions_.clear();
    waiting_.clear();
    for (const auto& timer : timers_) timer->cancel();
    timers_.clear();
  }

  // Settings may change at any time; they apply to what happens next.
  options_t& options() { return options_; }
  // Every serial received, in order of arrival.
  const std::vector<std::uint32_t>& serials() const { return serials_; }
  std::size_t connection_count() const { return sessions_.size(); }
  std::size_t connections_accepted() const { return accepted_; }

 private:
  class session_t;

  struct scan_t {
    std::weak_ptr<session_t> session;
    std::uint32_t serial;
    se::ScanFileRequest request;
  };

  class session_t : public std::enable_shared_from_this<session_t>, public cf_local_ipc_link_t {
   public:
    session_t(stand_se_t& engine, std::shared_ptr<cf_local_socket_t> socket)
        : cf_local_ipc_link_t(kIpcLinkLimit),
          engine_(engine),
          flush_timer_(socket->get_executor()) {
      set_socket(std::move(socket));
    }

    void start() { read_header(); }

    void close() {
      boost::system::error_code ignored;
      flush_timer_.cancel();
      if (socket()->is_open()) socket()->close(ignored);
    }

    void answer(std::uint32_t serial, const vl::ScanReport& report) {
      if (!socket()->is_open()) return;
      se::ServerMessage message;
      message.set_tag(se::ServerMessage::SCAN_FILE_RESULT);
      message.set_serial(serial);
      *message.mutable_scan_report() = report;
      if (engine_.options_.fault != options_t::fault_t::reorder) {
        async_send_message(message);
        return;
      }
      if (!held_) {
        held_ = std::make_unique<se::ServerMessage>(std::move(message));
        flush_timer_.expires_after(engine_.options_.reorder_flush);
        flush_timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
          auto self = weak.lock();
          if (error || !self || !self->held_) return;
          self->async_send_message(*self->held_);
          self->held_.reset();
        });
        return;
      }
      flush_timer_.cancel();
      async_send_message(message);
      async_send_message(*held_);
      held_.reset();
    }

   private:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
      se::ClientMessage message;
      // What the engine does not understand ends the conversation.
      if (!message.ParseFromZeroCopyStream(&body) ||
          message.tag() != se::ClientMessage::SCAN_FILE_REQUEST ||
          !message.has_scan_file_request()) {
        end();
        return;
      }
      engine_.serials_.push_back(message.serial());
      const bool faulty = engine_.options_.fault != options_t::fault_t::none &&
                          requests_++ >= engine_.options_.fault_after;
      if (faulty && engine_.options_.fault == options_t::fault_t::drop) {
        end();
        return;
      }
      if (faulty && engine_.options_.fault == options_t::fault_t::malformed) {
        // A file request where a result belongs: its field 1 is a string, not a tag.
        se::ScanFileRequest wrong;
        wrong.set_path("not a result");
        async_send_message(wrong);
        return;
      }
      engine_.enqueue(scan_t{weak_from_this(), message.serial(), message.scan_file_request()});
    }

    void on_error(const boost::system::error_code&) override { end(); }

    std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

    void end() {
      auto self = shared_from_this();
      close();
      engine_.sessions_.erase(self);
    }

    stand_se_t& engine_;
    boost::asio::steady_timer flush_timer_;
    std::unique_ptr<se::ServerMessage> held_;
    unsigned requests_ = 0;
  };

  stand_se_t(boost::asio::io_context& io, const std::string& socket_path, const options_t& options)
      : io_(io), socket_path_(socket_path), options_(options), acceptor_(io) {
    boost::system::error_code ignored;
    if (boost::filesystem::is_other(socket_path_, ignored))
      boost::filesystem::remove(socket_path_, ignored);
    const boost::asio::local::stream_protocol::endpoint endpoint(socket_path_);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  void start_accept() {
    auto socket = std::make_shared<cf_local_socket_t>(io_);
    acceptor_.async_accept(
        *socket, [weak = weak_from_this(), socket](const boost::system::error_code& error) {
          auto self = weak.lock();
          // Stopped.
          if (!self || error == boost::asio::error::operation_aborted) return;
          if (!error) self->on_accept(socket);
          if (self->acceptor_.is_open()) self->start_accept();
        });
  }

  void on_accept(const std::shared_ptr<cf_local_socket_t>& socket) {
    ++accepted_;
    auto session = std::make_shared<session_t>(*this, socket);
    sessions_.insert(session);
    session->start();
  }

  void enqueue(scan_t scan) {
    waiting_.push_back(std::move(scan));
    start_scans();
  }

  void start_scans() {
    while (!waiting_.empty() &&
           (options_.max_concurrent == 0 || running_ < options_.max_concurrent)) {
      auto scan = std::make_shared<scan_t>(std::move(waiting_.front()));
      waiting_.pop_front();
      ++running_;
      if (options_.delay.count() == 0) {
        // No timer round for an engine that answers at once (the benchmark's).
        boost::asio::post(io_, [weak = weak_from_this(), scan] {
          if (auto self = weak.lock())
            if (self->acceptor_.is_open()) self->finish(*scan);
        });
        continue;
      }
      auto timer = std::make_shared<boost::asio::steady_timer>(io_, options_.delay);
      timers_.insert(timer);
      timer->async_wait([weak = weak_from_this(), scan,
                         key = timer.get()](const boost::system::error_code& error) {
        auto self = weak.lock();
        // Stopped: the timer was cancelled and dropped.
        if (!self || error) return;
        for (auto it = self->timers_.begin(); it != self->timers_.end(); ++it) {
          if (it->get() == key) {
            self->timers_.erase(it);
            break;
          }
        }
        self->finish(*scan);
      });
    }
  }

  void finish(const scan_t& scan) {
    --running_;
    if (auto session = scan.session.lock())
      session->answer(scan.serial, stand_se_scan(scan.request, options_.benchmark));
    start_scans();
  }

  boost::asio::io_context& io_;
  const std::string socket_path_;
  options_t options_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  std::set<std::shared_ptr<session_t>> sessions_;
  std::deque<scan_t> waiting_;
  // Scans under way, each waiting out its delay.
  std::set<std::shared_ptr<boost::asio::steady_timer>> timers_;
  std::size_t running_ = 0;
  std::size_t accepted_ = 0;
  std::vector<std::uint32_t> serials_;
};
