#include "jobs/scan_verdict.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/scan_report_helpers.h"

namespace {

// What has come from one side: nothing yet, a clean report (with or without the
// engine's component versions), or a threat at the top or inside a nested object.
enum got_t { kNone, kClean, kBare, kThreat, kNested };
enum answer_t { kWait, kEngine, kCloud };

std::optional<vl::ScanReport> engine_report(got_t got) {
  if (got == kNone) return std::nullopt;
  vl::ScanReport report;
  report.set_object("/spool/aaaa-bbbb-cccc-dddd");
  report.set_size(4096);
  if (got != kBare) {
    report.set_se_version("se 5.1");
    report.set_core_engine_version("core 9.2");
    report.set_virus_records(7000);
    report.set_base_stamp(20261207);
  }
  vl::ScanReport* holder = got == kNested ? report.add_item() : &report;
  if (got == kNested) holder->set_object("inner");
  if (got == kThreat || got == kNested) {
    holder->add_virus()->set_type(vl::SE_KNOWN_VIRUS);
    holder->mutable_virus()->rbegin()->set_name("Engine.Threat");
  }
  return report;
}

std::optional<vl::ScanReport> cloud_report(got_t got) {
  if (got == kNone) return std::nullopt;
  if (got == kClean) return make_scan_report();
  vl::Virus virus;
  virus.set_type(vl::SE_KNOWN_VIRUS);
  virus.set_name("Cloud.Threat");
  if (got == kThreat) return make_scan_report(virus);
  vl::ScanReport outer = make_scan_report();
  *outer.add_item() = make_scan_report(virus);
  return outer;
}

struct row_t {
  const char* rule;
  bool hashed, lists_digests, cure, component_info;
  bool digests_ready;
  got_t engine, cloud;
  answer_t answer;
};

// hashed, lists_digests, cure, component_info | digests_ready, engine, cloud -> answer
const row_t kRows[] = {
    // Without digests there is no cloud check: the engine alone answers.
    {"no digests, engine pending", 0, 0, 0, 0, 0, kNone, kThreat, kWait},
    {"no digests, engine clean", 0, 0, 0, 0, 0, kClean, kThreat, kEngine},
    // Digests listed in threat_hash come with the answer: it waits for them.
    {"listed digests pending", 1, 1, 0, 0, 0, kThreat, kThreat, kWait},
    {"listed digests ready", 1, 1, 0, 0, 1, kClean, kNone, kEngine},
    // Digests for the cloud alone are not waited for.
    {"cloud digests pending", 1, 0, 0, 0, 0, kClean, kNone, kEngine},
    // A scan: the first threat known answers.
    {"scan, cloud clean, engine pending", 1, 0, 0, 0, 1, kNone, kClean, kWait},
    {"scan, engine threat, no cloud verdict", 1, 0, 0, 0, 1, kThreat, kNone, kEngine},
    {"scan, cloud threat, engine pending", 1, 0, 0, 0, 1, kNone, kThreat, kCloud},
    {"scan, cloud nested threat", 1, 1, 0, 0, 1, kBare, kNested, kCloud},
    {"scan, both threats", 1, 0, 0, 0, 1, kThreat, kThreat, kEngine},
    {"scan, nested engine threat", 1, 0, 0, 0, 1, kNested, kThreat, kEngine},
    // A cure and the component versions come only from the engine.
    {"cure, cloud threat, engine pending", 1, 0, 1, 0, 1, kNone, kThreat, kWait},
    {"cure, engine cured", 1, 0, 1, 0, 1, kThreat, kThreat, kEngine},
    {"cure, cloud threat the engine missed", 1, 0, 1, 0, 1, kClean, kThreat, kCloud},
    {"versions, cloud threat, engine pending", 1, 0, 0, 1, 1, kNone, kThreat, kWait},
    {"versions, cloud threat the engine missed", 1, 0, 0, 1, 1, kClean, kThreat, kCloud},
    {"versions the engine lacks", 1, 0, 0, 1, 1, kBare, kThreat, kCloud},
    {"cure with versions, engine threat", 1, 1, 1, 1, 1, kNested, kThreat, kEngine},
};

std::string text(const std::optional<vl::ScanReport>& report) {
  return report ? report->ShortDebugString() : "(none)";
}

TEST(ScanVerdict, AnswersByTheRules) {
  for (const row_t& row : kRows) {
    SCOPED_TRACE(row.rule);
    bk_verdict_request_t asked;
    asked.hashed = row.hashed;
    asked.lists_digests = row.lists_digests;
    asked.cure = row.cure;
    asked.component_info = row.component_info;
    const std::optional<vl::ScanReport> engine_sent = engine_report(row.engine);
    const std::optional<vl::ScanReport> cloud_sent = cloud_report(row.cloud);
    std::optional<vl::ScanReport> engine = engine_sent, cloud = cloud_sent;

    const std::optional<vl::ScanReport> answer =
        bk_scan_verdict(asked, row.digests_ready, std::move(engine), std::move(cloud));

    if (row.answer == kWait) {
      EXPECT_FALSE(answer) << answer->ShortDebugString();
      // What came stays for the next decision.
      EXPECT_EQ(text(engine), text(engine_sent));
      EXPECT_EQ(text(cloud), text(cloud_sent));
      continue;
    }
    if (row.answer == kEngine) {
      EXPECT_EQ(text(answer), text(engine_sent));
      continue;
    }
    // The cloud's report, marked as the cloud's, with what the request asked for.
    vl::ScanReport expected = *cloud_sent;
    expected.set_cloud(true);
    if (row.cure) expected.set_error(vl::SE_CAN_NOT_BE_CURED);
    if (row.component_info) {
      if (engine_sent->has_se_version()) expected.set_se_version(engine_sent->se_version());
      if (engine_sent->has_core_engine_version())
        expected.set_core_engine_version(engine_sent->core_engine_version());
      expected.set_virus_records(engine_sent->virus_records());
      expected.set_base_stamp(engine_sent->base_stamp());
    }
    EXPECT_EQ(text(answer), expected.ShortDebugString());
  }
}

}  // namespace
