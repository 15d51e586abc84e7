// Process-level start-up and exit: the terminate handler, the Protocol Buffers
// log handler, the descriptor limit and the exit routine that writes the last log
// line.
//
// Main thread: main calls the installers first and ends through exit_with_status.
// The terminate handler may run on any thread that lets an exception escape.
#pragma once

#include <string>

#include <google/protobuf/stubs/logging.h>

void install_terminate_handler();
// Logs the escaping exception at Error (installing the console log first when no
// log exists) and _exits with its vl::ErrorCode: 125 for anything that is no
// std::exception, 21 when even the log line runs out of memory. Runs no
// destructors and no exit handlers.
[[noreturn]] void terminate_handler();

void install_protobuf_log_handler();
// Routes the library's messages into the process log: INFO as Info, WARNING as
// Warning (but the size warning, which every large scan would repeat), ERROR and
// FATAL as Error. File and line are not logged.
void protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line,
                          const std::string& message);

// Raises the soft limit on open descriptors to the hard limit, so that a busy
// service (every client, spool file and link holds one) runs out as late as the
// system allows. Logs the limit it ends with at Debug; a failure is logged at
// Warning and the old limit stays. Call before anything opens sockets.
void raise_descriptor_limit();

// Logs "Exit with status <n> (<display text>)" at Notice, installing the console
// log first when no log exists, and calls exit(n) so that the log's exit handlers
// run.
[[noreturn]] void exit_with_status(int status);
