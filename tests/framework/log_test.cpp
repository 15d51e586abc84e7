#include "framework/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "framework/console_log.h"
#include "framework/file_log.h"
#include "framework/syslog_log.h"
#include "schemas/log.pb.h"
#include "tests/support/temp_dir.h"

namespace {

std::string read_fd(int fd) {
  std::string data;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(chunk, static_cast<size_t>(n));
  }
}

std::string read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  std::string data = read_fd(fd);
  ::close(fd);
  return data;
}

vl::Log log_settings(vl::Log::LogType type, const std::string& path = "") {
  vl::Log settings;
  settings.set_type(type);
  if (!path.empty()) settings.set_path(path);
  return settings;
}

void ignore_line(const std::string&) {}

// "2024-Jan-05 10:00:00": four-digit year, English month, day, time to the second.
bool is_log_time(const std::string& text) {
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::string layout = "dddd-MMM-dd dd:dd:dd";
  if (text.size() != layout.size()) return false;
  for (size_t i = 0; i < layout.size(); ++i) {
    if (layout[i] == 'd' && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    if (layout[i] != 'd' && layout[i] != 'M' && layout[i] != text[i]) return false;
  }
  const size_t month = kMonths.find(text.substr(5, 3));
  return month != std::string::npos && month % 3 == 0;
}

// Splits off the first line, without its newline; empty when there is none.
std::string take_line(std::string& text) {
  const size_t end = text.find('\n');
  if (end == std::string::npos) return "";
  std::string line = text.substr(0, end);
  text.erase(0, end + 1);
  return line;
}

// The log is one per process and starts buffering: tests of its states run in a
// freshly started copy of this program.
class LogDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST(LogLevels, NamesAndConfiguredLevels) {
  EXPECT_STREQ(log_level_name(kLogDebug), "Debug");
  EXPECT_STREQ(log_level_name(kLogError), "Error");
  EXPECT_STREQ(log_level_name(5), "Unknown");
  EXPECT_EQ(log_level_from_name("Notice"), kLogNotice);
  EXPECT_EQ(log_level_from_name("Debug"), kLogDebug);
  EXPECT_EQ(log_level_from_name("Verbose"), kLogError);
  EXPECT_EQ(log_level_from_config(vl::LOG_LEVEL_DEBUG), kLogDebug);
  EXPECT_EQ(log_level_from_config(vl::LOG_LEVEL_WARNING), kLogWarning);
  EXPECT_EQ(log_level_from_config(vl::LOG_LEVEL_ERROR), kLogError);
  EXPECT_EQ(log_level_from_config(0), kLogError);
  EXPECT_EQ(log_level_from_config(6), kLogError);
}

TEST(FileLog, WritesTimeAndPidBeforeEachLine) {
  temp_dir_t dir;
  const std::string path = dir / "brelkin.log";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  {
    cf_file_log_t log(fd, true, nullptr, nullptr);
    log.write(kLogWarning, "disk almost full");
    log.write_tagged("Scan", 7, "tagged text");
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "an owned descriptor is closed";
  std::string text = read_file(path);
  std::string line = take_line(text);
  EXPECT_TRUE(is_log_time(line.substr(0, 20))) << line;
  EXPECT_EQ(line.substr(20), " [" + std::to_string(::getpid()) + "] Warning: disk almost full");
  line = take_line(text);
  EXPECT_TRUE(is_log_time(line.substr(0, 20))) << line;
  EXPECT_EQ(line.substr(20), " [Scan-7] tagged text");
  EXPECT_EQ(text, "");
}

TEST(FileLog, PrintsLocalTimeWithEnglishMonths) {
  const char* saved = std::getenv("TZ");
  const std::string saved_tz = saved ? saved : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(log_time_text(1700000000), "2023-Nov-14 22:13:20");
  EXPECT_EQ(log_time_text(0), "1970-Jan-01 00:00:00");
  saved ? ::setenv("TZ", saved_tz.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

TEST(FileLog, LeavesBorrowedDescriptorOpen) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  { cf_file_log_t log(pipe_fds[1], false, nullptr, nullptr); }
  EXPECT_NE(::fcntl(pipe_fds[1], F_GETFD), -1);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(CreateLog, OpensFileForAppendingWithOwnerOnlyMode) {
  temp_dir_t dir;
  const std::string path = dir / "brelkin.log";
  auto log = create_log(log_settings(vl::Log::FILE, path), ignore_line, ignore_line);
  ASSERT_TRUE(log);
  log->write(kLogInfo, "first");
  log = create_log(log_settings(vl::Log::FILE, path), ignore_line, ignore_line);
  log->write(kLogInfo, "second");
  log.reset();
  const std::string text = read_file(path);
  EXPECT_NE(text.find("Info: first\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Info: second\n"), std::string::npos) << text;
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(CreateLog, ReportsUnusableFileWithFirstError) {
  temp_dir_t dir;
  const std::string path = dir / "missing/brelkin.log";
  try {
    create_log(log_settings(vl::Log::FILE, path), ignore_line, ignore_line);
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(e.path1().string(), path);
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create log", 0), 0u) << e.what();
  }
}

TEST(CreateLog, RefusesSymbolicLinkPlantedAtLogPath) {
  temp_dir_t dir;
  const std::string target = dir / "victim";
  const std::string path = dir / "brelkin.log";
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  try {
    create_log(log_settings(vl::Log::FILE, path), ignore_line, ignore_line);
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), ELOOP);
  }
  EXPECT_FALSE(boost::filesystem::exists(target)) << "the link was followed";
}

TEST(CreateLog, ChoosesBackEndByType) {
  auto console = create_log(log_settings(vl::Log::STDERR), ignore_line, ignore_line);
  EXPECT_TRUE(dynamic_cast<cf_console_log_t*>(console.get()));

  vl::Log stamped = log_settings(vl::Log::STDERR);
  stamped.set_show_timestamp(true);
  auto file = std::dynamic_pointer_cast<cf_file_log_t>(create_log(stamped, ignore_line, nullptr));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->fd(), 2);
  EXPECT_FALSE(file->owns_fd());

  vl::Log syslog_settings = log_settings(vl::Log::SYSLOG);
  syslog_settings.set_ident("brel");
  syslog_settings.set_facility(vl::Log::LOCAL3);
  auto system = std::dynamic_pointer_cast<cf_syslog_log_t>(
      create_log(syslog_settings, ignore_line, ignore_line));
  ASSERT_TRUE(system);
  EXPECT_EQ(system->ident(), "brel");
  EXPECT_EQ(system->facility(), LOG_LOCAL3);

  EXPECT_FALSE(create_log(log_settings(vl::Log::AUTO), ignore_line, ignore_line));
}

TEST(SyslogLog, MapsLevelsAndFacilities) {
  EXPECT_EQ(cf_syslog_log_t::priority(kLogDebug), LOG_DEBUG);
  EXPECT_EQ(cf_syslog_log_t::priority(kLogInfo), LOG_INFO);
  EXPECT_EQ(cf_syslog_log_t::priority(kLogNotice), LOG_NOTICE);
  EXPECT_EQ(cf_syslog_log_t::priority(kLogWarning), LOG_WARNING);
  EXPECT_EQ(cf_syslog_log_t::priority(kLogError), LOG_ERR);
  EXPECT_EQ(cf_syslog_log_t::priority(9), LOG_ERR);
  EXPECT_EQ(cf_syslog_log_t::priority(-1), LOG_DEBUG);

  EXPECT_EQ(syslog_facility_from_config(vl::Log::DAEMON), LOG_DAEMON);
  EXPECT_EQ(syslog_facility_from_config(vl::Log::USER), LOG_USER);
  EXPECT_EQ(syslog_facility_from_config(vl::Log::MAIL), LOG_MAIL);
  EXPECT_EQ(syslog_facility_from_config(vl::Log::LOCAL0), LOG_LOCAL0);
  EXPECT_EQ(syslog_facility_from_config(vl::Log::LOCAL7), LOG_LOCAL7);
  EXPECT_EQ(syslog_facility_from_config(5), LOG_DAEMON);
  // A facility this schema does not know arrives as absent.
  vl::Log parsed;
  ASSERT_TRUE(parsed.ParseFromString(std::string("\x08\x01\x10\x05", 4)));
  EXPECT_EQ(syslog_facility_from_config(parsed.facility()), LOG_DAEMON);
}

namespace {

// Counts interruptions; installed without SA_RESTART so that write() fails with
// EINTR or returns short.
std::atomic<int> interruptions{0};
void count_interruption(int) {
  ++interruptions;
}

}  // namespace

TEST(LogWriteAll, SurvivesInterruptingSignals) {
  struct sigaction action {
  }, saved{};
  action.sa_handler = count_interruption;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);

  std::string sent(1 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    log_write_all(pipe_fds[1], sent.data(), sent.size());
    done = true;
    ::close(pipe_fds[1]);
  });
  std::string received;
  char chunk[1024];
  while (received.size() < sent.size()) {
    if (!done) ::pthread_kill(writer.native_handle(), SIGUSR1);
    const ssize_t n = ::read(pipe_fds[0], chunk, sizeof(chunk));
    if (n <= 0) break;
    received.append(chunk, static_cast<size_t>(n));
  }
  writer.join();
  ::close(pipe_fds[0]);
  ::sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_GT(interruptions, 0);
  EXPECT_TRUE(received == sent) << "received " << received.size() << " bytes";
}

TEST(FileLog, KeepsLinesFromThreadsWhole) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  auto log = std::make_shared<cf_file_log_t>(pipe_fds[1], true, nullptr, nullptr);
  // Longer than a pipe writes atomically.
  const std::string texts[] = {std::string(9000, 'a'), std::string(9000, 'b')};
  constexpr int kLines = 100;
  std::vector<std::thread> writers;
  for (const auto& text : texts)
    writers.emplace_back([&log, &text] {
      for (int i = 0; i < kLines; ++i) log->write(kLogInfo, text);
    });
  std::thread closer([&] {
    for (auto& writer : writers) writer.join();
    log.reset();
  });
  const std::string output = read_fd(pipe_fds[0]);
  closer.join();
  ::close(pipe_fds[0]);
  size_t lines = 0;
  for (size_t start = 0; start < output.size(); ++lines) {
    const size_t end = output.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = output.substr(start, end - start);
    const size_t text = line.find("Info: ");
    ASSERT_NE(text, std::string::npos) << "line " << lines;
    const std::string body = line.substr(text + 6);
    EXPECT_TRUE(body == texts[0] || body == texts[1]) << "line " << lines << " is mixed";
    start = end + 1;
  }
  EXPECT_EQ(lines, 2u * kLines);
}

TEST_F(LogDeathTest, ReplaysBufferedEntriesThatPassTheThreshold) {
  EXPECT_EXIT(
      {
        log_message(kLogDebug, "dropped at replay");
        log_message(kLogWarning, "first kept");
        log_message(kLogInfo, "dropped too");
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
}

TEST_F(LogDeathTest, PrintsBufferAtExitWhenNothingWasInstalled) {
  EXPECT_EXIT(
      {
        log_message(kLogInfo, "never installed");
        log_message(kLogError, "still here");
        std::exit(3);
      },
      ::testing::ExitedWithCode(3),
      "^Debug: Flushing log...\nInfo: never installed\nError: still here\n$");
  EXPECT_EXIT(
      {
        log_message(kLogInfo, "below");
        log_message(kLogError, "above");
        log_threshold = kLogWarning;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^Error: above\n$");
}

TEST_F(LogDeathTest, EmptyBackEndInstallsConsoleWhenNothingIsInstalled) {
  // The AUTO type yields no back-end; the buffer must not keep growing.
  EXPECT_EXIT(
      {
        log_threshold = kLogInfo;
        log_message(kLogNotice, "buffered");
        install_log(create_log(log_settings(vl::Log::AUTO), ignore_line, ignore_line));
        log_message(kLogInfo, "written at once");
        std::_Exit(has_log() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^Notice: buffered\nInfo: written at once\n$");
}

TEST_F(LogDeathTest, EmptyBackEndKeepsTheInstalledOne) {
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

TEST_F(LogDeathTest, CopiesInstalledLinesToInheritedPipe) {
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
}

TEST_F(LogDeathTest, IgnoresMalformedPipeVariable) {
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

TEST_F(LogDeathTest, StandardErrorTargetDoesNotUsePipe) {
  EXPECT_EXIT(
      {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::_Exit(2);
        ::setenv("COM_VELMO_ADD_LOG_PIPE", std::to_string(pipe_fds[1]).c_str(), 1);
        log_threshold = kLogInfo;
        install_log(create_log(log_settings(vl::Log::STDERR), nullptr, nullptr));
        log_message(kLogInfo, "once");
        log_tagged("Tag", 1, "tagged");
        ::close(pipe_fds[1]);
        std::_Exit(read_fd(pipe_fds[0]).empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^Info: once\nTag-1: tagged\n$");
}
