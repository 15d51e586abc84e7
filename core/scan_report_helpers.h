// Small stateless helpers around vl::ScanReport shared by the statistics, the jobs,
// the engine front and the peer tie-out: the two first-error searches of a report
// tree, the report the daemon makes when it answers without the engine, and the
// load arithmetic of a node.
//
// Free functions without state; safe on any thread for values the caller owns,
// used on the event loop.
#pragma once

#include <cstdint>
#include <optional>

#include "schemas/scan_report.pb.h"

// The error the statistics count for a report: the first `error` in depth-first
// pre-order that is neither a nesting-level or compression limit (30..34) nor a scan
// timeout (40). An excluded error does not stop the search below it.
std::optional<vl::ScanError> first_counted_error(const vl::ScanReport& report);

// The first `error` of the tree in depth-first pre-order, nothing excluded: a
// report's own error hides those of its nested reports.
std::optional<vl::ScanError> first_error(const vl::ScanReport& report);

// A report with an empty `object` and, when given, one `virus` entry copied from
// `virus`; nothing else set.
vl::ScanReport make_scan_report(const std::optional<vl::Virus>& virus = std::nullopt);

// a - b, or 0 when b >= a.
uint64_t saturating_sub(uint64_t a, uint64_t b);

// A job's weight in a node's queued-bytes figure: its data size times its pending
// scan requests (0 counting as 1), modulo 2^64.
uint64_t job_load_bytes(uint64_t data_size, uint32_t scan_request_count);
