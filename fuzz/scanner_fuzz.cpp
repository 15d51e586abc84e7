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

#include "core/inventory.h"
#include "core/scan_report_helpers.h"
#include "core/scanner.h"
#include "framework/error.h"
#include "fuzz/support/fuzz_peer.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/brel_config.pb.h"
#include "schemas/scan_report.pb.h"

namespace {

namespace asio = boost::asio;

// A job that asks for scans as a local job does and counts its answers.
class fuzz_job_t : public bk_scanner_t::scan_job_t,
                   public std::enable_shared_from_this<fuzz_job_t> {
 public:
  fuzz_job_t(std::uint32_t job_id, bk_inventory_t& inventory) : scan_job_t(job_id, inventory) {}
  ~fuzz_job_t() override {
    if (auto s = scanner.lock()) s->remove_job(*this);
  }

  std::string name() const override { return "Local job"; }
  std::string describe() const override { return "fuzz"; }
  std::uint64_t data_size() const override { return 4096; }
  std::uint32_t scan_request_count() const override { return pending; }
  void append_data(const std::shared_ptr<const std::string>&) override {}
  void scan(const bk::ScanOptions&) override {}
  void get_data(std::uint32_t) override {}
  void data_reset() override {}
  void reset() override {}

  std::string scan_path() const override { return "/nonexistent/spool/file"; }
  const bk::ScanOptions& scan_options() const override { return options; }

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

  void request() {
    auto s = scanner.lock();
    s->add_scan(*this);
    ++pending;
    ++requests;
    last_request = s->submit(weak_from_this());
  }
  void cancel() {
    if (pending == 0) return;
    scanner.lock()->cancel(last_request);
    --pending;
    ++cancelled;
  }

  std::weak_ptr<bk_scanner_t> scanner;
  bk::ScanOptions options;
  std::uint32_t pending = 0;
  int requests = 0;
  int answers = 0;
  int cancelled = 0;
  std::uint32_t last_request = 0;
  std::function<void()> on_report;

 private:
  void answered() {
    if (pending == 0) {
      std::fprintf(stderr, "A job was answered more often than it asked\n");
      std::abort();
    }
    --pending;
    ++answers;
  }
};

// The jobs never touch the central object; they only keep the reference.
alignas(bk_inventory_t) unsigned char inventory_placeholder[sizeof(bk_inventory_t)];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  asio::io_context io;
  fuzz_peer_t peer(io);
  fuzz_listener_t listener(io, peer, data, size);
  const boost::filesystem::path path = listener.path();
  auto& inventory = *reinterpret_cast<bk_inventory_t*>(inventory_placeholder);

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
    return job;
  };
  auto a = make_job(7);
  auto b = make_job(7);
  auto c = make_job(8);
  a->request();
  a->request();
  b->request();
  c->request();
  a->on_report = [&] {
    a->request();
    b.reset();
    c->cancel();
  };

  fuzz_run_until(
      io, [&] { return peer.read_ended && a->pending == 0 && c->pending == 0; }, never_ends);
  if (a->answers != a->requests || c->answers + c->cancelled != c->requests) {
    std::fprintf(stderr, "A request was never answered\n");
    std::abort();
  }
  scanner->recount_load();
  return 0;
}
