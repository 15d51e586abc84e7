#include "jobs/ignoring_delegate.h"

#include <boost/signals2/connection.hpp>

namespace {

class ignoring_delegate_t : public bk_job_t::delegate {
 public:
  void on_get_data_response(uint32_t, uint64_t) override {}
  void on_data_chunk(uint32_t, const char*, uint64_t) override {}
  void on_scan_response(uint32_t, const vl::ScanReport&, const bk_hash_values_t&) override {}
  void on_data_chunk_appended(uint32_t, uint32_t) override {}
  void on_alarm(uint32_t, const std::exception_ptr&, bool) override {}
  boost::signals2::connection connect_on_drained(const std::function<void()>&) override {
    return {};
  }
};

}  // namespace

bk_job_t::delegate& bk_ignoring_delegate() {
  static ignoring_delegate_t sink;
  return sink;
}
