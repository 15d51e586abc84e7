// The programs started without a configuration daemon or a daemon to talk to:
// they answer their command line, or refuse it, and exit with its status.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

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
}

}  // namespace
