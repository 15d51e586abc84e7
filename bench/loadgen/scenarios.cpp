#include "bench/loadgen/scenarios.h"

#include <sstream>

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

}  // namespace

std::vector<scenario_t> make_scenarios(const std::string& only, std::uint32_t chunk,
                                       double seconds) {
  const auto duration = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  std::vector<scenario_t> scenarios;
  const auto small_file = make_file_image(4096, chunk);
  for (unsigned connections : {1u, 8u, 32u}) {
    scenario_t scenario;
    scenario.small = true;
    scenario.mode = "4 KiB files";
    scenario.workload.name = "small-" + std::to_string(connections);
    scenario.workload.file = small_file;
    scenario.workload.connections = connections;
    scenario.workload.duration = duration;
    scenarios.push_back(scenario);
  }
  const auto large_file = make_file_image(64 * kMiB, chunk);
  struct variant_t {
    const char* name;
    const char* mode;
    bool read_back;
    std::vector<bk::HashType> hashes;
  };
  const std::vector<variant_t> variants = {
      {"plain", "64 MiB files", false, {}},
      {"readback", "64 MiB files, read back", true, {}},
      {"sha1", "64 MiB files, threat_hash SHA1", false, {bk::SHA1}},
      {"sha256", "64 MiB files, threat_hash SHA256", false, {bk::SHA256}},
  };
  for (const variant_t& variant : variants) {
    for (unsigned connections : {1u, 4u}) {
      scenario_t scenario;
      scenario.mode = variant.mode;
      scenario.workload.name =
          std::string("large-") + variant.name + "-" + std::to_string(connections);
      scenario.workload.file = large_file;
      scenario.workload.read_back = variant.read_back;
      scenario.workload.hashes = variant.hashes;
      scenario.workload.connections = connections;
      scenario.workload.duration = duration;
      scenarios.push_back(scenario);
    }
  }
  if (only.empty() || only == "all") return scenarios;
  // A comma-separated list of name prefixes: "small", "large-sha1", "small-32,large-plain".
  std::vector<scenario_t> chosen;
  std::istringstream names(only);
  std::vector<std::string> prefixes;
  for (std::string name; std::getline(names, name, ',');) prefixes.push_back(name);
  for (const scenario_t& scenario : scenarios) {
    for (const std::string& prefix : prefixes) {
      if (scenario.workload.name.compare(0, prefix.size(), prefix) == 0) {
        chosen.push_back(scenario);
        break;
      }
    }
  }
  return chosen;
}
