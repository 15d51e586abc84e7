// The programs started without a configuration daemon or a daemon to talk to:
// they answer their command line, or refuse it, and exit with its status.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "tests/e2e/run_program.h"
#include "tests/support/file_text.h"
#include "tests/support/marrod_harness.h"
#include "tests/support/temp_dir.h"

namespace {

struct ended_t {
  int status;
  std::string output;
};

// Runs `program` with `arguments` to its end.
ended_t run(const std::string& program, const std::vector<std::string>& arguments) {
  marrod_harness_t harness(program);
  harness.without_link();
  harness.start(arguments);
  const int status = harness.wait_exit();
  return {status, harness.output()};
}

TEST(CommandLine, DaemonAnswersEachOptionWithItsTextAndStatus) {
  const std::string daemon = brelkin_program();
  const std::string version = std::string("velmo-brelkin ") + BRELKIN_VERSION + "\n";
  const std::string help = "Command line options:\n";
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{}, 1, "Cannot run standalone. See velmo-brelkin(1) for details.\n"},
      {{"--vers"}, 0, version},
      // Help wins over the version.
      {{"-hv"}, 0, help},
      // One Error line, and no exit line.
      {{"--no-such-option"}, 125, "Error: "},
      {{"--help=yes"}, 125, "Error: "},
  };
  for (const auto& [arguments, status, text] : cases) {
    const ended_t ended = run(daemon, arguments);
    EXPECT_EQ(ended.status, status) << text;
    EXPECT_EQ(ended.output.rfind(text, 0), 0u) << ended.output;
    if (text == help) {
      // The dump is a hidden switch.
      EXPECT_EQ(ended.output.find("dump-app-info"), std::string::npos);
    } else {
      EXPECT_EQ(ended.output.find('\n'), ended.output.size() - 1) << ended.output;
    }
  }
  const std::string size = std::to_string(boost::filesystem::file_size(daemon));
  const ended_t dump = run(daemon, {"--dump"});
  EXPECT_EQ(dump.status, 0);
  EXPECT_NE(dump.output.find("\"exeSize\":\"" + size + "\""), std::string::npos) << dump.output;
}

TEST(CommandLine, ScanningClientRefusesBadUsageAndUnreachableDaemonsWithStatus2) {
  temp_dir_t files;
  write_file(files / "a", "a");
  const std::string nowhere = files / "no.sock";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{files / "a"}, "give exactly one of --unix PATH and --tcp ADDRESS:PORT"},
      {{"-u", nowhere, "-o", files / "o", files / "a", files / "a"},
       "--output takes the data of exactly one input"},
      {{"-u", nowhere, "--min-size", "12Q", files / "a"}, "unknown unit"},
      {{"-u", nowhere, "--hash", "md5", files / "a"}, "unknown digest \"md5\""},
      {{"-u", nowhere, "--chunk-size", "0", files / "a"}, "--chunk-size"},
      {{"-u", nowhere, "--bogus"}, "unrecognised option"},
      {{"-u", nowhere, files / "a"}, "cannot connect to " + nowhere},
      {{"-t", "127.0.0.1", files / "a"}, "--tcp: expected ADDRESS:PORT"},
  };
  for (const auto& [arguments, message] : cases) {
    const ended_t ended = run(BRELKIN_BINARY_DIR "/brel-scan", arguments);
    EXPECT_EQ(ended.status, 2) << message;
    EXPECT_EQ(ended.output.rfind("brel-scan: ", 0), 0u) << ended.output;
    EXPECT_NE(ended.output.find(message), std::string::npos) << ended.output;
  }
  // Refusals go to standard error: standard output carries only reports.
  const program_result_t refused =
      run_program({BRELKIN_BINARY_DIR "/brel-scan", "-u", nowhere, files / "a"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err.rfind("brel-scan: ", 0), 0u) << refused.err;
}

// The daemon's own options, with standard output and standard error apart.
program_result_t run_daemon(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), brelkin_program());
  return run_program(arguments);
}

TEST(CommandLine, StandaloneVersionAndUnknownOptions) {
  const std::string version = std::string("velmo-brelkin ") + BRELKIN_VERSION + "\n";
  struct case_t {
    std::vector<std::string> arguments;
    int status;
    std::string out;
  };
  const std::vector<case_t> cases = {
      {{}, 1, "Cannot run standalone. See velmo-brelkin(1) for details.\n"},
      {{"--version"}, 0, version},
      {{"-v"}, 0, version},
      // Long names ignore case.
      {{"--VERSION"}, 0, version},
      {{"--Ver"}, 0, version},
      // One Error line on standard error, and no exit line.
      {{"-x"}, 125, ""},
      {{"--no-such-option"}, 125, ""},
  };
  for (const auto& c : cases) {
    const program_result_t result = run_daemon(c.arguments);
    const std::string what = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(result.status, c.status) << what;
    EXPECT_EQ(result.out, c.out) << what;
    if (c.status != 125) {
      EXPECT_EQ(result.err, "") << what;
      continue;
    }
    EXPECT_EQ(result.err.rfind("Error: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  }
}

TEST(CommandLine, HelpWinsOverVersionAndHidesTheDump) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"--version", "--help"}}) {
    const program_result_t result = run_daemon(arguments);
    EXPECT_EQ(result.status, 0) << arguments[0];
    EXPECT_EQ(result.out.rfind("Command line options:\n", 0), 0u) << result.out;
    for (const char* text : {"-h [ --help ]", "print help message and exit", "-v [ --version ]",
                             "print version and exit"})
      EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("dump-app-info"), std::string::npos);
    EXPECT_EQ(result.out.find(std::string("velmo-brelkin ") + BRELKIN_VERSION), std::string::npos);
    EXPECT_EQ(result.err, "");
  }
}

TEST(CommandLine, DumpsExecutableInformationAsJson) {
  const program_result_t result = run_daemon({"--dump-app-info"});
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

  // Found through PATH, the bare name does not resolve from another directory: the
  // executable cannot be described, and the dump is the empty object.
  temp_dir_t elsewhere;
  const program_result_t bare =
      run_program({"velmo-brelkin", "--dump-app-info"}, "/dev/null", elsewhere.path().string());
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out, "{}\n");
  EXPECT_EQ(bare.err, "");
}

}  // namespace
