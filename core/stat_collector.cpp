#include "core/stat_collector.h"

#include <string>

#include <boost/asio/error.hpp>
#include <boost/lexical_cast.hpp>

#include "core/core_inventory.h"
#include "core/marrod_tie.h"
#include "core/scan_report_helpers.h"
#include "framework/log.h"
#include "schemas/brel_appstat.pb.h"

namespace {

void count_viruses(std::map<vl::VirusType, uint64_t>& viruses, const vl::ScanReport& report) {
  for (const vl::Virus& virus : report.virus()) ++viruses[virus.type()];
  for (const vl::ScanReport& item : report.item()) count_viruses(viruses, item);
}

}  // namespace

bk_stat_collector_t::bk_stat_collector_t(bk_core_inventory_t& inventory)
    : bk_stat_collector_t(inventory.io_context, [&inventory](const vl::BrelAppStat& stat) {
        inventory.marrod_tie->send_stat(stat);
      }) {}

bk_stat_collector_t::bk_stat_collector_t(boost::asio::io_context& io, sender_t send)
    : send_(std::move(send)), timer_(io) {
  gone_connection_ = client_gone_signal().connect(
      [this](client_key_t client) { gone_clients_.push_back(client); });
}

bk_stat_collector_t::~bk_stat_collector_t() = default;

bk_stat_collector_t::client_gone_signal_t& bk_stat_collector_t::client_gone_signal() {
  static client_gone_signal_t signal;
  return signal;
}

void bk_stat_collector_t::client_gone(vl::Application application, uint32_t pid) {
  client_gone_signal()(client_key_t(application, pid));
}

void bk_stat_collector_t::start() {
  arm_timer();
  CF_LOG(kLogDebug, "Stat collector: Started");
}

// ---------------------------------------------------------------------------
// Entry points: each finds its record, creating an empty one on first use.

void bk_stat_collector_t::add_client(vl::Application application, uint32_t pid) {
  clients_[client_key_t(application, pid)];
}

void bk_stat_collector_t::add_client_received(vl::Application application, uint32_t pid,
                                              uint64_t bytes) {
  clients_[client_key_t(application, pid)].bytes_received += bytes;
}

void bk_stat_collector_t::add_client_sent(vl::Application application, uint32_t pid,
                                          uint64_t bytes) {
  clients_[client_key_t(application, pid)].bytes_sent += bytes;
}

void bk_stat_collector_t::add_client_report(vl::Application application, uint32_t pid,
                                            const vl::ScanReport& report) {
  add_report(clients_[client_key_t(application, pid)], report);
}

void bk_stat_collector_t::add_peer_out_received(const endpoint_t& endpoint, uint64_t bytes) {
  peer_out_[endpoint].bytes_received += bytes;
}

void bk_stat_collector_t::add_peer_out_sent(const endpoint_t& endpoint, uint64_t bytes) {
  peer_out_[endpoint].bytes_sent += bytes;
}

void bk_stat_collector_t::add_peer_out_report(const endpoint_t& endpoint,
                                              const vl::ScanReport& report) {
  add_report(peer_out_[endpoint], report);
}

void bk_stat_collector_t::add_peer_in_received(const endpoint_t& endpoint, uint64_t bytes) {
  peer_in_[endpoint].bytes_received += bytes;
}

void bk_stat_collector_t::add_peer_in_sent(const endpoint_t& endpoint, uint64_t bytes) {
  peer_in_[endpoint].bytes_sent += bytes;
}

void bk_stat_collector_t::add_peer_in_report(const endpoint_t& endpoint,
                                             const vl::ScanReport& report) {
  add_report(peer_in_[endpoint], report);
}

void bk_stat_collector_t::add_report(record_t& record, const vl::ScanReport& report) {
  ++record.scanned_files;
  // Nested reports are parts of this file: only the top size counts.
  if (report.has_size()) record.scanned_bytes += report.size();
  count_viruses(record.viruses, report);
  if (const auto error = first_counted_error(report)) ++record.errors[*error];
}

// ---------------------------------------------------------------------------
// The report timer.

void bk_stat_collector_t::arm_timer() {
  timer_.expires_after(report_interval_);
  timer_.async_wait(
      [this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& error) {
        // The collector is gone; its timer was cancelled on the way.
        if (alive.expired()) return;
        on_timer(error);
      });
}

void bk_stat_collector_t::on_timer(const boost::system::error_code& error) {
  // Re-armed or destroyed.
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    // One failed wait is no reason to stop reporting: the figures keep adding up
    // and go out with the next report.
    CF_LOG(kLogError, "Stat timer: " + error.message());
  } else {
    report();
  }
  arm_timer();
}

void bk_stat_collector_t::report() {
  vl::BrelAppStat stat;
  for (const auto& [endpoint, record] : peer_out_) {
    vl::BrelPeerStat* peer = stat.add_peer_out();
    peer->set_endpoint(boost::lexical_cast<std::string>(endpoint));
    fill_scan_stat(*peer->mutable_scan(), record);
  }
  peer_out_.clear();
  for (const auto& [endpoint, record] : peer_in_) {
    vl::BrelPeerStat* peer = stat.add_peer_in();
    peer->set_endpoint(boost::lexical_cast<std::string>(endpoint));
    fill_scan_stat(*peer->mutable_scan(), record);
  }
  peer_in_.clear();
  // Clients stay listed, with zeros, until their connection has ended.
  for (auto& [key, record] : clients_) {
    vl::BrelClientStat* client = stat.add_client();
    client->set_origin(key.first);
    client->set_origin_pid(key.second);
    fill_scan_stat(*client->mutable_scan(), record);
    record = record_t();
  }
  // The gone clients' last figures are in this report; now they can go.
  for (const client_key_t& gone : gone_clients_) {
    if (clients_.erase(gone) == 0) {
      CF_LOG(kLogDebug, "Stat collector: Unknown client " + std::to_string(gone.first) + ":" +
                            std::to_string(gone.second));
    }
  }
  gone_clients_.clear();
  send_(stat);
}

void bk_stat_collector_t::fill_scan_stat(vl::BrelScanStat& stat, const record_t& record) {
  stat.set_scanned_files(record.scanned_files);
  stat.set_scanned_bytes(record.scanned_bytes);
  stat.set_bytes_received(record.bytes_received);
  stat.set_bytes_sent(record.bytes_sent);
  for (const auto& [code, count] : record.errors) {
    vl::BrelScanError* error = stat.add_error();
    error->set_code(code);
    error->set_count(count);
  }
  for (const auto& [type, count] : record.viruses) {
    vl::BrelVirus* virus = stat.add_virus();
    virus->set_type(type);
    virus->set_count(count);
  }
}
