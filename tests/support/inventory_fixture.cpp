#include "tests/support/inventory_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/lumend.h"
#include "core/scanner.h"
#include "core/task_queue.h"
#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/run_until.h"

namespace {

// Posts `path` to `callback`, or the `missing` error when there is none.
template <class Callback>
void answer_later(boost::asio::io_context& io, Callback callback, const std::string& path,
                  vl::ErrorCode missing) {
  boost::asio::post(io, [callback, path, missing] {
    if (path.empty()) return callback(make_error_exception_ptr(make_error_code(missing)), {});
    callback(nullptr, path);
  });
}

}  // namespace

bk_inventory_fixture_t::bk_inventory_fixture_t() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error("socketpair failed");
  monitor_peer_ = fds[1];
  inventory_ = std::make_unique<bk_inventory_t>(fds[0]);

  const boost::filesystem::path spool = dir_.path() / "spool";
  boost::filesystem::create_directory(spool);
  inventory_->spool_dir_ = spool.string();

  // The paths are read when asked for, so a test may name them at any time, and
  // the answers come later from the event loop, as the configuration daemon's do.
  inventory_->scanner = std::make_shared<bk_scanner_t>(
      *inventory_, inventory_->io_context, [this](bk_scanner_t::se_path_callback_t callback) {
        answer_later(inventory_->io_context, callback, se_path_, vl::EC_NO_SCAN_ENGINE);
      });
  inventory_->lumend = std::make_shared<bk_lumend_t>(
      inventory_->io_context, [this](bk_lumend_t::path_callback_t callback) {
        answer_later(inventory_->io_context, callback, lumend_path_, vl::EC_NO_LUMEND);
      });
}

bk_inventory_fixture_t::~bk_inventory_fixture_t() {
  inventory_.reset();
  ::close(monitor_peer_);
}

void bk_inventory_fixture_t::set_cloud(const std::string& path) {
  lumend_path_ = path;
  inventory_->use_cloud = true;
  vl::BrelConfig config;
  config.set_use_cloud(true);
  inventory_->lumend->configure(config);
}

void bk_inventory_fixture_t::drop_scanner() {
  inventory_->scanner.reset();
}

std::vector<std::string> bk_inventory_fixture_t::spool_files() const {
  std::vector<std::string> files;
  boost::system::error_code error;
  for (boost::filesystem::directory_iterator it(spool_dir(), error), end; !error && it != end;
       it.increment(error)) {
    files.push_back(it->path().filename().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool bk_inventory_fixture_t::run_until(const std::function<bool()>& done,
                                       std::chrono::milliseconds timeout) {
  return ::run_until(io(), done, timeout);
}

bool bk_inventory_fixture_t::drain() {
  auto drained = std::make_shared<bool>(false);
  boost::asio::io_context* io = &this->io();
  inventory_->task_queue->post(
      [io, drained] { boost::asio::post(*io, [drained] { *drained = true; }); });
  return run_until([drained] { return *drained; });
}
