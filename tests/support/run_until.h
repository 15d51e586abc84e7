// Runs an event loop until a condition holds, failing the test when a deadline
// passes first. Tests never sleep to wait for a result.
#pragma once

#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>

// Returns true when `done` became true before `timeout`; runs handlers one at a
// time so the condition is checked after each.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
