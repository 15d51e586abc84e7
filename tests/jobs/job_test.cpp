#include "jobs/job.h"

#include "core/inventory.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

// A driver that only records what reaches it; operations 7-10 keep their defaults.
class recording_delegate_t : public bk_job_t::delegate {
 public:
  void on_get_data_response(uint32_t job_id, uint64_t size) override {
    seen.push_back(job_id + size);
  }
  void on_data_chunk(uint32_t, const char*, uint64_t) override {}
  void on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) override {}
  void on_data_chunk_appended(uint32_t, uint32_t) override {}
  void on_alarm(uint32_t, const std::exception_ptr&, bool) override {}
  boost::signals2::connection connect_on_drained(const std::function<void()>&) override {
    return {};
  }

  std::vector<uint64_t> seen;
};

// Shaped like a master job: a job that is also the delegate of an executor and
// passes answers up to its own driver.
class relay_job_t : public bk_job_t, public recording_delegate_t {
 public:
  explicit relay_job_t(bk_inventory_t& inventory) : bk_job_t(7, inventory) {}

  std::string name() const override { return "Job 0x0"; }
  std::string describe() const override { return {}; }
  uint64_t data_size() const override { return 0; }
  uint32_t scan_request_count() const override { return 0; }
  void append_data(const std::shared_ptr<const std::string>&) override {}
  void scan(const bk::ScanOptions&) override {}
  void get_data(uint32_t) override {}
  void data_reset() override {}
  void reset() override {}

  void on_get_data_response(uint32_t, uint64_t size) override {
    if (delegate_) delegate_->on_get_data_response(job_id, size);
  }
};

TEST(Job, RelayPassesAnswersToItsOwnDriverAndDefaultsAreHarmless) {
  // The job only holds the reference to the central object, never uses it.
  alignas(bk_inventory_t) unsigned char placeholder[sizeof(bk_inventory_t)];
  relay_job_t relay(*reinterpret_cast<bk_inventory_t*>(placeholder));
  recording_delegate_t driver;
  EXPECT_EQ(nullptr, relay.get_delegate());
  relay.set_delegate(&driver);

  bk_job_t::delegate& as_delegate = relay;
  as_delegate.on_get_data_response(99, 100);
  as_delegate.on_resume(5);
  as_delegate.on_redirect_begin(7);
  as_delegate.on_redirect_end(7);
  as_delegate.on_data_reset_response(7);
  EXPECT_EQ(std::vector<uint64_t>{107}, driver.seen);
}

}  // namespace
