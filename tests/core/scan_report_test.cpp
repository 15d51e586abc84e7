#include "core/scan_report_helpers.h"

#include <initializer_list>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "core/inventory.h"
#include "framework/enum_name.h"
#include "jobs/job.h"

namespace {

vl::ScanReport report_with(std::initializer_list<int> errors_in_preorder_chain) {
  // A chain: each error belongs to the next nested level (0 = no error there).
  vl::ScanReport root;
  root.set_object("file");
  vl::ScanReport* level = &root;
  bool first = true;
  for (int error : errors_in_preorder_chain) {
    if (!first) {
      level = level->add_item();
      level->set_object("member");
    }
    first = false;
    if (error != 0) level->set_error(static_cast<vl::ScanError>(error));
  }
  return root;
}

TEST(ScanReportErrors, CountedErrorSkipsLimitsAndTimeoutButSearchesBelowThem) {
  EXPECT_EQ(vl::SE_READ_ERROR, first_counted_error(report_with({31, 7})));
  EXPECT_EQ(vl::SE_READ_ERROR, first_counted_error(report_with({7, 9})));
  EXPECT_EQ(std::nullopt, first_counted_error(report_with({30, 34, 40})));
  EXPECT_EQ(vl::SE_REPORT_SIZE_LIMIT, first_counted_error(report_with({40, 35})));
  EXPECT_EQ(std::nullopt, first_counted_error(report_with({})));
  EXPECT_EQ(vl::SE_FILE_NOT_FOUND, first_counted_error(report_with({0, 0, 2})));
}

TEST(ScanReportErrors, CountedErrorIsFirstInPreorderAcrossSiblings) {
  vl::ScanReport root = report_with({33});
  vl::ScanReport* a = root.add_item();
  a->set_object("a");
  a->set_error(vl::SE_SCAN_TIMEOUT);
  a->add_item()->set_error(vl::SE_ARCH_CRC_ERROR);  // deeper, but visited before b
  vl::ScanReport* b = root.add_item();
  b->set_object("b");
  b->set_error(vl::SE_PASSWORD_PROTECTED);
  EXPECT_EQ(vl::SE_ARCH_CRC_ERROR, first_counted_error(root));
  EXPECT_EQ(vl::SE_CONTAINER_LEVEL_LIMIT, first_error(root));
}

TEST(ScanReportErrors, FirstErrorStopsAtTheReportsOwnError) {
  EXPECT_EQ(vl::SE_ARCHIVE_LEVEL_LIMIT, first_error(report_with({31, 7})));
  EXPECT_EQ(vl::SE_SCAN_TIMEOUT, first_error(report_with({0, 40, 7})));
  EXPECT_EQ(std::nullopt, first_error(report_with({0, 0})));
}

TEST(ScanReportMaking, WithoutVirusOnlyAnEmptyObject) {
  const vl::ScanReport report = make_scan_report();
  EXPECT_EQ(std::string("\x0a\x00", 2), report.SerializeAsString());
  EXPECT_TRUE(report.IsInitialized());
}

TEST(ScanReportMaking, WithVirusOneCopiedEntry) {
  vl::Virus virus;
  virus.set_type(vl::SE_JOKE);
  virus.set_name("EICAR-Test-File");
  const vl::ScanReport report = make_scan_report(virus);
  ASSERT_EQ(1, report.virus_size());
  EXPECT_EQ(vl::SE_JOKE, report.virus(0).type());
  EXPECT_EQ("EICAR-Test-File", report.virus(0).name());
  EXPECT_TRUE(report.has_object());
  EXPECT_FALSE(report.has_error());
  EXPECT_EQ("Joke program",
            enum_value_display_name(vl::VirusType_descriptor()->FindValueByNumber(vl::SE_JOKE)));
}

TEST(LoadArithmetic, SaturatingSub) {
  EXPECT_EQ(0u, saturating_sub(5, 7));
  EXPECT_EQ(0u, saturating_sub(5, 5));
  EXPECT_EQ(2u, saturating_sub(7, 5));
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(),
            saturating_sub(std::numeric_limits<uint64_t>::max(), 0));
}

class sized_job_t : public bk_job_t {
 public:
  sized_job_t(bk_inventory_t& inventory, uint64_t size, uint32_t requests)
      : bk_job_t(0, inventory), size_(size), requests_(requests) {}
  std::string name() const override { return "Local job 0x1"; }
  std::string describe() const override { return {}; }
  uint64_t data_size() const override { return size_; }
  uint32_t scan_request_count() const override { return requests_; }
  void append_data(const std::shared_ptr<const std::string>&) override {}
  void scan(const bk::ScanOptions&) override {}
  void get_data(uint32_t) override {}
  void data_reset() override {}
  void reset() override {}

 private:
  uint64_t size_;
  uint32_t requests_;
};

TEST(LoadArithmetic, JobWeighsDataTimesPendingRequestsAtLeastOnce) {
  // The job only holds the reference to the central object, never uses it.
  alignas(bk_inventory_t) unsigned char placeholder[sizeof(bk_inventory_t)];
  auto& inventory = *reinterpret_cast<bk_inventory_t*>(placeholder);
  EXPECT_EQ(1000u, job_load_bytes(sized_job_t(inventory, 1000, 0)));
  EXPECT_EQ(1000u, job_load_bytes(sized_job_t(inventory, 1000, 1)));
  EXPECT_EQ(3000u, job_load_bytes(sized_job_t(inventory, 1000, 3)));
  // Wraps rather than traps: 2^63 * 2 is 0 modulo 2^64.
  EXPECT_EQ(0u, job_load_bytes(sized_job_t(inventory, uint64_t{1} << 63, 2)));
}

}  // namespace
