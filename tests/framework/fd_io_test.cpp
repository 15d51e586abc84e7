#include "framework/fd_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/error.h"

namespace {

class pipe_t {
 public:
  pipe_t() { EXPECT_EQ(::pipe(fds_), 0); }
  ~pipe_t() {
    close_reader();
    close_writer();
  }
  int reader() const { return fds_[0]; }
  int writer() const { return fds_[1]; }
  void close_reader() { close_end(0); }
  void close_writer() { close_end(1); }

 private:
  void close_end(int i) {
    if (fds_[i] >= 0) ::close(fds_[i]);
    fds_[i] = -1;
  }
  int fds_[2] = {-1, -1};
};

std::atomic<int> signals_caught{0};
void count_signal(int) {
  ++signals_caught;
}

}  // namespace

TEST(ReadExact, ReadsWholeCountAndReportsEarlyEndOfFile) {
  pipe_t pipe;
  ASSERT_EQ(::write(pipe.writer(), "abcdef", 6), 6);
  pipe.close_writer();

  char buffer[8] = {};
  boost::system::error_code error;
  read_exact(pipe.reader(), buffer, 4, error);
  EXPECT_FALSE(error);
  EXPECT_EQ(std::string(buffer, 4), "abcd");

  read_exact(pipe.reader(), buffer, 5, error);
  EXPECT_EQ(error, make_error_code(vl::EC_UNEXPECTED_EOF));

  boost::system::error_code at_end;
  read_exact(pipe.reader(), buffer, 0, at_end);
  EXPECT_FALSE(at_end);
}

TEST(ReadExact, ReportsSystemErrors) {
  char buffer[4];
  boost::system::error_code error;
  read_exact(-1, buffer, sizeof buffer, error);
  EXPECT_EQ(error, boost::system::error_code(EBADF, boost::system::system_category()));
  boost::system::error_code write_error;
  write_all(-1, buffer, sizeof buffer, write_error);
  EXPECT_EQ(write_error, boost::system::error_code(EBADF, boost::system::system_category()));
}

TEST(WriteAll, GoesOnAfterSignalsInterruptABlockedWrite) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  pipe_t pipe;
  // Fill the pipe so the writer blocks before its first byte.
  ::fcntl(pipe.writer(), F_SETFL, O_NONBLOCK);
  std::string filler(4096, 'f');
  std::size_t filled = 0;
  for (;;) {
    const ssize_t n = ::write(pipe.writer(), filler.data(), filler.size());
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::fcntl(pipe.writer(), F_SETFL, 0);

  const std::string payload(100000, 'p');
  boost::system::error_code error;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    write_all(pipe.writer(), payload.data(), payload.size(), error);
    done = true;
  });
  // Each signal waits for the handler, so most land while the write is blocked.
  for (int i = 0; i < 20; ++i) {
    const int before = signals_caught;
    ::pthread_kill(writer.native_handle(), SIGUSR1);
    while (signals_caught == before) std::this_thread::yield();
  }
  std::string received;
  std::string chunk(65536, '\0');
  while (received.size() < filled + payload.size()) {
    const ssize_t n = ::read(pipe.reader(), &chunk[0], chunk.size());
    ASSERT_GT(n, 0);
    received.append(chunk, 0, static_cast<std::size_t>(n));
  }
  writer.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_TRUE(done);
  EXPECT_FALSE(error) << error.message();
  EXPECT_EQ(received.substr(filled), payload);
}
