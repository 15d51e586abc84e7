// A job delegate that ignores every callback.
//
// A driver that lets a job go (a master job dropping its executor, a job backup
// giving its source job up) makes this the job's delegate first: the job may still
// be finishing a call into the driver, and whatever it says then reaches nobody.
// One process-wide instance without state; event loop only, as every delegate.
#pragma once

#include "jobs/job.h"

bk_job_t::delegate& bk_ignoring_delegate();
