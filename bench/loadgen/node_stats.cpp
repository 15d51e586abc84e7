#include "bench/loadgen/node_stats.h"

#include <fstream>
#include <string>

namespace {

const std::string kStatistics = "stand-marrod: statistics: ";

// The number after " files " in one entry of a statistics line; 0 without one.
std::uint64_t entry_files(const std::string& entry) {
  const std::string key = " files ";
  const auto at = entry.find(key);
  if (at == std::string::npos) return 0;
  return std::stoull(entry.substr(at + key.size()));
}

}  // namespace

void node_stats_t::mark() {
  std::ifstream in(path_, std::ios::binary | std::ios::ate);
  mark_ = in ? static_cast<std::uint64_t>(in.tellg()) : 0;
}

node_jobs_t node_stats_t::since_mark() const {
  node_jobs_t jobs;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return jobs;
  in.seekg(static_cast<std::streamoff>(mark_));
  std::string line;
  while (std::getline(in, line)) {
    // A line still being written is left for the next reading.
    if (in.eof()) break;
    const auto at = line.find(kStatistics);
    if (at == std::string::npos) continue;
    add_statistics_line(line.substr(at + kStatistics.size()), jobs);
  }
  return jobs;
}

void add_statistics_line(const std::string& text, node_jobs_t& jobs) {
  // "client <application>:<pid> files N (...) ...; to peer <endpoint> files N ...;
  //  from peer <endpoint> files N ..." or "idle".
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto end = text.find("; ", begin);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(begin, end - begin);
    if (entry.compare(0, 7, "client ") == 0) {
      jobs.client_files += entry_files(entry);
    } else if (entry.compare(0, 8, "to peer ") == 0) {
      jobs.to_peer_files += entry_files(entry);
    } else if (entry.compare(0, 10, "from peer ") == 0) {
      jobs.from_peer_files += entry_files(entry);
    }
    begin = end + 2;
  }
}
