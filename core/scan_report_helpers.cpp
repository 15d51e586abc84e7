#include "core/scan_report_helpers.h"

#include <algorithm>

namespace {

// Limits the client asked for and the engine's timeout are the client's choice, not
// a failure of the file, so the statistics do not count them.
bool is_counted(vl::ScanError error) {
  const bool limit = error >= vl::SE_PACKER_LEVEL_LIMIT && error <= vl::SE_COMPRESSION_LIMIT;
  return !limit && error != vl::SE_SCAN_TIMEOUT;
}

// Depth is bounded by the protobuf parser's recursion limit for every report that
// came from another process.
template <class Accept>
std::optional<vl::ScanError> find_error(const vl::ScanReport& report, const Accept& accept) {
  if (report.has_error() && accept(report.error())) return report.error();
  for (const vl::ScanReport& item : report.item()) {
    if (auto found = find_error(item, accept)) return found;
  }
  return std::nullopt;
}

}  // namespace

std::optional<vl::ScanError> first_counted_error(const vl::ScanReport& report) {
  return find_error(report, is_counted);
}

std::optional<vl::ScanError> first_error(const vl::ScanReport& report) {
  return find_error(report, [](vl::ScanError) { return true; });
}

vl::ScanReport make_scan_report(const std::optional<vl::Virus>& virus) {
  vl::ScanReport report;
  report.set_object(std::string());
  if (virus) *report.add_virus() = *virus;
  return report;
}

uint64_t saturating_sub(uint64_t a, uint64_t b) {
  return b >= a ? 0 : a - b;
}

uint64_t job_load_bytes(uint64_t data_size, uint32_t scan_request_count) {
  const uint64_t requests = std::max<uint32_t>(scan_request_count, 1);
  return data_size * requests;
}
