#include "tests/support/run_until.h"

#include <memory>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The flags are shared with the handlers, which may outlive a wait that failed.
bool run_posted(boost::asio::io_context& io) {
  auto ran = std::make_shared<bool>(false);
  boost::asio::post(io, [ran] { *ran = true; });
  return run_until(io, [&ran] { return *ran; });
}

bool run_past(boost::asio::io_context& io, std::chrono::milliseconds after) {
  auto marker = std::make_shared<boost::asio::steady_timer>(io, after);
  auto fired = std::make_shared<bool>(false);
  marker->async_wait([marker, fired](const boost::system::error_code&) { *fired = true; });
  return run_until(io, [&fired] { return *fired; }) && run_posted(io);
}
