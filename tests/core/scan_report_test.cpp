#include "core/scan_report_helpers.h"

#include <initializer_list>

#include <gtest/gtest.h>

namespace {

// A chain: each error belongs to the next nested level (0 = no error there).
vl::ScanReport report_with(std::initializer_list<int> errors) {
  vl::ScanReport root;
  root.set_object("file");
  vl::ScanReport* level = &root;
  for (auto it = errors.begin(); it != errors.end(); ++it) {
    if (it != errors.begin()) level = level->add_item();
    if (*it != 0) level->set_error(static_cast<vl::ScanError>(*it));
  }
  return root;
}

TEST(ScanReportErrors, CountedErrorSkipsLimitsAndTimeoutButSearchesBelowThemInPreorder) {
  EXPECT_EQ(vl::SE_READ_ERROR, first_counted_error(report_with({31, 7})));
  // The report's own counted error comes before one below it.
  EXPECT_EQ(vl::SE_READ_ERROR, first_counted_error(report_with({7, 9})));
  EXPECT_EQ(std::nullopt, first_counted_error(report_with({30, 34, 40})));
  EXPECT_EQ(vl::SE_REPORT_SIZE_LIMIT, first_counted_error(report_with({40, 35})));
  EXPECT_EQ(vl::SE_FILE_NOT_FOUND, first_counted_error(report_with({0, 0, 2})));
  // The first error of any kind stops at the report's own.
  EXPECT_EQ(vl::SE_ARCHIVE_LEVEL_LIMIT, first_error(report_with({31, 7})));
  EXPECT_EQ(vl::SE_SCAN_TIMEOUT, first_error(report_with({0, 40, 7})));
  EXPECT_EQ(std::nullopt, first_error(report_with({0, 0})));

  vl::ScanReport root = report_with({33});
  vl::ScanReport* a = root.add_item();
  a->set_error(vl::SE_SCAN_TIMEOUT);
  a->add_item()->set_error(vl::SE_ARCH_CRC_ERROR);  // deeper, but visited before b
  root.add_item()->set_error(vl::SE_PASSWORD_PROTECTED);
  EXPECT_EQ(vl::SE_ARCH_CRC_ERROR, first_counted_error(root));
}

TEST(ScanReportMaking, AnEmptyObjectAndLoadArithmetic) {
  EXPECT_EQ(std::string("\x0a\x00", 2), make_scan_report().SerializeAsString());
  // A cloud verdict's threat is the report's only one.
  vl::Virus virus;
  virus.set_type(vl::SE_JOKE);
  virus.set_name("EICAR-Test-File");
  const vl::ScanReport report = make_scan_report(virus);
  ASSERT_EQ(1, report.virus_size());
  EXPECT_EQ(virus.SerializeAsString(), report.virus(0).SerializeAsString());
  EXPECT_TRUE(report.IsInitialized());
  EXPECT_EQ(0u, saturating_sub(5, 7));
  EXPECT_EQ(2u, saturating_sub(7, 5));
  // No request pending still weighs the data once.
  EXPECT_EQ(1000u, job_load_bytes(1000, 0));
  EXPECT_EQ(3000u, job_load_bytes(1000, 3));
}

}  // namespace
