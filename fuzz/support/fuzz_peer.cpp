#include "fuzz/support/fuzz_peer.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include "framework/error.h"
#include "framework/log.h"

namespace asio = boost::asio;

namespace {

class discard_log_t : public cf_log_t {
 public:
  discard_log_t() : cf_log_t([](const std::string&) {}, [](const std::string&) {}) {}
  void open() override {}
  void write(int, const std::string&) override {}
  void write_tagged(const std::string&, int, const std::string&) override {}
  void out_of_memory() noexcept override {}
};

}  // namespace

void fuzz_quiet_log() {
  install_log(std::make_shared<discard_log_t>());
  log_threshold = kLogDebug;
}

void fuzz_peer_t::start(const std::uint8_t* data, std::size_t size) {
  asio::async_write(socket, asio::buffer(data, size),
                    [this](const boost::system::error_code& code, std::size_t) {
                      written = true;
                      // The link may have closed before taking everything: its choice.
                      boost::system::error_code ignored;
                      if (!code) socket.shutdown(cf_local_socket_t::shutdown_send, ignored);
                    });
  start_read();
}

void fuzz_peer_t::start_read() {
  socket.async_read_some(asio::buffer(chunk_),
                         [this](const boost::system::error_code& code, std::size_t n) {
                           received.append(chunk_, n);
                           // End of file or a reset: the link closed its side.
                           if (code) return;
                           start_read();
                         });
}

bool fuzz_run(asio::io_context& io, const std::function<bool(const std::exception_ptr&)>& may_end) {
  try {
    io.run();
    return true;
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    if (may_end(error)) return false;
    std::fprintf(stderr, "An exception ended the event loop: %s\n",
                 exception_ptr_text(error).c_str());
    std::abort();
  }
}

bool never_ends(const std::exception_ptr&) {
  return false;
}
