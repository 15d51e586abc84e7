// Readable one-line texts of what the daemon reports to its configuration daemon.
// Plain functions of the calling thread.
#pragma once

#include <string>

#include "schemas/marrod_brel_ipc.pb.h"

// "configuration revision 3, local engine forks 2, remote engine forks 0"
std::string app_info_text(const vl::Brel2MarrodMessage& message);

// "idle" when nothing happened in the interval; else one part per client and
// peer, for example "client Console scanner:42 files 1 (1000 bytes) received 1000
// sent 0 viruses Known virus=1".
std::string stat_text(const vl::BrelAppStat& stat);
