// How a master job of the running service reaches the event loop and the cluster.
#include "core/inventory.h"
#include "framework/exception.h"
#include "jobs/master_job.h"

bk_master_job_t::services_t bk_master_job_t::default_services(bk_inventory_t& inventory) {
  services_t services;
  services.io_context = &inventory.io_context;
  services.choose_node = [](uint32_t, const std::set<endpoint_t>&,
                            bool) -> std::shared_ptr<bk_job_t> {
    throw cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "No facilities available to process the job");
  };
  services.report_success = [](const node_t&) {};
  services.report_failure = [](const node_t&) {};
  services.node_of = [](const bk_job_t&) -> node_t { return std::nullopt; };
  return services;
}
