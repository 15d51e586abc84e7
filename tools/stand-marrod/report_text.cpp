#include "tools/stand-marrod/report_text.h"

#include <sstream>

#include "framework/enum_name.h"

namespace {

void put_scan(std::ostringstream& out, const vl::BrelScanStat& scan) {
  out << " files " << scan.scanned_files() << " (" << scan.scanned_bytes() << " bytes) received "
      << scan.bytes_received() << " sent " << scan.bytes_sent();
  if (scan.error_size() > 0) {
    out << " errors";
    for (const auto& error : scan.error()) {
      out << ' ' << enum_number_display_name(vl::ScanError_descriptor(), error.code()) << '='
          << error.count();
    }
  }
  if (scan.virus_size() > 0) {
    out << " viruses";
    for (const auto& virus : scan.virus()) {
      out << ' ' << enum_number_display_name(vl::VirusType_descriptor(), virus.type()) << '='
          << virus.count();
    }
  }
}

}  // namespace

std::string app_info_text(const vl::Brel2MarrodMessage& message) {
  std::ostringstream out;
  out << "configuration revision " << message.config_revision() << ", local engine forks "
      << message.info().local_se_forks() << ", remote engine forks "
      << message.info().remote_se_forks();
  return out.str();
}

std::string stat_text(const vl::BrelAppStat& stat) {
  if (stat.peer_out_size() == 0 && stat.peer_in_size() == 0 && stat.client_size() == 0) {
    return "idle";
  }
  std::ostringstream out;
  const char* separator = "";
  for (const auto& client : stat.client()) {
    out << separator << "client "
        << enum_number_display_name(vl::Application_descriptor(), client.origin()) << ':'
        << client.origin_pid();
    put_scan(out, client.scan());
    separator = "; ";
  }
  for (const auto& peer : stat.peer_out()) {
    out << separator << "to peer " << peer.endpoint();
    put_scan(out, peer.scan());
    separator = "; ";
  }
  for (const auto& peer : stat.peer_in()) {
    out << separator << "from peer " << peer.endpoint();
    put_scan(out, peer.scan());
    separator = "; ";
  }
  return out.str();
}
