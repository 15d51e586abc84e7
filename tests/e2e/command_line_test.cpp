// The daemon started without its configuration daemon: it only answers its
// command line, on standard output, and exits.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

const std::string kDaemon = BRELKIN_BINARY_DIR "/velmo-brelkin";

struct run_result_t {
  int status = -1;
  std::string out;
  std::string err;
};

struct run_options_t {
  std::string program = kDaemon;
  // Started as "velmo-brelkin" through PATH from this directory, when not empty.
  std::string bare_name_from = "";
};

// Runs the program to its end with the environment of this test minus
// COM_VELMO_MONITOR, and collects both output streams.
run_result_t run(const std::vector<std::string>& arguments, const run_options_t& options = {}) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "COM_VELMO_MONITOR=", 18) != 0 &&
        std::strncmp(*entry, "PATH=", 5) != 0)
      environment.push_back(*entry);
  environment.push_back("PATH=" BRELKIN_BINARY_DIR ":/usr/bin:/bin");

  std::vector<std::string> argv_text{options.bare_name_from.empty() ? options.program
                                                                    : "velmo-brelkin"};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (auto& text : argv_text) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  for (auto& text : environment) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (!options.bare_name_from.empty() && ::chdir(options.bare_name_from.c_str()) != 0)
      ::_exit(126);
    ::environ = envp.data();
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  run_result_t result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0 && ::poll(fds, 2, 10000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof(chunk));
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0) {
      ::kill(pid, SIGKILL);
      ::close(fd.fd);
    }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}

const std::string kVersionLine = std::string("velmo-brelkin ") + BRELKIN_VERSION + "\n";

}  // namespace

TEST(CommandLine, RefusesToRunStandalone) {
  const auto result = run({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Cannot run standalone. See velmo-brelkin(1) for details.\n");
  EXPECT_EQ(result.err, "");
}

TEST(CommandLine, PrintsVersionForAnySpellingOfTheSwitch) {
  for (const char* spelling : {"--version", "-v", "--VERSION", "--vers", "--Ver"}) {
    const auto result = run({spelling});
    EXPECT_EQ(result.status, 0) << spelling;
    EXPECT_EQ(result.out, kVersionLine) << spelling;
    EXPECT_EQ(result.err, "") << spelling;
  }
}

TEST(CommandLine, HelpWinsOverVersionAndHidesTheDump) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"-h"}, {"--help"}, {"-hv"}, {"--version", "--help"}}) {
    const auto result = run(arguments);
    EXPECT_EQ(result.status, 0) << arguments[0];
    EXPECT_EQ(result.out.rfind("Command line options:\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("-h [ --help ]"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("print help message and exit"), std::string::npos);
    EXPECT_NE(result.out.find("-v [ --version ]"), std::string::npos);
    EXPECT_NE(result.out.find("print version and exit"), std::string::npos);
    EXPECT_EQ(result.out.find("dump-app-info"), std::string::npos);
    EXPECT_EQ(result.out.find(kVersionLine), std::string::npos);
    EXPECT_EQ(result.err, "");
  }
}

TEST(CommandLine, UnknownOptionIsOneErrorLineAndStatus125) {
  for (const char* argument : {"--no-such-option", "-x", "--help=yes"}) {
    const auto result = run({argument});
    EXPECT_EQ(result.status, 125) << argument;
    EXPECT_EQ(result.out, "") << argument;
    EXPECT_EQ(result.err.rfind("Error: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_EQ(result.err.find("Exit with status"), std::string::npos);
  }
}

TEST(CommandLine, DumpsExecutableInformationAsJson) {
  const auto result = run({"--dump-app-info"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string& json = result.out;
  ASSERT_GE(json.size(), 3u);
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.substr(json.size() - 2), "}\n");
  EXPECT_NE(json.find(std::string("\"version\":\"") + BRELKIN_VERSION + "\""), std::string::npos)
      << json;
  for (const char* key :
       {"\"installTime\":\"", "\"modificationTime\":\"", "\"exeMd5\":\"", "\"exeOwner\":\""})
    EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
  const std::string size = std::to_string(boost::filesystem::file_size(kDaemon));
  EXPECT_NE(json.find("\"exeSize\":\"" + size + "\""), std::string::npos) << json;
  // Unique prefixes of the hidden switch work too.
  EXPECT_EQ(run({"--dump"}).out, json);
}

TEST(CommandLine, DumpIsEmptyObjectWhenTheExecutableCannotBeFound) {
  // Found through PATH, the bare name does not resolve from the directory it
  // runs in.
  temp_dir_t elsewhere;
  run_options_t options;
  options.bare_name_from = elsewhere.path().string();
  const auto result = run({"--dump-app-info"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "{}\n");
  EXPECT_EQ(result.err, "");
}
