#include "framework/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/error.h"
#include "framework/log.h"

namespace {

std::atomic<int> signals_caught{0};
void count_signal(int) {
  ++signals_caught;
}

// Writes `size` bytes with `write` into a pipe nobody reads yet, so the writer
// blocks, while signals interrupt it; checks that all of it came out. A writer that
// gives up early or never ends fails the check within a deadline instead of holding
// the test: the pipe is drained without blocking, and a writer still blocked at the
// deadline is let go by closing the pipe's read end.
void write_under_signals(const std::function<void(int, const std::string&)>& write,
                         std::size_t size) {
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline = clock::now() + std::chrono::seconds(20);
  struct sigaction action {
  }, previous{}, previous_pipe{}, ignore{};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);  // no SA_RESTART: a blocked write returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  // A writer let go by closing the read end gets EPIPE, not the signal's end.
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous_pipe), 0);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  std::string payload(size, '\0');
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    write(fds[1], payload);
    finished = true;
  });
  // Each signal waits for the handler, so most land while the write is blocked; a
  // writer that has returned takes no more.
  for (int i = 0; i < 20 && !finished && clock::now() < deadline; ++i) {
    const int before = signals_caught;
    ::pthread_kill(writer.native_handle(), SIGUSR1);
    while (signals_caught == before && !finished && clock::now() < deadline)
      std::this_thread::yield();
  }
  std::string received;
  std::string chunk(65536, '\0');
  while (received.size() < size && clock::now() < deadline) {
    // Taken before the read: whatever a writer that had returned by then wrote is in
    // the pipe, so an empty pipe afterwards means it gave up short.
    const bool writer_done = finished;
    pollfd readable{fds[0], POLLIN, 0};
    ::poll(&readable, 1, 100);
    const ssize_t n = ::read(fds[0], &chunk[0], chunk.size());
    if (n > 0) {
      received.append(chunk, 0, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) || writer_done) {
      break;
    }
  }
  EXPECT_TRUE(finished || received.size() == size) << "the writer did not return in time";
  ::close(fds[0]);
  writer.join();
  ::close(fds[1]);
  ::sigaction(SIGPIPE, &previous_pipe, nullptr);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(received == payload) << "received " << received.size() << " of " << size << " bytes";
}

}  // namespace

TEST(ReadExact, ReadsWholeCountAndReportsEarlyEndAndSystemErrors) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "abcdef", 6), 6);
  ::close(fds[1]);
  char buffer[8] = {};
  boost::system::error_code error;
  read_exact(fds[0], buffer, 4, error);
  EXPECT_FALSE(error);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  read_exact(fds[0], buffer, 0, error);
  EXPECT_FALSE(error);
  read_exact(fds[0], buffer, 5, error);
  EXPECT_EQ(error, make_error_code(vl::EC_UNEXPECTED_EOF));
  ::close(fds[0]);
  const boost::system::error_code bad_fd(EBADF, boost::system::system_category());
  read_exact(-1, buffer, sizeof buffer, error);
  EXPECT_EQ(error, bad_fd);
  boost::system::error_code write_error;
  write_all(-1, buffer, sizeof buffer, write_error);
  EXPECT_EQ(write_error, bad_fd);
}

TEST(WriteAll, GoesOnAfterSignalsInterruptABlockedWrite) {
  boost::system::error_code error;
  write_under_signals(
      [&](int fd, const std::string& data) { write_all(fd, data.data(), data.size(), error); },
      100000);
  EXPECT_FALSE(error) << error.message();
  // The log's own writer, which may not allocate or report, holds to the same rule.
  write_under_signals(
      [](int fd, const std::string& data) { log_write_all(fd, data.data(), data.size()); },
      1 << 20);
}
