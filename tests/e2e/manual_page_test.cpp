// The manual page stays complete: it describes every configuration field, every
// status the daemon exits with and the open-job bounds, in the words the daemon
// logs and answers.
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "cluster/peer_protocol.h"
#include "framework/error.h"
#include "jobs/client_protocol.h"
#include "schemas/brel_config.pb.h"
#include "schemas/error.pb.h"
#include "tests/support/file_text.h"

namespace {

const std::string kPage = BRELKIN_SOURCE_DIR "/man/velmo-brelkin.1";

// The page's text as a reader sees it, near enough to match phrases: roff's
// escaped minus, quote and zero-width characters and font changes undone, and
// every run of white space (a source line break included) one blank.
std::string page_text(std::string page) {
  page = std::regex_replace(page, std::regex(R"(\\f[BIRP])"), "");
  page = std::regex_replace(page, std::regex(R"(\\-)"), "-");
  page = std::regex_replace(page, std::regex(R"(\\\(dq)"), "\"");
  page = std::regex_replace(page, std::regex(R"(\\&|\\%)"), "");
  return std::regex_replace(page, std::regex(R"(\s+)"), " ");
}

TEST(ManualPage, DescribesEveryConfigurationFieldAndExitStatus) {
  const std::string page = read_file(kPage);
  ASSERT_FALSE(page.empty()) << kPage;
  const google::protobuf::Descriptor* config = vl::BrelConfig::descriptor();
  for (int i = 0; i < config->field_count(); ++i) {
    const std::string& name = config->field(i)->name();
    // Each field has its own tagged paragraph: ".TP", then the name in bold.
    const std::regex entry("(^|\\n)\\.TP\\n\\.BR? " + name + "(\\s|$)");
    EXPECT_TRUE(std::regex_search(page, entry)) << "no paragraph for field " << name;
  }
  // In the words the daemon logs.
  const std::string text = page_text(page);
  for (const int status : {vl::EC_OK, vl::EC_MONITOR_IPC_ERROR, vl::EC_NO_MEMORY, vl::EC_BAD_CONFIG,
                           vl::EC_APP_TERMINATED, vl::EC_UNEXPECTED_ERROR}) {
    const std::string line =
        "\"Exit with status " + std::to_string(status) + " (" + error_enum_name(status) + ")\"";
    EXPECT_NE(text.find(line), std::string::npos) << "missing " << line;
  }
}

TEST(ManualPage, StatesTheOpenJobBoundsTheDaemonKeeps) {
  const std::string text = page_text(read_file(kPage));
  for (const std::string& alarm :
       {"\"Too many open jobs on this connection (" + std::to_string(kConnectionJobLimit) + ")\"",
        "\"Too many open jobs on this peer link (" + std::to_string(kPeerLinkJobLimit) + ")\""}) {
    EXPECT_NE(text.find(alarm), std::string::npos) << "missing " << alarm;
  }
}

}  // namespace
