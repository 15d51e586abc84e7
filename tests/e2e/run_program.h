// Runs a program to its end and keeps its standard output and error apart, for the
// programs that only answer their command line. The environment is the test's,
// without COM_VELMO_MONITOR, with the build directory first on PATH. Test thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

struct program_result_t {
  int status = -1;
  std::string out;
  std::string err;
};

// `words` starts with the program; `cwd` (when not empty) is where it runs.
inline program_result_t run_program(std::vector<std::string> words,
                                    const std::string& stdin_path = "/dev/null",
                                    const std::string& cwd = "") {
  std::vector<std::string> environment{"PATH=" BRELKIN_BINARY_DIR ":/usr/bin:/bin"};
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "COM_VELMO_MONITOR=", 18) != 0 && std::strncmp(*entry, "PATH=", 5))
      environment.push_back(*entry);
  std::vector<char*> argv, envp;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (auto& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open(stdin_path.c_str(), O_RDONLY), 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::environ = envp.data();
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  program_result_t result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  for (int open_streams = 2; open_streams > 0 && ::poll(fds, 2, 20000) > 0;) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd < 0) continue;
    ADD_FAILURE() << words[0] << " did not finish";
    ::kill(pid, SIGKILL);
    ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}
