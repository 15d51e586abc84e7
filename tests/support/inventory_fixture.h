// bk_inventory_fixture_t: a central object for unit tests of the jobs and the
// components they reach. It builds the real bk_inventory_t (event loop, task queue,
// digest pool) on one end of a socket pair that plays a silent configuration daemon,
// gives it a private spool directory, and installs a scanning-engine front and a
// cloud-lookup manager whose socket paths the test names instead of asking the
// configuration daemon.
//
// Owned by one test, on its thread. Jobs made on it must be gone before it is.
// Destruction releases the central object (joining the worker and digest threads)
// and removes the spool directory with everything left in it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "tests/support/temp_dir.h"
#include "wiring/inventory.h"

class bk_inventory_fixture_t {
 public:
  bk_inventory_fixture_t();
  ~bk_inventory_fixture_t();
  bk_inventory_fixture_t(const bk_inventory_fixture_t&) = delete;
  bk_inventory_fixture_t& operator=(const bk_inventory_fixture_t&) = delete;

  bk_inventory_t& inventory() { return *inventory_; }
  boost::asio::io_context& io() { return inventory_->io_context; }
  const std::string& spool_dir() const { return inventory_->spool_dir(); }
  // A path in the fixture's private directory, outside the spool directory (for
  // the sockets of stand-in daemons).
  std::string path(const std::string& name) const { return dir_ / name; }

  // The engine's socket path given to the scanner; an empty text makes getting the
  // path fail with EC_NO_SCAN_ENGINE.
  void set_se_path(const std::string& path) { se_path_ = path; }
  // Switches the cloud lookup on (the inventory's use_cloud and the manager's
  // configuration); `path` is the cloud daemon's socket path, an empty one makes
  // getting it fail with EC_NO_LUMEND.
  void set_cloud(const std::string& path);
  // Drops the scanning-engine front, as at shut-down.
  void drop_scanner();

  // Regular files now in the spool directory, sorted.
  std::vector<std::string> spool_files() const;
  // Runs the event loop until `done` holds; false when the deadline passed first.
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Runs until every task queued on the worker so far has run and the results it
  // posted have been delivered.
  bool drain();

 private:
  temp_dir_t dir_;
  // The configuration daemon's end, kept open and silent.
  int monitor_peer_ = -1;
  std::string se_path_;
  std::string lumend_path_;
  std::unique_ptr<bk_inventory_t> inventory_;
};
