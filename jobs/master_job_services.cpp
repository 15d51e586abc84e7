// How a master job of the running service reaches the event loop and the cluster.
#include "cluster/cluster.h"
#include "cluster/remote_job.h"
#include "core/inventory.h"
#include "jobs/master_job.h"

bk_master_job_t::services_t bk_master_job_t::default_services(bk_inventory_t& inventory) {
  services_t services;
  services.io_context = &inventory.io_context;
  services.choose_node = [&inventory](uint32_t job_id, const std::set<endpoint_t>& excluded,
                                      bool never_local) {
    return inventory.cluster->choose_node(job_id, excluded, never_local);
  };
  services.report_success = [&inventory](const node_t& node) {
    inventory.cluster->report_success(node);
  };
  services.report_failure = [&inventory](const node_t& node) {
    inventory.cluster->report_failure(node);
  };
  // A remote job runs on its peer; every other executor runs here.
  services.node_of = [](const bk_job_t& executor) -> node_t {
    if (const auto* remote = dynamic_cast<const bk_remote_job_t*>(&executor)) {
      return remote->peer_endpoint();
    }
    return std::nullopt;
  };
  return services;
}
