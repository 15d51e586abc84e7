// What a listener does about a failed accept. The kinds differ in what they say
// about the listener: a shortage of descriptors or memory passes, and accepting
// again at once would only fail again; an error of the one connection taken leaves
// the listener as good as before; anything else is a fault of the listener itself,
// which accepting again would only repeat for ever.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "framework/log.h"

enum class cf_accept_error_t {
  // Out of descriptors, buffers or memory: wait a little, then accept again.
  shortage,
  // The connection went or was refused on its way in (Linux hands the new
  // connection's pending network error to accept): accept the next one at once.
  connection,
  // The listener is broken (EBADF, ENOTSOCK, EINVAL ...).
  listener,
};

// The kind of `error`, which is not success and not our own cancel.
cf_accept_error_t accept_error_kind(const boost::system::error_code& error) noexcept;

// Acts on a failed accept as its kind asks: `retry_later()` after a shortage,
// `accept_now()` after an error of the one connection (logged at Debug as
// "<context>: <message>"); a broken listener throws boost::system::system_error
// (error, context), which ends the daemon, since accepting again would fail for ever.
template <class RetryLater, class AcceptNow>
void handle_accept_error(const boost::system::error_code& error, const char* context,
                         RetryLater retry_later, AcceptNow accept_now) {
  switch (accept_error_kind(error)) {
    case cf_accept_error_t::shortage:
      retry_later();
      return;
    case cf_accept_error_t::connection:
      // Only that connection is lost; the next one may be waiting already.
      CF_LOG(kLogDebug, std::string(context) + ": " + error.message());
      accept_now();
      return;
    case cf_accept_error_t::listener:
      break;
  }
  throw boost::system::system_error(error, context);
}
