#include "framework/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "framework/console_log.h"
#include "framework/error.h"
#include "framework/file_log.h"
#include "framework/syslog_log.h"
#include "schemas/log.pb.h"
#include "tests/support/failure_of.h"
#include "tests/support/file_text.h"
#include "tests/support/proto_text.h"
#include "tests/support/temp_dir.h"

namespace {

std::string read_fd(int fd) {
  std::string data;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) data.append(chunk, static_cast<size_t>(n));
  return data;
}

vl::Log log_settings(vl::Log::LogType type, const std::string& path = "") {
  vl::Log settings;
  settings.set_type(type);
  if (!path.empty()) settings.set_path(path);
  return settings;
}

void ignore_line(const std::string&) {}

// The time a file log line starts with: "2024-Jan-05 10:00:00 ".
const std::string kTime =
    "[0-9]{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-9]{2} "
    "[0-9]{2}:[0-9]{2}:[0-9]{2} ";

// The log is one per process and starts buffering: tests of its states run in a
// freshly started copy of this program.
class LogDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST(LogLevels, UnknownNamesAndConfiguredLevelsMeanError) {
  EXPECT_STREQ(log_level_name(5), "Unknown");
  EXPECT_EQ(log_level_from_name("Notice"), kLogNotice);
  EXPECT_EQ(log_level_from_name("Verbose"), kLogError);
  EXPECT_EQ(log_level_from_config(vl::LOG_LEVEL_WARNING), kLogWarning);
  EXPECT_EQ(log_level_from_config(0), kLogError);
  EXPECT_EQ(log_level_from_config(6), kLogError);
}

TEST(FileLog, WritesTimeAndPidBeforeEachLineAndClosesOnlyItsOwnDescriptor) {
  temp_dir_t dir;
  const std::string path = dir / "brelkin.log";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  {
    cf_file_log_t log(fd, true, nullptr, nullptr);
    log.write(kLogWarning, "disk almost full");
    log.write_tagged("Scan", 7, "tagged text");
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  const std::string text = read_file(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(kTime + "\\[" + std::to_string(::getpid()) +
                       "\\] Warning: disk almost full\n" + kTime + "\\[Scan-7\\] tagged text\n")))
      << text;

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  { cf_file_log_t borrowed(pipe_fds[1], false, nullptr, nullptr); }
  EXPECT_NE(::fcntl(pipe_fds[1], F_GETFD), -1);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(FileLog, PrintsLocalTimeWithEnglishMonths) {
  const char* saved = std::getenv("TZ");
  const std::string zone = saved ? saved : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(log_time_text(1700000000), "2023-Nov-14 22:13:20");
  EXPECT_EQ(log_time_text(0), "1970-Jan-01 00:00:00");
  saved ? ::setenv("TZ", zone.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

TEST(FileLog, KeepsLinesFromThreadsWhole) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  auto log = std::make_shared<cf_file_log_t>(pipe_fds[1], true, nullptr, nullptr);
  // Longer than a pipe writes atomically.
  const std::string texts[] = {std::string(9000, 'a'), std::string(9000, 'b')};
  std::vector<std::thread> writers;
  for (const auto& text : texts)
    writers.emplace_back([&log, &text] {
      for (int i = 0; i < 50; ++i) log->write(kLogInfo, text);
    });
  std::thread closer([&] {
    for (auto& writer : writers) writer.join();
    log.reset();
  });
  const std::string output = read_fd(pipe_fds[0]);
  closer.join();
  ::close(pipe_fds[0]);
  size_t lines = 0;
  for (size_t start = 0, end; start < output.size(); start = end + 1, ++lines) {
    end = output.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    ASSERT_GE(end - start, 9006u);
    const std::string tail = output.substr(end - 9006, 9006);
    EXPECT_TRUE(tail == "Info: " + texts[0] || tail == "Info: " + texts[1]) << "line " << lines;
  }
  EXPECT_EQ(lines, 100u);
}

TEST(CreateLog, FileIsAppendedAndNeverOpenedThroughALink) {
  temp_dir_t dir;
  const std::string path = dir / "brelkin.log";
  for (const char* text : {"first", "second"})
    create_log(log_settings(vl::Log::FILE, path), ignore_line, ignore_line)->write(kLogInfo, text);
  const std::string text = read_file(path);
  EXPECT_NE(text.find("Info: first\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Info: second\n"), std::string::npos) << text;

  const std::string missing = dir / "missing/brelkin.log";
  auto failure = failure_of(
      [&] { create_log(log_settings(vl::Log::FILE, missing), ignore_line, ignore_line); });
  EXPECT_EQ(exception_ptr_to_error_enum(failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(failure).rfind("Cannot create log", 0), 0u);
  EXPECT_NE(exception_ptr_text(failure).find(missing), std::string::npos);

  const std::string planted = dir / "planted.log";
  ASSERT_EQ(::symlink((dir / "victim").c_str(), planted.c_str()), 0);
  EXPECT_TRUE(failure_of(
      [&] { create_log(log_settings(vl::Log::FILE, planted), ignore_line, ignore_line); }));
  EXPECT_FALSE(boost::filesystem::exists(dir / "victim")) << "the link was followed";
}

TEST(CreateLog, ChoosesBackEndByType) {
  auto make = [](const std::string& text) {
    return create_log(from_text<vl::Log>(text), ignore_line, ignore_line);
  };
  EXPECT_TRUE(std::dynamic_pointer_cast<cf_console_log_t>(make("type: STDERR")));
  auto file = std::dynamic_pointer_cast<cf_file_log_t>(make("type: STDERR show_timestamp: true"));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->fd(), 2);
  EXPECT_FALSE(file->owns_fd());
  auto system = std::dynamic_pointer_cast<cf_syslog_log_t>(
      make("type: SYSLOG ident: 'brel' facility: LOCAL3"));
  ASSERT_TRUE(system);
  EXPECT_EQ(system->ident(), "brel");
  EXPECT_EQ(system->facility(), LOG_LOCAL3);
  EXPECT_FALSE(make("type: AUTO"));
}

TEST(SyslogLog, MapsLevelsOutOfRangeAndUnknownFacilities) {
  EXPECT_EQ(cf_syslog_log_t::priority(kLogWarning), LOG_WARNING);
  EXPECT_EQ(cf_syslog_log_t::priority(9), LOG_ERR);
  // Never facility bits.
  EXPECT_EQ(cf_syslog_log_t::priority(-1), LOG_DEBUG);
  EXPECT_EQ(syslog_facility_from_config(vl::Log::LOCAL7), LOG_LOCAL7);
  EXPECT_EQ(syslog_facility_from_config(5), LOG_DAEMON);
}

TEST_F(LogDeathTest, ReplaysBufferedEntriesThatPassTheThresholdOrPrintsThemAtExit) {
  EXPECT_EXIT(
      {
        log_message(kLogDebug, "dropped at replay");
        log_message(kLogWarning, "first kept");
        log_message(kLogError, "second kept");
        log_threshold = kLogNotice;
        install_log(make_console_log());
        // Callers filter installed-state lines themselves.
        log_message(kLogInfo, "after install");
        log_tagged("Scan", 3, "tagged");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^Warning: first kept\nError: second kept\nInfo: after install\nScan-3: tagged\n$");
  EXPECT_EXIT(
      {
        log_message(kLogInfo, "never installed");
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "^Debug: Flushing log...\nInfo: never installed\n$");
}

TEST_F(LogDeathTest, EmptyBackEndNeverLeavesTheLogBuffering) {
  // Nothing installed yet: the console takes over and the buffer is replayed.
  EXPECT_EXIT(
      {
        log_threshold = kLogInfo;
        log_message(kLogNotice, "buffered");
        install_log(create_log(log_settings(vl::Log::AUTO), ignore_line, ignore_line));
        log_message(kLogInfo, "written at once");
        std::_Exit(has_log() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^Notice: buffered\nInfo: written at once\n$");
  // Something installed: it stays.
  EXPECT_EXIT(
      {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::_Exit(2);
        install_log(std::make_shared<cf_file_log_t>(pipe_fds[1], true, nullptr, nullptr));
        install_log(nullptr);
        log_message(kLogInfo, "still in the file");
        ::write(2, "stderr untouched\n", 17);
        install_log(make_console_log());  // closes the pipe's write end
        const std::string text = read_fd(pipe_fds[0]);
        std::_Exit(text.find("] Info: still in the file\n") != std::string::npos ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^stderr untouched\n$");
}

TEST_F(LogDeathTest, CopiesInstalledLinesToInheritedPipeExceptForStandardError) {
  EXPECT_EXIT(
      {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::_Exit(2);
        ::setenv("COM_VELMO_ADD_LOG_PIPE", std::to_string(pipe_fds[1]).c_str(), 1);
        install_log(create_log(log_settings(vl::Log::FILE, "/dev/null"), nullptr, nullptr));
        log_message(kLogNotice, "to file and pipe");
        install_log(make_console_log());
        ::close(pipe_fds[1]);
        const std::string copied = read_fd(pipe_fds[0]);
        ::write(2, copied.data(), copied.size());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^Debug: Log Factory: Additional log - [0-9]+\nNotice: to file and pipe\n$");
  EXPECT_EXIT(
      {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::_Exit(2);
        ::setenv("COM_VELMO_ADD_LOG_PIPE", std::to_string(pipe_fds[1]).c_str(), 1);
        log_threshold = kLogInfo;
        install_log(create_log(log_settings(vl::Log::STDERR), nullptr, nullptr));
        log_message(kLogInfo, "once");
        ::close(pipe_fds[1]);
        std::_Exit(read_fd(pipe_fds[0]).empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^Info: once\n$");
  EXPECT_EXIT(
      {
        ::setenv("COM_VELMO_ADD_LOG_PIPE", "x7", 1);
        install_log(create_log(log_settings(vl::Log::STDERR), nullptr, nullptr));
        log_message(kLogInfo, "on stderr only");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^Error: Log Factory: Wrong environment variable COM_VELMO_ADD_LOG_PIPE\n"
      "Info: on stderr only\n$");
}
