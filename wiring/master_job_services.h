// How the master jobs of the running service reach the event loop and the cluster:
// the jobs sit below the cluster and get it only through these services, which the
// central object hands to its client acceptors with the master job factory.
//
// Free functions without state of their own. The services and the jobs they make
// run on the event loop and ask the central object's cluster there.
#pragma once

#include "jobs/client_tie.h"
#include "jobs/master_job.h"

class bk_inventory_t;

// The services of one master job: node choice and outcomes through the cluster, a
// remote job's peer as its node.
// REQUIRES: `inventory` outlives the job; its cluster exists whenever data comes.
bk_master_job_t::services_t master_job_services(bk_inventory_t& inventory);

// The client ties' job factory: a master job with those services for each INIT.
// REQUIRES: `inventory` outlives every job made.
bk_client_job_factory_t master_job_factory(bk_inventory_t& inventory);
