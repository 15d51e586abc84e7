#include "framework/error.h"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/filesystem/exception.hpp>

namespace {

boost::system::error_code system_code(int value) {
  return boost::system::error_code(value, boost::system::system_category());
}

template <typename E>
std::exception_ptr thrown(E e) {
  return std::make_exception_ptr(e);
}

}  // namespace

TEST(ErrorCategory, NamesItselfAndPrintsDisplayTexts) {
  EXPECT_STREQ(vl::proto_error_category().name(), "vl.Error");
  EXPECT_EQ(make_error_code(vl::EC_APP_TERMINATED).message(), "Process terminated by signal");
  EXPECT_EQ(vl::proto_error_category().message(4242), "vl.Error 4242");
  EXPECT_EQ(error_enum_name(vl::EC_NO_SUCH_ENTRY), "No such file or directory");
  EXPECT_EQ(error_enum_name(4242), "4242");
}

TEST(ErrorCodeMapping, MapsOwnCodesAndErrnoConditionsOfEitherCategory) {
  EXPECT_EQ(error_code_to_error_enum(make_error_code(vl::EC_DATA_CORRUPTED)),
            vl::EC_DATA_CORRUPTED);
  EXPECT_EQ(error_code_to_error_enum(boost::system::error_code(4242, vl::proto_error_category())),
            vl::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(error_code_to_error_enum(boost::system::error_code()), vl::EC_OK);
  // Codes of other categories match no errno condition.
  EXPECT_EQ(error_code_to_error_enum(boost::asio::error::eof), vl::EC_UNEXPECTED_ERROR);
  const std::pair<int, vl::ErrorCode> rows[] = {
      {EACCES, vl::EC_PERMISSION_DENIED}, {EPERM, vl::EC_PERMISSION_DENIED},
      {ENOENT, vl::EC_NO_SUCH_ENTRY},     {ENOTDIR, vl::EC_NOT_A_DIRECTORY},
      {EROFS, vl::EC_READ_ONLY_FS},       {EINVAL, vl::EC_INVALID_ARGUMENT},
      {EEXIST, vl::EC_FILE_EXISTS},       {EADDRINUSE, vl::EC_NAME_ALREADY_IN_USE},
      {EXDEV, vl::EC_CROSS_DEVICE_LINK},  {ENOMEM, vl::EC_NO_MEMORY},
      {EAGAIN, vl::EC_UNEXPECTED_ERROR},
  };
  for (const auto& [error, expected] : rows) {
    EXPECT_EQ(error_code_to_error_enum(system_code(error)), expected) << error;
    EXPECT_EQ(error_code_to_error_enum(
                  boost::system::error_code(error, boost::system::generic_category())),
              expected)
        << error;
  }
}

TEST(ExceptionMapping, MapsEveryFormOfThrownThingToACodeAndAText) {
  EXPECT_EQ(exception_to_error_enum(std::bad_alloc()), vl::EC_NO_MEMORY);
  const struct {
    std::exception_ptr thrown;
    vl::ErrorCode code;
    const char* text;
  } rows[] = {
      {nullptr, vl::EC_OK, "Success"},
      {thrown(boost::system::system_error(system_code(ENOENT), "open")), vl::EC_NO_SUCH_ENTRY,
       "open: No such file or directory"},
      {thrown(cf_proto_exception_t(vl::EC_BAD_CONFIG, "bad")), vl::EC_BAD_CONFIG, "bad"},
      {thrown(cf_exception_t(system_code(EACCES), "denied")), vl::EC_PERMISSION_DENIED, "denied"},
      {thrown(std::bad_alloc()), vl::EC_NO_MEMORY, "Not enough memory"},
      {thrown(std::runtime_error("plain text")), vl::EC_UNEXPECTED_ERROR, "plain text"},
      {thrown(42), vl::EC_UNEXPECTED_ERROR, "Unexpected exception"},
      // A bare code ends the process with that status, but as a failure it is no
      // recognised exception.
      {thrown(vl::EC_APP_TERMINATED), vl::EC_UNEXPECTED_ERROR,
       "ErrorCode: Process terminated by signal"},
      {thrown(static_cast<vl::ErrorCode>(4242)), vl::EC_UNEXPECTED_ERROR, "ErrorCode: 4242"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(exception_ptr_to_error_enum(row.thrown), row.code) << row.text;
    EXPECT_EQ(exception_ptr_text(row.thrown), row.text);
  }
  // One text per thread: another thread's text does not replace ours.
  const char* mine = exception_text(std::runtime_error("main thread"));
  std::thread([] { exception_text(std::runtime_error("other thread")); }).join();
  EXPECT_STREQ(mine, "main thread");
}

TEST(ExceptionText, TrimsLibraryQualifiers) {
  EXPECT_STREQ(exception_text(std::runtime_error("boost::bad_get: failed value get")),
               "bad_get: failed value get");
  EXPECT_STREQ(exception_text(std::runtime_error("boost::filesystem::status: Permission denied")),
               "status: Permission denied");
  const boost::filesystem::filesystem_error iterator_error(
      "boost::filesystem::directory_iterator::construct", "/spool", system_code(EACCES));
  EXPECT_EQ(std::string(exception_text(iterator_error)).rfind("opendir: ", 0), 0u)
      << exception_text(iterator_error);
  // Only that exact scope is rewritten, and only a leading qualifier is trimmed.
  EXPECT_STREQ(exception_text(std::runtime_error("boost::filesystem::construct: x")),
               "construct: x");
  EXPECT_STREQ(exception_text(std::runtime_error("open boost::asio::x")), "open boost::asio::x");
}

TEST(WireError, FillsFromExceptionsAndTurnsBackIntoOne) {
  vl::Error error;
  fill_error(error, nullptr);
  EXPECT_EQ(error.ShortDebugString(), "code: EC_OK what: \"Success\"");
  fill_error(error, thrown(cf_proto_exception_t(vl::EC_NO_SCAN_ENGINE, "engine gone")));
  EXPECT_EQ(error.ShortDebugString(), "code: EC_NO_SCAN_ENGINE what: \"engine gone\"");

  vl::Error received;
  EXPECT_EQ(error_to_exception_ptr(received), nullptr);
  received.set_code(vl::EC_NO_SUCH_ENTRY);
  const auto failure = error_to_exception_ptr(received);
  EXPECT_EQ(exception_ptr_to_error_enum(failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(failure), "No such file or directory");
  received.set_what("gone while scanning");
  EXPECT_EQ(exception_ptr_text(error_to_exception_ptr(received)), "gone while scanning");
  EXPECT_EQ(make_error_exception_ptr(boost::system::error_code()), nullptr);
  EXPECT_EQ(exception_ptr_text(
                make_error_exception_ptr(make_error_code(vl::EC_LINK_DISCONNECTED), "peer")),
            "peer: Link disconnected");
}
