// What a listener does about a failed accept. The kinds differ in what they say
// about the listener: a shortage of descriptors or memory passes, and accepting
// again at once would only fail again; an error of the one connection taken leaves
// the listener as good as before; anything else is a fault of the listener itself,
// which accepting again would only repeat for ever.
#pragma once

#include <boost/system/error_code.hpp>

enum class cf_accept_error_t {
  // Out of descriptors, buffers or memory: wait a little, then accept again.
  shortage,
  // The connection went or was refused on its way in (Linux hands the new
  // connection's pending network error to accept): accept the next one at once.
  connection,
  // The listener is broken (EBADF, ENOTSOCK, EINVAL ...): the owner decides.
  listener,
};

// The kind of `error`, which is not success and not our own cancel.
cf_accept_error_t accept_error_kind(const boost::system::error_code& error) noexcept;
