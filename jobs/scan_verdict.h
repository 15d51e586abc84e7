// bk_scan_verdict: what a local job answers for one scan request, given what the
// request asked for and what has come so far from the scanning engine, the digest
// pool and the cloud lookup; or that the answer must wait for more.
//
// A pure function: no I/O, no state, any thread. The local job's request pipeline
// runs it each time one of the results arrives.
#pragma once

#include <optional>

#include "schemas/scan_report.pb.h"

// What the request asked for, as far as its answer depends on it.
struct bk_verdict_request_t {
  // Digests are computed for the request: its threat_hash lists one, or the cloud
  // lookup needs the SHA-1.
  bool hashed = false;
  // Its threat_hash lists a digest, which the answer then carries.
  bool lists_digests = false;
  bool cure = false;
  bool component_info = false;
};

// The answer, or nothing while it must wait. `digests_ready`: the request's digests
// have come. `engine` and `cloud` are the engine's report and the report made from
// the cloud verdict, each empty until it has come (the cloud's also when no lookup
// is made). Like std::map::try_emplace, it moves from `engine` and `cloud` only
// when it answers; while it waits, both are left as they were.
std::optional<vl::ScanReport> bk_scan_verdict(const bk_verdict_request_t& asked, bool digests_ready,
                                              std::optional<vl::ScanReport>&& engine,
                                              std::optional<vl::ScanReport>&& cloud);
