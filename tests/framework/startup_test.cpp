#include "framework/startup.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include "framework/log.h"
#include "schemas/error.pb.h"

namespace {

// Each case ends its process: it runs in a freshly started copy of this program,
// whose log starts out buffering as the daemon's does.
class StartupDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void terminate_with(std::exception_ptr e) {
  install_terminate_handler();
  try {
    std::rethrow_exception(e);
  } catch (...) {
    std::terminate();
  }
}

}  // namespace

TEST_F(StartupDeathTest, ExitLineNamesTheStatusAfterTheBufferedNotices) {
  // No value of the enumeration: the number stands in the parentheses too.
  EXPECT_EXIT(exit_with_status(300), ::testing::ExitedWithCode(300 & 0xff),
              "^Notice: Exit with status 300 \\(300\\)\n$");
  EXPECT_EXIT(
      {
        log_message(kLogNotice, "Brelkin 1.0");
        log_message(kLogInfo, "below the exit threshold");
        exit_with_status(vl::EC_APP_TERMINATED);
      },
      ::testing::ExitedWithCode(107),
      "^Notice: Brelkin 1.0\nNotice: Exit with status 107 \\(Process terminated by signal\\)\n$");
}

TEST_F(StartupDeathTest, TerminateHandlerLogsAndExitsWithTheMappingAndNoExitHandler) {
  EXPECT_EXIT(terminate_with(std::make_exception_ptr(
                  boost::system::system_error(ENOENT, boost::system::system_category(), "open"))),
              ::testing::ExitedWithCode(vl::EC_NO_SUCH_ENTRY),
              "^Error: open: No such file or directory\n$");
  EXPECT_EXIT(
      {
        std::atexit([] { ::write(2, "exit handler ran\n", 17); });
        terminate_with(std::make_exception_ptr(vl::EC_BAD_CONFIG));
      },
      ::testing::ExitedWithCode(vl::EC_UNEXPECTED_ERROR), "^Error: Unexpected exception\n$");
  // Called with no exception in flight.
  EXPECT_EXIT(
      {
        install_terminate_handler();
        std::terminate();
      },
      ::testing::ExitedWithCode(vl::EC_UNEXPECTED_ERROR), "^Error: Unexpected exception\n$");
}

TEST_F(StartupDeathTest, ProtobufMessagesReachTheLog) {
  EXPECT_EXIT(
      {
        install_log(make_console_log());
        install_protobuf_log_handler();
        using namespace google::protobuf;
        protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1,
                             "Reading dangerously large protocol message.  If the message turns "
                             "out to be larger than 67108864 bytes, parsing will be halted");
        protobuf_log_handler(LOGLEVEL_INFO, "f.cc", 1, "info text");
        protobuf_log_handler(LOGLEVEL_FATAL, "f.cc", 1, "fatal text");
        GOOGLE_LOG(WARNING) << "through the library";
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^Info: info text\nError: fatal text\nWarning: through the library\n$");
}

TEST_F(StartupDeathTest, DescriptorLimitIsRaisedToTheHardLimit) {
  EXPECT_EXIT(
      {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        // A soft limit below the hard one, as a service manager may hand it down.
        limit.rlim_cur = limit.rlim_max > 64 ? 64 : limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        log_threshold = kLogDebug;
        install_log(make_console_log());
        raise_descriptor_limit();
        ::getrlimit(RLIMIT_NOFILE, &limit);
        std::_Exit(limit.rlim_cur == limit.rlim_max ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^Debug: Descriptor limit: [0-9]+\n$");
}
