// Exact-count transfers on a file descriptor, for the blocking file work of the
// task-queue worker. Reentrant: they touch only their arguments.
#pragma once

#include <cstddef>

#include <boost/system/error_code.hpp>

// Reads exactly `count` bytes, repeating reads interrupted by a signal. On failure
// sets `error` (errno in the system category, or EC_UNEXPECTED_EOF when the file
// ends first); on success leaves it as it was. Never throws.
void read_exact(int fd, void* buffer, std::size_t count, boost::system::error_code& error) noexcept;

// Writes exactly `count` bytes, repeating writes interrupted by a signal. On failure
// sets `error` (errno in the system category, or EC_UNEXPECTED_ERROR when the
// descriptor accepts nothing); on success leaves it as it was. Never throws.
void write_all(int fd, const void* buffer, std::size_t count,
               boost::system::error_code& error) noexcept;
