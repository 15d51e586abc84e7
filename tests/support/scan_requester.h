// scan_requester_t: a scan job that only asks the engine front for scans, the way a
// local job does, for the tests and the fuzz target of the front and for node choice.
// A path, options and a size stand for its data; how it takes the answers is the
// deriving class's business.
//
// Made by bk_scanner_t::create_job, or directly for a job the front never sees.
// With `scanner` set it leaves that front when it goes. Event loop only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/scanner.h"
#include "jobs/job.h"
#include "schemas/brel_client_ipc.pb.h"

class scan_requester_t : public bk_job_t,
                         public bk_scanner_t::scan_job_t,
                         public std::enable_shared_from_this<scan_requester_t> {
 public:
  scan_requester_t(std::uint32_t job_id, bk_core_inventory_t& inventory)
      : bk_job_t(job_id, inventory) {}
  ~scan_requester_t() override {
    if (auto s = scanner.lock()) s->remove_job(*this);
  }

  std::string name() const override { return "Local job"; }
  std::string describe() const override { return path; }
  std::uint64_t data_size() const override { return size; }
  std::uint32_t scan_request_count() const override { return pending; }
  void append_data(const std::shared_ptr<const std::string>&) override {}
  void scan(const bk::ScanOptions&) override {}
  void get_data(std::uint32_t) override {}
  void data_reset() override {}
  void reset() override {}
  std::string scan_path() const override { return path; }
  const bk::ScanOptions& scan_options() const override { return options; }

  // Counts the request first, as a local job does, then queues it; returns its id.
  std::uint32_t request() {
    auto s = scanner.lock();
    s->add_scan(*this);
    ++pending;
    return s->submit(weak_from_this());
  }

  std::weak_ptr<bk_scanner_t> scanner;
  std::string path;
  bk::ScanOptions options;
  std::uint64_t size = 0;
  // Requests not yet answered.
  std::uint32_t pending = 0;
};
