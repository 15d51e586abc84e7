// The description of the daemon's own executable file (version, times, size,
// MD5 digest, owner) and its JSON form, printed by the hidden "dump-app-info"
// command-line switch.
//
// Plain functions of the calling thread; they read the file system only.
#pragma once

#include <ostream>
#include <string>

#include <google/protobuf/message.h>

#include "schemas/application.pb.h"

// Throws std::runtime_error "Unknown exe path" when `argc` is 0 or less, else what
// fill_app_exe_info throws.
vl::AppExeInfo make_app_exe_info(const std::string& version, int argc, char* argv[]);

// Fills every field from the file at `exe_path` (as the command line had it).
// Throws boost::filesystem::filesystem_error for a path that does not resolve or
// cannot be examined, boost::system::system_error with EC_NOT_A_REGULAR_FILE for
// anything but a regular file, and what file_md5 throws.
void fill_app_exe_info(vl::AppExeInfo& info, const std::string& version,
                       const std::string& exe_path);

// The 16 raw bytes of the MD5 digest of the file's contents. Throws
// cf_proto_exception_t "MD5: <reason>: \"<path>\"" with the reason's code.
std::string file_md5(const std::string& path);

// Writes the message's compact JSON text (no newline); the empty object when the
// message cannot be converted.
std::ostream& print_message_json(std::ostream& out, const google::protobuf::Message& message);
