#include "tools/brel-scan/report_printer.h"

#include <cstdio>

#include <google/protobuf/util/json_util.h>

#include "framework/enum_name.h"
#include "schemas/error.pb.h"

namespace {

void collect(const vl::ScanReport& report, const std::string& where,
             std::vector<brel_scan_threat_t>& threats) {
  for (const auto& virus : report.virus()) threats.push_back({virus.name(), virus.type(), where});
  for (const auto& item : report.item()) {
    collect(item, where.empty() ? item.object() : where + " > " + item.object(), threats);
  }
}

// Errors of nested objects: they do not stop the file's verdict, but the user should
// know that part of it went unscanned.
void collect_item_errors(const vl::ScanReport& report, const std::string& where,
                         std::vector<std::pair<std::string, vl::ScanError>>& errors) {
  for (const auto& item : report.item()) {
    const std::string path = where.empty() ? item.object() : where + " > " + item.object();
    if (item.has_error()) errors.emplace_back(path, item.error());
    collect_item_errors(item, path, errors);
  }
}

std::string scan_error_text(vl::ScanError error) {
  return enum_number_display_name(vl::ScanError_descriptor(), error);
}

std::string virus_type_text(vl::VirusType type) {
  return enum_number_display_name(vl::VirusType_descriptor(), type);
}

bool is_threat(const brel_scan_result_t& result) {
  return result.report && !collect_threats(*result.report).empty();
}

}  // namespace

std::vector<brel_scan_threat_t> collect_threats(const vl::ScanReport& report) {
  std::vector<brel_scan_threat_t> threats;
  collect(report, "", threats);
  return threats;
}

std::string result_status(const brel_scan_result_t& result) {
  if (is_threat(result)) return "threat";
  if (!result.error.empty() || !result.report) return "error";
  if (result.report->has_error()) {
    return result.report->error() == vl::SE_OBJECT_SIZE_LIMIT ? "skipped" : "error";
  }
  return "clean";
}

std::string describe_alarm(const vl::Error& error) {
  const std::string code_text = enum_number_display_name(vl::ErrorCode_descriptor(), error.code());
  std::string text = error.what().empty() ? code_text : error.what();
  text += " (";
  if (text.find(code_text) == std::string::npos) text += code_text + ", ";
  text += "code " + std::to_string(error.code()) + ")";
  return text;
}

std::string json_quote(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // Keep well-formed multi-byte UTF-8 sequences as they are.
    std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
    if (c >= 0x80 && length > 1 && i + length <= text.size()) {
      bool valid = true;
      for (std::size_t k = 1; k < length; ++k) {
        valid = valid && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (valid) {
        quoted.append(text, i, length);
        i += length - 1;
        continue;
      }
    }
    char escaped[8];
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          quoted += escaped;
        } else {
          quoted += static_cast<char>(c);
        }
    }
  }
  return quoted + "\"";
}

void brel_scan_printer_t::print(const brel_scan_result_t& result) {
  const std::string status = result_status(result);
  if (status == "threat") any_threat_ = true;
  if (status == "error" || !result.error.empty()) any_error_ = true;
  if (json_) {
    print_json(result);
  } else {
    print_text(result);
  }
  out_.flush();
}

int brel_scan_printer_t::exit_status() const {
  if (any_threat_) return kExitThreat;
  return any_error_ ? kExitError : kExitClean;
}

void brel_scan_printer_t::print_text(const brel_scan_result_t& result) {
  const std::string status = result_status(result);
  if (result.report) {
    const auto threats = collect_threats(*result.report);
    for (const auto& threat : threats) {
      out_ << result.name;
      if (!threat.where.empty()) out_ << " > " << threat.where;
      out_ << ": " << threat.name << " FOUND (" << virus_type_text(threat.type) << ")\n";
    }
    if (threats.empty() && status == "clean") out_ << result.name << ": OK\n";
    if (status == "skipped") {
      out_ << result.name << ": SKIPPED (" << scan_error_text(result.report->error()) << ")\n";
    } else if (result.report->has_error()) {
      out_ << result.name << ": ERROR: " << scan_error_text(result.report->error()) << "\n";
    }
    if (result.report->cured_by_deletion()) {
      out_ << result.name << ": cured by deletion\n";
    } else if (result.report->cured()) {
      out_ << result.name << ": cured\n";
    }
    std::vector<std::pair<std::string, vl::ScanError>> item_errors;
    collect_item_errors(*result.report, "", item_errors);
    for (const auto& [where, error] : item_errors) {
      out_ << "  " << where << ": " << scan_error_text(error) << "\n";
    }
  }
  if (!result.error.empty()) out_ << result.name << ": ERROR: " << result.error << "\n";
  if (!result.sha1.empty()) out_ << "  SHA1: " << result.sha1 << "\n";
  if (!result.sha256.empty()) out_ << "  SHA256: " << result.sha256 << "\n";
  if (!result.output_path.empty()) out_ << "  Data written to " << result.output_path << "\n";
}

void brel_scan_printer_t::print_json(const brel_scan_result_t& result) {
  out_ << "{\"file\":" << json_quote(result.name)
       << ",\"status\":" << json_quote(result_status(result));
  if (result.report) {
    out_ << ",\"threats\":[";
    bool first = true;
    for (const auto& threat : collect_threats(*result.report)) {
      out_ << (first ? "" : ",") << "{\"name\":" << json_quote(threat.name)
           << ",\"type\":" << json_quote(virus_type_text(threat.type));
      if (!threat.where.empty()) out_ << ",\"object\":" << json_quote(threat.where);
      out_ << "}";
      first = false;
    }
    out_ << "],\"cured\":" << (result.report->cured() ? "true" : "false");
    if (result.report->has_error()) {
      out_ << ",\"scan_error\":{\"code\":" << result.report->error()
           << ",\"text\":" << json_quote(scan_error_text(result.report->error())) << "}";
    }
  }
  if (!result.sha1.empty()) out_ << ",\"sha1\":" << json_quote(result.sha1);
  if (!result.sha256.empty()) out_ << ",\"sha256\":" << json_quote(result.sha256);
  if (!result.error.empty()) {
    out_ << ",\"error\":{\"text\":" << json_quote(result.error);
    if (result.alarm) out_ << ",\"code\":" << result.alarm->code();
    out_ << "}";
  }
  if (!result.output_path.empty()) out_ << ",\"output\":" << json_quote(result.output_path);
  if (result.report) {
    std::string report;
    google::protobuf::util::JsonPrintOptions options;
    options.preserve_proto_field_names = true;
    if (google::protobuf::util::MessageToJsonString(*result.report, &report, options).ok()) {
      out_ << ",\"report\":" << report;
    }
  }
  out_ << "}\n";
}
