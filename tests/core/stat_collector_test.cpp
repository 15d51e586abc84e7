// The statistics collector's per-second report: what each interval carries, what
// it keeps for the next, and the report's way out over the configuration link.
#include "core/stat_collector.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/inventory.h"
#include "framework/log.h"
#include "schemas/brel_appstat.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/run_until.h"

namespace {

using std::chrono::milliseconds;
using endpoint_t = bk_stat_collector_t::endpoint_t;

constexpr vl::Application kApp = static_cast<vl::Application>(3);

// Keeps every log line at Debug and above while the test runs.
class recording_log_t : public cf_log_t {
 public:
  recording_log_t() : cf_log_t(nullptr, nullptr) {}
  void open() override {}
  void write(int level, const std::string& text) override {
    lines.push_back(std::string(log_level_name(level)) + ": " + text);
  }
  void write_tagged(const std::string&, int, const std::string&) override {}
  void out_of_memory() noexcept override {}
  bool has(const std::string& line) const {
    std::lock_guard<std::mutex> lock(log_mutex());
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(log_mutex());
    return std::count(lines.begin(), lines.end(), line);
  }
  std::vector<std::string> lines;
};

endpoint_t endpoint(const char* address, unsigned short port) {
  return endpoint_t(boost::asio::ip::make_address(address), port);
}

vl::ScanReport report_of_size(uint64_t size) {
  vl::ScanReport report;
  report.set_object("file");
  report.set_size(size);
  return report;
}

class StatCollectorTest : public ::testing::Test {
 protected:
  StatCollectorTest() {
    saved_threshold = log_threshold;
    log_threshold = kLogDebug;
    install_log(log);
    collector = std::make_unique<bk_stat_collector_t>(
        io, [this](const vl::BrelAppStat& stat) { reports.push_back(stat); });
    collector->set_report_interval(milliseconds(5));
  }
  ~StatCollectorTest() override {
    collector.reset();
    install_log(make_console_log());
    log_threshold = saved_threshold;
  }

  // Runs the loop until `n` reports in all have gone out.
  bool reports_reach(std::size_t n) {
    return run_until(io, [&] { return reports.size() >= n; });
  }

  int saved_threshold;
  std::shared_ptr<recording_log_t> log = std::make_shared<recording_log_t>();
  boost::asio::io_context io;
  std::vector<vl::BrelAppStat> reports;
  std::unique_ptr<bk_stat_collector_t> collector;
};

TEST_F(StatCollectorTest, IdleCollectorReportsEmptyListsEveryInterval) {
  collector->start();
  EXPECT_TRUE(log->has("Debug: Stat collector: Started"));
  ASSERT_TRUE(reports_reach(3));
  for (const vl::BrelAppStat& stat : reports) {
    EXPECT_EQ(stat.peer_out_size(), 0);
    EXPECT_EQ(stat.peer_in_size(), 0);
    EXPECT_EQ(stat.client_size(), 0);
    EXPECT_TRUE(stat.IsInitialized());
  }
}

TEST_F(StatCollectorTest, NothingIsReportedBeforeStart) {
  collector->add_client(kApp, 1);
  run_until(
      io, [] { return false; }, milliseconds(30));
  EXPECT_TRUE(reports.empty());
}

TEST_F(StatCollectorTest, ClientFiguresCoverOneIntervalAndTheClientStaysListed) {
  collector->add_client(kApp, 77);
  for (int i = 0; i < 10; ++i) collector->add_client_received(kApp, 77, 100);
  collector->add_client_sent(kApp, 77, 40);
  collector->add_client_report(kApp, 77, report_of_size(1000));
  collector->start();
  ASSERT_TRUE(reports_reach(2));

  ASSERT_EQ(reports[0].client_size(), 1);
  const vl::BrelClientStat& first = reports[0].client(0);
  EXPECT_EQ(first.origin(), kApp);
  EXPECT_EQ(first.origin_pid(), 77u);
  EXPECT_EQ(first.scan().scanned_files(), 1u);
  EXPECT_EQ(first.scan().scanned_bytes(), 1000u);
  EXPECT_EQ(first.scan().bytes_received(), 1000u);
  EXPECT_EQ(first.scan().bytes_sent(), 40u);
  EXPECT_EQ(first.scan().error_size(), 0);
  EXPECT_EQ(first.scan().virus_size(), 0);

  ASSERT_EQ(reports[1].client_size(), 1);
  const vl::BrelScanStat& later = reports[1].client(0).scan();
  EXPECT_EQ(later.scanned_files(), 0u);
  EXPECT_EQ(later.scanned_bytes(), 0u);
  EXPECT_EQ(later.bytes_received(), 0u);
  EXPECT_EQ(later.bytes_sent(), 0u);
}

TEST_F(StatCollectorTest, ClientsAreListedByApplicationThenProcess) {
  collector->add_client(static_cast<vl::Application>(5), 1);
  collector->add_client(kApp, 9);
  collector->add_client(kApp, 2);
  collector->start();
  ASSERT_TRUE(reports_reach(1));
  ASSERT_EQ(reports[0].client_size(), 3);
  EXPECT_EQ(reports[0].client(0).origin_pid(), 2u);
  EXPECT_EQ(reports[0].client(1).origin_pid(), 9u);
  EXPECT_EQ(reports[0].client(2).origin(), static_cast<vl::Application>(5));
}

TEST_F(StatCollectorTest, CountsEveryThreatOfTheTreeAndOnlyTheFirstCountedError) {
  vl::ScanReport report = report_of_size(500);
  report.add_virus()->set_type(vl::SE_KNOWN_VIRUS);
  report.mutable_virus(0)->set_name("top");
  // A nesting limit does not count; the error below it does.
  report.set_error(static_cast<vl::ScanError>(31));
  vl::ScanReport* item = report.add_item();
  item->set_object("inner");
  item->set_size(100);
  item->set_error(static_cast<vl::ScanError>(7));
  vl::Virus* inner = item->add_virus();
  inner->set_type(vl::SE_KNOWN_VIRUS);
  inner->set_name("inner");
  vl::Virus* other = item->add_item()->add_virus();
  other->set_type(vl::SE_UNKNOWN_VIRUS);
  other->set_name("deep");

  const endpoint_t peer = endpoint("10.1.2.3", 7000);
  collector->add_peer_in_report(peer, report);
  collector->add_peer_in_report(peer, report_of_size(1));
  collector->start();
  ASSERT_TRUE(reports_reach(1));

  ASSERT_EQ(reports[0].peer_in_size(), 1);
  const vl::BrelScanStat& scan = reports[0].peer_in(0).scan();
  EXPECT_EQ(scan.scanned_files(), 2u);
  EXPECT_EQ(scan.scanned_bytes(), 501u);  // nested sizes are parts of the file
  ASSERT_EQ(scan.virus_size(), 2);
  EXPECT_EQ(scan.virus(0).type(), vl::SE_KNOWN_VIRUS);
  EXPECT_EQ(scan.virus(0).count(), 2u);
  EXPECT_EQ(scan.virus(1).type(), vl::SE_UNKNOWN_VIRUS);
  EXPECT_EQ(scan.virus(1).count(), 1u);
  ASSERT_EQ(scan.error_size(), 1);
  EXPECT_EQ(scan.error(0).code(), static_cast<vl::ScanError>(7));
  EXPECT_EQ(scan.error(0).count(), 1u);
}

TEST_F(StatCollectorTest, PeerEntriesLiveForOneIntervalInEndpointOrder) {
  collector->add_peer_out_sent(endpoint("10.0.0.2", 7000), 300);
  collector->add_peer_out_received(endpoint("10.0.0.2", 7000), 20);
  collector->add_peer_out_report(endpoint("10.0.0.1", 7001), report_of_size(9));
  collector->add_peer_in_received(endpoint("::1", 7002), 5);
  collector->add_peer_in_sent(endpoint("::1", 7002), 6);
  collector->start();
  ASSERT_TRUE(reports_reach(1));

  const vl::BrelAppStat& first = reports[0];
  ASSERT_EQ(first.peer_out_size(), 2);
  EXPECT_EQ(first.peer_out(0).endpoint(), "10.0.0.1:7001");
  EXPECT_EQ(first.peer_out(0).scan().scanned_files(), 1u);
  EXPECT_EQ(first.peer_out(1).endpoint(), "10.0.0.2:7000");
  EXPECT_EQ(first.peer_out(1).scan().bytes_sent(), 300u);
  EXPECT_EQ(first.peer_out(1).scan().bytes_received(), 20u);
  ASSERT_EQ(first.peer_in_size(), 1);
  EXPECT_EQ(first.peer_in(0).endpoint(), "[::1]:7002");
  EXPECT_EQ(first.peer_in(0).scan().bytes_received(), 5u);
  EXPECT_EQ(first.peer_in(0).scan().bytes_sent(), 6u);

  // Active again in a later interval: listed again, with that interval's figures.
  ASSERT_TRUE(reports_reach(2));
  EXPECT_EQ(reports[1].peer_out_size(), 0);
  EXPECT_EQ(reports[1].peer_in_size(), 0);
  collector->add_peer_out_sent(endpoint("10.0.0.2", 7000), 1);
  const std::size_t seen = reports.size();
  ASSERT_TRUE(reports_reach(seen + 1));
  ASSERT_EQ(reports[seen].peer_out_size(), 1);
  EXPECT_EQ(reports[seen].peer_out(0).scan().bytes_sent(), 1u);
}

TEST_F(StatCollectorTest, GoneClientIsReportedOnceMoreThenDropped) {
  collector->add_client(kApp, 10);
  collector->add_client(kApp, 11);
  collector->add_client_received(kApp, 10, 64);
  bk_stat_collector_t::client_gone(kApp, 10);
  collector->start();
  ASSERT_TRUE(reports_reach(2));

  ASSERT_EQ(reports[0].client_size(), 2);
  EXPECT_EQ(reports[0].client(0).origin_pid(), 10u);
  EXPECT_EQ(reports[0].client(0).scan().bytes_received(), 64u);
  ASSERT_EQ(reports[1].client_size(), 1);
  EXPECT_EQ(reports[1].client(0).origin_pid(), 11u);
}

TEST_F(StatCollectorTest, TwoConnectionsOfOneProcessShareAnEntry) {
  collector->add_client(kApp, 77);
  collector->add_client(kApp, 77);
  collector->add_client_sent(kApp, 77, 1);
  collector->add_client_sent(kApp, 77, 2);
  bk_stat_collector_t::client_gone(kApp, 77);
  bk_stat_collector_t::client_gone(kApp, 77);
  collector->start();
  ASSERT_TRUE(reports_reach(2));

  ASSERT_EQ(reports[0].client_size(), 1);
  EXPECT_EQ(reports[0].client(0).scan().bytes_sent(), 3u);
  EXPECT_EQ(reports[1].client_size(), 0);
  EXPECT_EQ(log->count("Debug: Stat collector: Unknown client 3:77"), 1u);
}

TEST_F(StatCollectorTest, EveryCollectorHearsTheProcessWideSignal) {
  std::vector<vl::BrelAppStat> others;
  bk_stat_collector_t other(io, [&](const vl::BrelAppStat& stat) { others.push_back(stat); });
  other.set_report_interval(milliseconds(5));
  other.add_client(kApp, 5);
  collector->add_client(kApp, 5);
  bk_stat_collector_t::client_gone(kApp, 5);
  collector->start();
  other.start();
  ASSERT_TRUE(run_until(io, [&] { return reports.size() >= 2 && others.size() >= 2; }));
  EXPECT_EQ(reports[1].client_size(), 0);
  EXPECT_EQ(others[1].client_size(), 0);
}

TEST_F(StatCollectorTest, DestroyedCollectorSendsNothingMore) {
  collector->start();
  ASSERT_TRUE(reports_reach(1));
  collector.reset();
  const std::size_t seen = reports.size();
  run_until(
      io, [] { return false; }, milliseconds(30));
  EXPECT_EQ(reports.size(), seen);
}

// The report leaves as MY_STAT_NOTIFICATION on the central object's real
// configuration link.
TEST(StatCollectorLink, ReportGoesToTheConfigurationDaemon) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto inventory = std::make_unique<bk_inventory_t>(pair[0]);
  auto end = marrod_end_t::open(inventory->io_context, pair[1]);
  bk_stat_collector_t& collector = *inventory->stat_collector;
  collector.set_report_interval(milliseconds(5));
  collector.add_peer_out_sent(endpoint("192.0.2.7", 7100), 4096);
  collector.add_client_report(kApp, 42, report_of_size(12));
  collector.start();

  ASSERT_TRUE(run_until(inventory->io_context, [&] { return !end->stats.empty(); }));
  const vl::Brel2MarrodMessage& message = end->stats.front();
  EXPECT_EQ(message.tag(), vl::Brel2MarrodMessage::MY_STAT_NOTIFICATION);
  EXPECT_FALSE(message.has_config_revision());
  EXPECT_FALSE(message.has_info());
  ASSERT_EQ(message.stat().peer_out_size(), 1);
  EXPECT_EQ(message.stat().peer_out(0).endpoint(), "192.0.2.7:7100");
  EXPECT_EQ(message.stat().peer_out(0).scan().bytes_sent(), 4096u);
  ASSERT_EQ(message.stat().client_size(), 1);
  EXPECT_EQ(message.stat().client(0).origin_pid(), 42u);
  EXPECT_EQ(message.stat().client(0).scan().scanned_bytes(), 12u);

  end->close();
  inventory.reset();
}

}  // namespace
