// The statistics collector's per-second report: what each interval carries, what
// it keeps for the next, and the report's way out over the configuration link.
#include "core/stat_collector.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "schemas/brel_appstat.pb.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/proto_text.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "wiring/inventory.h"

// Hands the timer's handler a failure no real timer can be made to give, in place
// of the wait under way.
class bk_stat_collector_test_access_t {
 public:
  // The wait under way ends as cancelled, which the collector ignores, so only the
  // failed one can arm the next.
  static void fail_wait(bk_stat_collector_t& collector, const boost::system::error_code& error) {
    collector.timer_.cancel();
    collector.on_timer(error);
  }
};

namespace {

using std::chrono::milliseconds;
using endpoint_t = bk_stat_collector_t::endpoint_t;

constexpr vl::Application kApp = vl::APP_LUMEND;

endpoint_t endpoint(const char* address, unsigned short port) {
  return endpoint_t(boost::asio::ip::make_address(address), port);
}

vl::ScanReport report_of_size(uint64_t size) {
  vl::ScanReport report;
  report.set_object("file");
  report.set_size(size);
  return report;
}

// One entry of a report as it prints: "<kind> { <key> scan { <figures> } }".
std::string entry(const std::string& kind, const std::string& key, int files, int bytes,
                  int received, int sent) {
  return kind + " { " + key + " scan { scanned_files: " + std::to_string(files) +
         " scanned_bytes: " + std::to_string(bytes) +
         " bytes_received: " + std::to_string(received) + " bytes_sent: " + std::to_string(sent) +
         " } }";
}

class StatCollectorTest : public ::testing::Test {
 protected:
  StatCollectorTest() {
    collector = std::make_unique<bk_stat_collector_t>(
        io, [this](const vl::BrelAppStat& stat) { reports.push_back(stat); });
    collector->set_report_interval(milliseconds(5));
  }

  // Runs the loop until `n` reports in all have gone out.
  bool reports_reach(std::size_t n) {
    return run_until(io, [&] { return reports.size() >= n; });
  }
  // Runs the loop past the report interval: a report due by then has gone out.
  void idle() { ASSERT_TRUE(run_past(io, milliseconds(10))); }

  boost::asio::io_context io;
  std::vector<vl::BrelAppStat> reports;
  std::unique_ptr<bk_stat_collector_t> collector;
};

TEST_F(StatCollectorTest, ReportsEveryIntervalOnlyWhileStarted) {
  collector->add_client(kApp, 1);
  idle();
  EXPECT_TRUE(reports.empty());
  collector->start();
  ASSERT_TRUE(reports_reach(3));
  for (const vl::BrelAppStat& stat : reports)
    EXPECT_EQ(stat.ShortDebugString(),
              entry("client", "origin: APP_LUMEND origin_pid: 1", 0, 0, 0, 0));
  collector.reset();
  const std::size_t seen = reports.size();
  idle();
  EXPECT_EQ(reports.size(), seen);
}

TEST_F(StatCollectorTest, EntriesAreListedInOrderPeersLiveOneIntervalAndGoneClientsOneMore) {
  collector->add_client(vl::APP_CONSOLE_SCANNER, 1);
  // A second connection of one process shares its entry.
  collector->add_client(kApp, 77);
  collector->add_client(kApp, 77);
  collector->add_client(kApp, 10);
  for (int i = 0; i < 10; ++i) collector->add_client_received(kApp, 77, 100);
  collector->add_client_sent(kApp, 77, 40);
  collector->add_client_report(kApp, 77, report_of_size(1000));
  collector->add_client_received(kApp, 10, 64);
  bk_stat_collector_t::client_gone(kApp, 10);
  collector->add_peer_out_sent(endpoint("10.0.0.2", 7000), 300);
  collector->add_peer_out_received(endpoint("10.0.0.2", 7000), 20);
  collector->add_peer_out_report(endpoint("10.0.0.1", 7001), report_of_size(9));
  collector->add_peer_in_received(endpoint("::1", 7002), 5);
  collector->add_peer_in_sent(endpoint("::1", 7002), 6);
  collector->start();
  ASSERT_TRUE(reports_reach(2));
  const std::string console =
      entry("client", "origin: APP_CONSOLE_SCANNER origin_pid: 1", 0, 0, 0, 0);
  EXPECT_EQ(reports[0].ShortDebugString(),
            entry("peer_out", "endpoint: \"10.0.0.1:7001\"", 1, 9, 0, 0) + " " +
                entry("peer_out", "endpoint: \"10.0.0.2:7000\"", 0, 0, 20, 300) + " " +
                entry("peer_in", "endpoint: \"[::1]:7002\"", 0, 0, 5, 6) + " " +
                entry("client", "origin: APP_LUMEND origin_pid: 10", 0, 0, 64, 0) + " " +
                entry("client", "origin: APP_LUMEND origin_pid: 77", 1, 1000, 1000, 40) + " " +
                console);
  EXPECT_EQ(reports[1].ShortDebugString(),
            entry("client", "origin: APP_LUMEND origin_pid: 77", 0, 0, 0, 0) + " " + console);

  // Active again in a later interval: listed again, with that interval's figures.
  collector->add_peer_out_sent(endpoint("10.0.0.2", 7000), 1);
  const std::size_t seen = reports.size();
  ASSERT_TRUE(reports_reach(seen + 1));
  EXPECT_EQ(reports[seen].ShortDebugString(),
            entry("peer_out", "endpoint: \"10.0.0.2:7000\"", 0, 0, 0, 1) + " " +
                entry("client", "origin: APP_LUMEND origin_pid: 77", 0, 0, 0, 0) + " " + console);
}

TEST_F(StatCollectorTest, CountsEveryThreatOfTheTreeAndOnlyTheFirstCountedError) {
  // A nesting limit does not count; the error below it does. Nested sizes are parts
  // of the file.
  const auto report = from_text<vl::ScanReport>(
      "object: 'file' size: 500 error: SE_ARCHIVE_LEVEL_LIMIT "
      "virus { type: SE_KNOWN_VIRUS name: 'top' } "
      "item { object: 'inner' size: 100 error: SE_READ_ERROR "
      "  virus { type: SE_KNOWN_VIRUS name: 'inner' } "
      "  item { virus { type: SE_UNKNOWN_VIRUS name: 'deep' } } }");
  const endpoint_t peer = endpoint("10.1.2.3", 7000);
  collector->add_peer_in_report(peer, report);
  collector->add_peer_in_report(peer, report_of_size(1));
  collector->start();
  ASSERT_TRUE(reports_reach(1));
  ASSERT_EQ(reports[0].peer_in_size(), 1);
  EXPECT_EQ(reports[0].peer_in(0).scan().ShortDebugString(),
            "scanned_files: 2 scanned_bytes: 501 bytes_received: 0 bytes_sent: 0 "
            "error { code: SE_READ_ERROR count: 1 } virus { type: SE_KNOWN_VIRUS count: 2 } "
            "virus { type: SE_UNKNOWN_VIRUS count: 1 }");
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
  EXPECT_EQ(end->stats.front().ShortDebugString(),
            "tag: MY_STAT_NOTIFICATION stat { " +
                entry("peer_out", "endpoint: \"192.0.2.7:7100\"", 0, 0, 0, 4096) + " " +
                entry("client", "origin: APP_LUMEND origin_pid: 42", 1, 12, 0, 0) + " }");
  end->close();
  inventory.reset();
}

TEST_F(StatCollectorTest, FailedTimerWaitIsLoggedAndTheReportsGoOn) {
  auto log = std::make_shared<recording_log_t>();
  install_log(log);
  collector->start();
  collector->add_client(kApp, 7);
  bk_stat_collector_test_access_t::fail_wait(
      *collector, boost::system::error_code(EIO, boost::system::system_category()));
  EXPECT_TRUE(log->has_line("Error: Stat timer: Input/output error"));
  EXPECT_TRUE(reports.empty());
  ASSERT_TRUE(reports_reach(2));
  EXPECT_EQ(reports[0].client_size(), 1);
}

}  // namespace
