#include "framework/error.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "framework/enum_name.h"

namespace vl {

const char* cf_proto_error_impl_t::name() const noexcept {
  return "vl.Error";
}

std::string cf_proto_error_impl_t::message(int value) const {
  if (const auto* v = ErrorCode_descriptor()->FindValueByNumber(value))
    return enum_value_display_name(v);
  return "vl.Error " + std::to_string(value);
}

const boost::system::error_category& proto_error_category() noexcept {
  static const cf_proto_error_impl_t instance;
  return instance;
}

boost::system::error_code make_error_code(ErrorCode code) noexcept {
  return boost::system::error_code(static_cast<int>(code), proto_error_category());
}

}  // namespace vl

std::string error_enum_name(int value) {
  return enum_number_display_name(vl::ErrorCode_descriptor(), value);
}

vl::ErrorCode error_code_to_error_enum(const boost::system::error_code& code) noexcept {
  if (code.category() == vl::proto_error_category()) {
    return vl::ErrorCode_IsValid(code.value()) ? static_cast<vl::ErrorCode>(code.value())
                                               : vl::EC_UNEXPECTED_ERROR;
  }
  namespace errc = boost::system::errc;
  if (code == errc::success) return vl::EC_OK;
  static const struct {
    errc::errc_t condition;
    vl::ErrorCode result;
  } table[] = {
      {errc::permission_denied, vl::EC_PERMISSION_DENIED},
      {errc::operation_not_permitted, vl::EC_PERMISSION_DENIED},
      {errc::no_such_file_or_directory, vl::EC_NO_SUCH_ENTRY},
      {errc::not_a_directory, vl::EC_NOT_A_DIRECTORY},
      {errc::read_only_file_system, vl::EC_READ_ONLY_FS},
      {errc::invalid_argument, vl::EC_INVALID_ARGUMENT},
      {errc::file_exists, vl::EC_FILE_EXISTS},
      {errc::address_in_use, vl::EC_NAME_ALREADY_IN_USE},
      {errc::cross_device_link, vl::EC_CROSS_DEVICE_LINK},
      {errc::not_enough_memory, vl::EC_NO_MEMORY},
  };
  for (const auto& row : table)
    if (code == row.condition) return row.result;
  return vl::EC_UNEXPECTED_ERROR;
}

boost::system::error_code exception_to_error_code(const std::exception& e) noexcept {
  if (const auto* s = dynamic_cast<const boost::system::system_error*>(&e)) return s->code();
  if (const auto* p = dynamic_cast<const cf_proto_exception_t*>(&e))
    return make_error_code(p->code());
  if (const auto* c = dynamic_cast<const cf_exception_t*>(&e)) return c->code();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return make_error_code(vl::EC_NO_MEMORY);
  return make_error_code(vl::EC_UNEXPECTED_ERROR);
}

vl::ErrorCode exception_to_error_enum(const std::exception& e) noexcept {
  return error_code_to_error_enum(exception_to_error_code(e));
}

boost::system::error_code exception_ptr_to_error_code(const std::exception_ptr& e) noexcept {
  if (!e) return boost::system::error_code();
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& s) {
    return s.code();
  } catch (const cf_proto_exception_t& p) {
    return make_error_code(p.code());
  } catch (const cf_exception_t& c) {
    return c.code();
  } catch (const std::bad_alloc&) {
    return make_error_code(vl::EC_NO_MEMORY);
  } catch (...) {
    return make_error_code(vl::EC_UNEXPECTED_ERROR);
  }
}

vl::ErrorCode exception_ptr_to_error_enum(const std::exception_ptr& e) noexcept {
  return error_code_to_error_enum(exception_ptr_to_error_code(e));
}

namespace {

// Length of the library qualifier at the start of `text`: "boost::" and any
// number of further "name::" components; 0 when there is none.
std::size_t qualifier_length(const char* text) {
  static const char kBoost[] = "boost::";
  if (std::strncmp(text, kBoost, sizeof(kBoost) - 1) != 0) return 0;
  std::size_t end = sizeof(kBoost) - 1;
  for (;;) {
    std::size_t p = end;
    while (std::isalnum(static_cast<unsigned char>(text[p])) || text[p] == '_') ++p;
    if (p == end || text[p] != ':' || text[p + 1] != ':') return end;
    end = p + 2;
  }
}

}  // namespace

const char* exception_text(const std::exception& e) {
  thread_local std::string text;
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    text = "Not enough memory";
    return text.c_str();
  }
  // Library qualifiers ("boost::filesystem::...::") say nothing to an operator.
  const char* what = e.what();
  const std::size_t qualifier = qualifier_length(what);
  const char* rest = what + qualifier;
  static const char kIteratorScope[] = "boost::filesystem::directory_iterator::";
  static const char kConstruct[] = "construct:";
  if (qualifier == sizeof(kIteratorScope) - 1 &&
      std::strncmp(what, kIteratorScope, qualifier) == 0 &&
      std::strncmp(rest, kConstruct, sizeof(kConstruct) - 1) == 0) {
    text = "opendir:";
    text += rest + sizeof(kConstruct) - 1;
  } else {
    text = rest;
  }
  return text.c_str();
}

std::string exception_ptr_text(const std::exception_ptr& e) {
  if (!e) return error_enum_name(vl::EC_OK);
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return exception_text(ex);
  } catch (vl::ErrorCode code) {
    return "ErrorCode: " + error_enum_name(code);
  } catch (...) {
    return "Unexpected exception";
  }
}

void fill_error(vl::Error& error, const std::exception_ptr& e) {
  error.set_code(exception_ptr_to_error_enum(e));
  error.set_what(exception_ptr_text(e));
}

void fill_error(vl::Error& error, const std::exception& e) {
  error.set_code(exception_to_error_enum(e));
  error.set_what(exception_text(e));
}

void fill_error(vl::Error& error, const boost::system::error_code& code) {
  error.set_code(error_code_to_error_enum(code));
  error.set_what(code.message());
}

std::exception_ptr error_to_exception_ptr(const vl::Error& error) {
  if (!error.has_code() || error.code() == vl::EC_OK) return nullptr;
  return std::make_exception_ptr(cf_proto_exception_t(
      error.code(), error.has_what() ? error.what() : error_enum_name(error.code())));
}

std::exception_ptr make_error_exception_ptr(const boost::system::error_code& code) {
  if (!code) return nullptr;
  return std::make_exception_ptr(boost::system::system_error(code));
}

std::exception_ptr make_error_exception_ptr(const boost::system::error_code& code,
                                            const std::string& what) {
  if (!code) return nullptr;
  return std::make_exception_ptr(boost::system::system_error(code, what));
}

void throw_error(vl::ErrorCode code, const std::string& what) {
  throw boost::system::system_error(make_error_code(code), what);
}

void throw_errno(const char* context) {
  throw boost::system::system_error(errno, boost::system::system_category(), context);
}

void throw_if_failed(const boost::system::error_code& error, const char* context) {
  if (error) throw boost::system::system_error(error, context);
}
