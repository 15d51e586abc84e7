// The command-line mode, used when the daemon runs without its configuration
// daemon: help, version and the hidden executable-information dump.
//
// Main thread, from main only; ends the process itself.
#pragma once

// Sets the threshold to Error and installs the console log, parses the options
// (Unix style, case-insensitive long names, unique prefixes), and ends the
// process: status 0 after help, version or the dump, 1 when none was asked for.
// Throws the option parser's errors (an unknown option, and the like).
[[noreturn]] void handle_command_line(const char* program_name, const char* version, int argc,
                                      char* argv[]);
