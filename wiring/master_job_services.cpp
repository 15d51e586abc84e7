#include "wiring/master_job_services.h"

#include "cluster/cluster.h"
#include "cluster/remote_job.h"
#include "wiring/inventory.h"

bk_master_job_t::services_t master_job_services(bk_inventory_t& inventory) {
  using endpoint_t = bk_master_job_t::endpoint_t;
  using node_t = bk_master_job_t::node_t;
  bk_master_job_t::services_t services;
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

bk_client_job_factory_t master_job_factory(bk_inventory_t& inventory) {
  return [&inventory](bk_core_inventory_t& job_inventory, uint32_t job_id,
                      bool soft_error) -> std::shared_ptr<bk_job_t> {
    auto job =
        std::make_shared<bk_master_job_t>(job_inventory, job_id, master_job_services(inventory));
    job->set_soft_error(soft_error);
    return job;
  };
}
