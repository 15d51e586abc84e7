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

namespace {

// The figure of one "Name:   value kB" line of /proc/<pid>/status; -1 without it.
std::int64_t status_kib(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        line[name.size()] == ':') {
      return std::stoll(line.substr(name.size() + 1));
    }
  }
  return -1;
}

}  // namespace

std::int64_t process_probe_t::peak_rss_kib() const { return status_kib(pid_, "VmHWM"); }

std::int64_t process_probe_t::rss_kib() const { return status_kib(pid_, "VmRSS"); }

std::int64_t process_probe_t::anon_rss_kib() const { return status_kib(pid_, "RssAnon"); }

descriptor_count_t process_probe_t::count_descriptors(const std::string& directory) const {
  descriptor_count_t count;
  const std::string fd_dir = "/proc/" + std::to_string(pid_) + "/fd";
  DIR* dir = ::opendir(fd_dir.c_str());
  if (dir == nullptr) return count;
  count.total = 0;
  const std::string prefix = directory.empty() || directory.back() == '/' ? directory
                                                                          : directory + "/";
  char target[4096];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = fd_dir + "/" + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    // Closed since the listing: no longer open.
    if (length <= 0) continue;
    ++count.total;
    const std::string name(target, static_cast<std::size_t>(length));
    if (!prefix.empty() && name.compare(0, prefix.size(), prefix) == 0) {
      ++count.in_directory;
    } else if (name.compare(0, 8, "socket:[") == 0) {
      ++count.sockets;
    } else {
      ++count.other;
    }
  }
  ::closedir(dir);
  return count;
}

std::string process_probe_t::open_files_limit() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/limits");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 14, "Max open files") != 0) continue;
    std::istringstream fields(line.substr(14));
    std::string soft, hard;
    if (fields >> soft >> hard) return soft + " (hard " + hard + ")";
  }
  return "";
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
