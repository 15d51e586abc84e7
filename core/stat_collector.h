// bk_stat_collector_t: counts, interval by interval, what the daemon scanned and
// moved for each local client and each peer, and reports it to the configuration
// daemon every second (MY_STAT_NOTIFICATION with a vl::BrelAppStat). Peer entries
// live for one interval; a client's entry lives from its HELLO until the report
// after its connection ended, which still carries its last figures.
//
// Owned by bk_inventory_t through a unique pointer; idle until start. Main thread
// only: the client ties, the peer ties, the timer and the client-gone slot all run
// on the event loop. The destructor cancels the timer; a late completion is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include "schemas/application.pb.h"
#include "schemas/scan_report.pb.h"

class bk_core_inventory_t;

namespace vl {
class BrelAppStat;
class BrelScanStat;
}  // namespace vl

class bk_stat_collector_t {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;
  // A local client: its application and process number.
  using client_key_t = std::pair<vl::Application, uint32_t>;
  using client_gone_signal_t = boost::signals2::signal<void(client_key_t)>;
  using sender_t = std::function<void(const vl::BrelAppStat&)>;

  static constexpr std::chrono::seconds kReportInterval{1};

  // The figures of one party over the current interval.
  struct record_t {
    uint64_t scanned_files = 0;
    uint64_t scanned_bytes = 0;
    uint64_t bytes_received = 0;
    uint64_t bytes_sent = 0;
    std::map<vl::ScanError, uint64_t> errors;
    std::map<vl::VirusType, uint64_t> viruses;
  };

  // Reports through the configuration link of `inventory`.
  // REQUIRES: `inventory` outlives the collector.
  explicit bk_stat_collector_t(bk_core_inventory_t& inventory);
  // Reports through `send` (tests capture the reports here).
  // REQUIRES: `io` outlives the collector.
  bk_stat_collector_t(boost::asio::io_context& io, sender_t send);
  ~bk_stat_collector_t();
  bk_stat_collector_t(const bk_stat_collector_t&) = delete;
  bk_stat_collector_t& operator=(const bk_stat_collector_t&) = delete;

  // Arms the report timer. Called once, after the first configuration.
  void start();

  // Local clients (client ties). add_client_report also counts answers dropped
  // because their job is gone.
  void add_client(vl::Application application, uint32_t pid);
  void add_client_received(vl::Application application, uint32_t pid, uint64_t bytes);
  void add_client_sent(vl::Application application, uint32_t pid, uint64_t bytes);
  void add_client_report(vl::Application application, uint32_t pid, const vl::ScanReport& report);

  // Jobs this daemon sent to the peer at `endpoint` (peer tie-out).
  void add_peer_out_received(const endpoint_t& endpoint, uint64_t bytes);
  void add_peer_out_sent(const endpoint_t& endpoint, uint64_t bytes);
  void add_peer_out_report(const endpoint_t& endpoint, const vl::ScanReport& report);

  // Jobs the peer at `endpoint` sent to this daemon (peer tie-in).
  void add_peer_in_received(const endpoint_t& endpoint, uint64_t bytes);
  void add_peer_in_sent(const endpoint_t& endpoint, uint64_t bytes);
  void add_peer_in_report(const endpoint_t& endpoint, const vl::ScanReport& report);

  // A client connection that had said HELLO has ended: every collector drops the
  // client's entry after its next report. Safe without any collector.
  static void client_gone(vl::Application application, uint32_t pid);
  // The process-wide signal behind client_gone.
  static client_gone_signal_t& client_gone_signal();

  // Tests shorten the report interval.
  void set_report_interval(std::chrono::steady_clock::duration interval) {
    report_interval_ = interval;
  }

 private:
  // Tests hand the timer's handler a failure no real timer can be made to give.
  friend class bk_stat_collector_test_access_t;

  static void add_report(record_t& record, const vl::ScanReport& report);
  static void fill_scan_stat(vl::BrelScanStat& stat, const record_t& record);

  void arm_timer();
  void on_timer(const boost::system::error_code& error);
  void report();

  // Constant after construction.
  const sender_t send_;
  // Lets a timer completion that outlived the collector find out.
  const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // Event loop only.
  boost::asio::steady_timer timer_;
  std::chrono::steady_clock::duration report_interval_ = kReportInterval;
  std::map<endpoint_t, record_t> peer_out_;
  std::map<endpoint_t, record_t> peer_in_;
  std::map<client_key_t, record_t> clients_;
  std::vector<client_key_t> gone_clients_;
  boost::signals2::scoped_connection gone_connection_;
};
