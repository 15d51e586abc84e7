// Runs an event loop until a condition holds, failing the test when a deadline
// passes first. Tests never sleep to wait for a result, nor wait out a quiet time
// to show that nothing happens: they wait for a marker that comes after it.
#pragma once

#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>

// Returns true when `done` became true before `timeout`; runs handlers one at a
// time so the condition is checked after each.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs `io` until a handler posted now has run, so every handler that was ready
// before it (a completion of a cancel or close, say) has run too.
bool run_posted(boost::asio::io_context& io);

// Runs `io` until a timer of its own, due `after` from now, has fired and a handler
// posted then has run: every timer of the loop due before it has been handled by
// then, in deadline order, however slow the host.
bool run_past(boost::asio::io_context& io, std::chrono::milliseconds after);
