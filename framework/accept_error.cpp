#include "framework/accept_error.h"

#include <cerrno>

cf_accept_error_t accept_error_kind(const boost::system::error_code& error) noexcept {
  // Every accept error Linux reports is an errno of the system category.
  if (error.category() != boost::system::system_category()) return cf_accept_error_t::listener;
  switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return cf_accept_error_t::shortage;
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    // A firewall rule refused the connection.
    case EPERM:
    // Asio retries these itself; should one get through, nothing is wrong.
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return cf_accept_error_t::connection;
    default:
      return cf_accept_error_t::listener;
  }
}
