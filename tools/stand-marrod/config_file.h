// The stand-in configuration daemon's configuration file: a vl::BrelConfig in the
// Protocol Buffers text format, for example
//
//   log_level: LOG_LEVEL_INFO
//   actual_log { type: STDERR }
//   run_as_user { name: "nobody" }
//   spool_dir: "/var/spool/velmo-brelkin"
//
// Plain functions of the calling thread.
#pragma once

#include <string>

#include "schemas/brel_config.pb.h"

// Reads and parses the whole file. Throws std::runtime_error naming the file and,
// for a parse error, the line and column ("<path>:<line>:<column>: <reason>").
vl::BrelConfig read_config_file(const std::string& path);
