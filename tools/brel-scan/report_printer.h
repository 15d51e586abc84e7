// The scanning client's output: one result per input, printed readably or as one
// JSON object per line, and the exit status the results add up to.
//
// brel_scan_printer_t writes to the streams it is given; main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"

// Exit statuses of the client.
constexpr int kExitClean = 0;
constexpr int kExitThreat = 1;
constexpr int kExitError = 2;

// What became of one input.
struct brel_scan_result_t {
  std::string name;
  std::optional<vl::ScanReport> report;
  std::string sha1;
  std::string sha256;
  // Why the input could not be scanned or its data not returned; empty when fine.
  std::string error;
  // The error as the daemon sent it in an ALARM, when it came from there.
  std::optional<vl::Error> alarm;
  // Where the returned data was written; empty when none was.
  std::string output_path;
};

// One threat of a report tree, with the chain of objects leading to it.
struct brel_scan_threat_t {
  std::string name;
  vl::VirusType type;
  std::string where;  // empty for the file itself, else "inner > deeper"
};

// The threats of `report` and all its items, parents first.
std::vector<brel_scan_threat_t> collect_threats(const vl::ScanReport& report);

// "clean", "threat", "skipped" (a size limit of the request kept it from the
// engine) or "error".
std::string result_status(const brel_scan_result_t& result);

// Text of an error the daemon sent: its own text, then the code's display text and
// number.
std::string describe_alarm(const vl::Error& error);

// Escapes `text` for a JSON string (quotes included); bytes that are not UTF-8 are
// taken as Latin-1.
std::string json_quote(const std::string& text);

class brel_scan_printer_t {
 public:
  brel_scan_printer_t(std::ostream& out, bool json) : out_(out), json_(json) {}

  void print(const brel_scan_result_t& result);
  // The worst outcome so far: a threat outweighs an error, an error a clean result.
  int exit_status() const;

 private:
  void print_text(const brel_scan_result_t& result);
  void print_json(const brel_scan_result_t& result);

  std::ostream& out_;
  const bool json_;
  bool any_threat_ = false;
  bool any_error_ = false;
};
