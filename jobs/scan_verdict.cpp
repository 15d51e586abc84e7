#include "jobs/scan_verdict.h"

#include <utility>

namespace {

// A threat anywhere in the report tree.
bool infected(const vl::ScanReport& report) {
  if (report.virus_size() > 0) return true;
  for (const vl::ScanReport& item : report.item())
    if (infected(item)) return true;
  return false;
}

// The cloud's threat, answered in place of an engine that found none.
vl::ScanReport cloud_answer(const bk_verdict_request_t& asked, vl::ScanReport&& cloud,
                            vl::ScanReport* engine) {
  vl::ScanReport report = std::move(cloud);
  report.set_cloud(true);
  // The engine was asked to cure and left the threat the cloud knows.
  if (asked.cure) report.set_error(vl::SE_CAN_NOT_BE_CURED);
  if (asked.component_info && engine) {
    if (engine->has_se_version()) {
      report.set_se_version(engine->se_version());
      engine->clear_se_version();
    }
    if (engine->has_core_engine_version()) {
      report.set_core_engine_version(engine->core_engine_version());
      engine->clear_core_engine_version();
    }
    report.set_virus_records(engine->virus_records());
    report.set_base_stamp(engine->base_stamp());
  }
  return report;
}

}  // namespace

std::optional<vl::ScanReport> bk_scan_verdict(const bk_verdict_request_t& asked, bool digests_ready,
                                              std::optional<vl::ScanReport>&& engine,
                                              std::optional<vl::ScanReport>&& cloud) {
  const auto engine_answer = [&]() -> std::optional<vl::ScanReport> {
    if (!engine) return std::nullopt;
    return std::move(*engine);
  };
  // Without digests there is no cloud verdict either: the engine alone answers.
  if (!asked.hashed) return engine_answer();
  // The answer carries the digests asked for.
  if (asked.lists_digests && !digests_ready) return std::nullopt;

  // A cloud lookup that failed, or was never made, gives no threat: the engine decides.
  const bool cloud_found = cloud && infected(*cloud);
  if (!cloud_found) return engine_answer();
  if (!asked.cure && !asked.component_info) {
    if (engine && infected(*engine)) return engine_answer();
    // The cloud knows the threat; the engine's answer, coming or not, adds nothing.
    return cloud_answer(asked, std::move(*cloud), nullptr);
  }
  // A cure and the component versions come only from the engine.
  if (!engine) return std::nullopt;
  if (infected(*engine)) return engine_answer();
  return cloud_answer(asked, std::move(*cloud), &*engine);
}
