// bk_core_inventory_t: the part of the central object that every component below
// the wiring reaches: the event loop, the configuration link, the engine front, the
// cloud-lookup manager, the statistics, the task-queue worker, the digest pool, the
// spool directory and the cloud switch. The core's components and everything above
// them take it by reference; the central object (wiring/inventory.h) derives from it
// through bk_cluster_inventory_t, builds these members and releases them.
//
// Built only as part of the central object; lives for the whole service mode. Main
// thread only. A member that is not built yet, or already released, stays empty.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

class bk_marrod_tie_t;
class bk_lumend_t;
class bk_scanner_t;
class bk_stat_collector_t;
class bk_task_queue_t;
class bk_digest_pool_t;

class bk_core_inventory_t {
  // Builds a central object for unit tests (tests/support) with its own spool directory.
  friend class bk_inventory_fixture_t;

 public:
  bk_core_inventory_t(const bk_core_inventory_t&) = delete;
  bk_core_inventory_t& operator=(const bk_core_inventory_t&) = delete;

  const std::string& spool_dir() const { return spool_dir_; }

  // Set by the central object while it is built, constant afterwards. The owning
  // pointers are shared pointers so that this header needs no complete type of a
  // component; the central object still is the only owner of lumend,
  // stat_collector, task_queue and digest_pool.
  boost::asio::io_context io_context;
  std::shared_ptr<bk_marrod_tie_t> marrod_tie;
  std::shared_ptr<bk_lumend_t> lumend;
  std::shared_ptr<bk_scanner_t> scanner;
  std::shared_ptr<bk_stat_collector_t> stat_collector;
  std::shared_ptr<bk_task_queue_t> task_queue;
  std::shared_ptr<bk_digest_pool_t> digest_pool;
  // Set by the configuration only.
  bool use_cloud = false;

 protected:
  bk_core_inventory_t() = default;
  // The central object releases the components first, in its own order; the event
  // loop goes last, destroying every handler still queued and what it keeps alive.
  ~bk_core_inventory_t() = default;

  // Set by the configuration only.
  std::string spool_dir_;
};
