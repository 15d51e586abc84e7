// The two exception classes of the daemon's own code.
//
// cf_exception_t carries a boost.system error code with a context text (a failed
// TLS handshake, a failed worker task); cf_proto_exception_t carries a vl::ErrorCode
// with a sentence (node choice, a vanished peer, errors received as vl::Error).
// Plain values: copyable, usable on any thread.
#pragma once

#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

#include "schemas/error.pb.h"

class cf_exception_t : public std::runtime_error {
 public:
  cf_exception_t(const boost::system::error_code& code, const std::string& what)
      : std::runtime_error(what), code_(code) {}
  ~cf_exception_t() override = default;

  const boost::system::error_code& code() const noexcept { return code_; }

 private:
  boost::system::error_code code_;
};

class cf_proto_exception_t : public std::runtime_error {
 public:
  cf_proto_exception_t(vl::ErrorCode code, const std::string& what)
      : std::runtime_error(what), code_(code) {}
  ~cf_proto_exception_t() override = default;

  vl::ErrorCode code() const noexcept { return code_; }

 private:
  vl::ErrorCode code_;
};
