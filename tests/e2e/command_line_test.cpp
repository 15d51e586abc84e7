// The daemon started without its configuration daemon: it only answers its
// command line, on standard output, and exits.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "tests/e2e/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kDaemon = BRELKIN_BINARY_DIR "/velmo-brelkin";
const std::string kVersionLine = std::string("velmo-brelkin ") + BRELKIN_VERSION + "\n";
const std::string kHelp = "Command line options:\n";

program_result_t run(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), kDaemon);
  return run_program(arguments);
}

TEST(CommandLine, AnswersEachOptionWithItsTextAndStatus) {
  struct case_t {
    std::vector<std::string> arguments;
    int status;
    // The start of standard output.
    std::string out;
  };
  const std::vector<case_t> cases = {
      {{}, 1, "Cannot run standalone. See velmo-brelkin(1) for details.\n"},
      {{"-v"}, 0, kVersionLine},
      {{"--VERSION"}, 0, kVersionLine},
      {{"--vers"}, 0, kVersionLine},
      // Help wins over the version.
      {{"-hv"}, 0, kHelp},
      {{"--version", "--help"}, 0, kHelp},
      // One Error line on standard error, and no exit line.
      {{"--no-such-option"}, 125, ""},
      {{"-x"}, 125, ""},
      {{"--help=yes"}, 125, ""},
  };
  for (const auto& c : cases) {
    const auto result = run(c.arguments);
    const std::string what = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(result.status, c.status) << what;
    EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << what << ": " << result.out;
    if (c.out == kHelp) {
      for (const char* text : {"-h [ --help ]", "print help message and exit", "-v [ --version ]"})
        EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
      // The dump is a hidden switch.
      EXPECT_EQ(result.out.find("dump-app-info"), std::string::npos);
    } else {
      EXPECT_EQ(result.out, c.out) << what;
    }
    if (c.status != 125) {
      EXPECT_EQ(result.err, "") << what;
    } else {
      EXPECT_EQ(result.err.rfind("Error: ", 0), 0u) << result.err;
      EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
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
  const std::string size = std::to_string(boost::filesystem::file_size(kDaemon));
  EXPECT_NE(json.find("\"exeSize\":\"" + size + "\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"exeMd5\":\""), std::string::npos) << json;
  // Unique prefixes of the hidden switch work too.
  EXPECT_EQ(run({"--dump"}).out, json);

  // Found through PATH, the bare name does not resolve from another directory:
  // the dump is the empty object.
  temp_dir_t elsewhere;
  const auto bare =
      run_program({"velmo-brelkin", "--dump-app-info"}, "/dev/null", elsewhere.path().string());
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out, "{}\n");
}

}  // namespace
