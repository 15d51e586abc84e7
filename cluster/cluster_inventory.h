// bk_cluster_inventory_t: what the peer links reach beyond the core's members: the
// cluster that registers them and places the jobs. The central object
// (wiring/inventory.h) derives from it, builds the cluster and releases it.
//
// Built only as part of the central object; lives for the whole service mode. Main
// thread only. The cluster stays empty until it is built and after it is released.
#pragma once

#include <memory>

#include "core/core_inventory.h"

class bk_cluster_t;

class bk_cluster_inventory_t : public bk_core_inventory_t {
 public:
  // Set by the central object while it is built, constant afterwards.
  std::shared_ptr<bk_cluster_t> cluster;

 protected:
  bk_cluster_inventory_t() = default;
  ~bk_cluster_inventory_t() = default;
};
