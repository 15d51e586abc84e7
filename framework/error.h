// The daemon's one error vocabulary: vl::ErrorCode inside boost::system::error_code
// through the "vl.Error" category, and the mappings from any thrown thing (an
// exception, a bare vl::ErrorCode, anything else) to a code and a text.
//
// Every function is safe on any thread: the category is one immutable instance,
// descriptors are read-only, and exception_text keeps its result per thread.
#pragma once

#include <exception>
#include <string>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "framework/exception.h"
#include "schemas/error.pb.h"

namespace vl {

class cf_proto_error_impl_t : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int value) const override;
};

// The one process-wide instance; codes compare by its address.
const boost::system::error_category& proto_error_category() noexcept;

boost::system::error_code make_error_code(ErrorCode code) noexcept;

}  // namespace vl

namespace boost {
namespace system {
template <>
struct is_error_code_enum<vl::ErrorCode> {
  static const bool value = true;
};
}  // namespace system
}  // namespace boost

using vl::make_error_code;

// Display text of a vl::ErrorCode value, or the decimal number for any other int.
std::string error_enum_name(int value);

vl::ErrorCode error_code_to_error_enum(const boost::system::error_code& code) noexcept;

boost::system::error_code exception_to_error_code(const std::exception& e) noexcept;
vl::ErrorCode exception_to_error_enum(const std::exception& e) noexcept;

boost::system::error_code exception_ptr_to_error_code(const std::exception_ptr& e) noexcept;
vl::ErrorCode exception_ptr_to_error_enum(const std::exception_ptr& e) noexcept;

// The exception's text with library qualifiers trimmed. The pointer stays valid
// until the same thread calls again.
const char* exception_text(const std::exception& e);
std::string exception_ptr_text(const std::exception_ptr& e);

// Both fields are always set.
void fill_error(vl::Error& error, const std::exception_ptr& e);
void fill_error(vl::Error& error, const std::exception& e);
void fill_error(vl::Error& error, const boost::system::error_code& code);

// Null for an absent code or EC_OK; otherwise a cf_proto_exception_t.
std::exception_ptr error_to_exception_ptr(const vl::Error& error);

// Null when the code is no failure; otherwise a boost::system::system_error.
std::exception_ptr make_error_exception_ptr(const boost::system::error_code& code);
std::exception_ptr make_error_exception_ptr(const boost::system::error_code& code,
                                            const std::string& what);

// Throws boost::system::system_error with `code` in the "vl.Error" category.
[[noreturn]] void throw_error(vl::ErrorCode code, const std::string& what);

// Throws boost::system::system_error with the current errno (system category) and
// `context`: for a failed system call that ends the caller, before anything else
// can change errno.
[[noreturn]] void throw_errno(const char* context);

// Throws boost::system::system_error with `error` and `context` when `error` is set:
// for the error_code overloads of socket calls whose failure ends the caller.
void throw_if_failed(const boost::system::error_code& error, const char* context);
