#include "bench/loadgen/process_probe.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// User and system time of process `pid` so far, in clock ticks; false when /proc
// cannot tell.
bool read_times(int pid, unsigned long long& user, unsigned long long& system) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // The command name in parentheses may hold blanks; the fields after it do not.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(line.substr(close + 2));
  // Fields 3 to 13 precede utime (14) and stime (15).
  std::string skip;
  for (int field = 3; field <= 13; ++field) fields >> skip;
  return static_cast<bool>(fields >> user >> system);
}

}  // namespace

double process_probe_t::cpu_seconds() const {
  unsigned long long user = 0, system = 0;
  if (!read_times(pid_, user, system)) return -1;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double process_probe_t::system_seconds() const {
  unsigned long long user = 0, system = 0;
  if (!read_times(pid_, user, system)) return -1;
  return static_cast<double>(system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::int64_t process_probe_t::peak_rss_kib() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

std::int64_t process_probe_t::context_switches() const {
  const std::string task_dir = "/proc/" + std::to_string(pid_) + "/task";
  DIR* dir = ::opendir(task_dir.c_str());
  if (dir == nullptr) return -1;
  std::int64_t total = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(task_dir + "/" + entry->d_name + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        total += std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  ::closedir(dir);
  return total;
}

bool process_probe_t::reset_peak() const {
  std::ofstream out("/proc/" + std::to_string(pid_) + "/clear_refs");
  out << "5" << std::flush;
  return static_cast<bool>(out);
}
