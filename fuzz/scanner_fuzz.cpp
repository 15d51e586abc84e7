// Fuzzes the engine link's replies: the input is what the scanning-engine daemon
// sends on the socket the real engine front connects to. When the link comes up,
// four requests wait: two of job A (serials 1 and 2), one of job B under the same
// client id (serial 3) and one of job C (serial 4). A's first answer makes A ask
// again, drops B and cancels C's request, as jobs do while hearing an answer.
// Every report is read the way the jobs and statistics read it. Whatever the engine
// sends, the daemon does not end, and every request still wanted is answered
// exactly once; a request reconnects to a stand-in that hangs up at once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "core/core_inventory.h"
#include "core/scan_report_helpers.h"
#include "core/scanner.h"
#include "framework/error.h"
#include "fuzz/support/fuzz_peer.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "schemas/scan_report.pb.h"
#include "tests/support/scan_requester.h"

namespace {

namespace asio = boost::asio;

// A job that asks for scans as a local job does and reads each answer the way the
// jobs and the statistics read it.
class fuzz_job_t : public scan_requester_t {
 public:
  using scan_requester_t::scan_requester_t;

  void on_scan_report(const vl::ScanReport& report) override {
    answered();
    first_counted_error(report);
    first_error(report);
    report.ByteSizeLong();
    // A one-shot reaction: it is gone before it runs.
    const std::function<void()> hook = std::move(on_report);
    on_report = nullptr;
    if (hook) hook();
  }
  void on_scan_error(const std::exception_ptr& error, bool) override {
    answered();
    exception_ptr_text(error);
    exception_ptr_to_error_code(error);
  }

  // Withdraws request `id` unless it was answered already.
  void cancel(std::uint32_t id) {
    if (pending == 0) return;
    scanner.lock()->cancel(id);
    --pending;
  }

  std::function<void()> on_report;

 private:
  void answered() {
    if (pending == 0) {
      std::fprintf(stderr, "A job was answered more often than it asked\n");
      std::abort();
    }
    --pending;
  }
};

// The jobs never touch the central object; they only keep the reference.
alignas(bk_core_inventory_t) unsigned char inventory_placeholder[sizeof(bk_core_inventory_t)];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  asio::io_context io;
  fuzz_peer_t peer(io);
  fuzz_listener_t listener(io, peer, data, size);
  const boost::filesystem::path path = listener.path();
  auto& inventory = *reinterpret_cast<bk_core_inventory_t*>(inventory_placeholder);

  auto scanner =
      std::make_shared<bk_scanner_t>(inventory, io, [&](bk_scanner_t::se_path_callback_t reply) {
        asio::post(io, [reply, path] { reply(nullptr, path); });
      });
  vl::BrelConfig config;
  config.set_is_se_installed(true);
  config.set_se_max_forks(2);
  scanner->reconfigure(config);

  auto make_job = [&](std::uint32_t job_id) {
    auto job = scanner->create_job<fuzz_job_t>(job_id);
    job->scanner = scanner;
    job->path = "/nonexistent/spool/file";
    job->size = 4096;
    return job;
  };
  auto a = make_job(7);
  auto b = make_job(7);
  auto c = make_job(8);
  a->request();
  a->request();
  b->request();
  const std::uint32_t c_request = c->request();
  a->on_report = [&] {
    a->request();
    b.reset();
    c->cancel(c_request);
  };

  fuzz_run_until(
      io, [&] { return peer.read_ended && a->pending == 0 && c->pending == 0; }, never_ends);
  if (a->pending != 0 || c->pending != 0) {
    std::fprintf(stderr, "A request was never answered\n");
    std::abort();
  }
  scanner->recount_load();
  return 0;
}
