#include "bench/loadgen/soak.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "bench/loadgen/bench_client.h"
#include "bench/loadgen/heap_probe.h"
#include "bench/loadgen/node_stats.h"
#include "bench/loadgen/process_probe.h"
#include "bench/loadgen/runner.h"
#include "bench/loadgen/soak_client.h"

namespace {

using soak_clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1024 * 1024;

// What the generator and /proc say at one moment of the run.
struct sample_t {
  double t = 0;
  std::uint64_t files = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t large_files = 0;
  std::uint64_t read_back_files = 0;
  std::int64_t open_jobs = 0;
  std::int64_t connections_open = 0;
  std::vector<std::uint64_t> latency;
  double cpu_seconds = -1;
  std::int64_t rss_kib = -1;
  std::int64_t anon_kib = -1;
  // The high-water mark since the sample before.
  std::int64_t peak_kib = -1;
  // The lowest and highest resident set and descriptor count of the window before
  // this sample, from this sample and the quick ones taken each second within it
  // (the heap in use: every tenth of a second).
  std::int64_t rss_low_kib = -1, rss_high_kib = -1;
  std::int64_t anon_low_kib = -1;
  int descriptors_low = -1, descriptors_high = -1;
  // The daemon's heap (bench-heapstat): bytes in use and held, and the lowest in
  // use of the window; -1 when not read.
  std::int64_t heap_in_use = -1, heap_held = -1, heap_low = -1;
  descriptor_count_t descriptors;
  // Files in the spool directory; -1 when not counted.
  int spool_files = -1;
};

// Regular files in `directory`; -1 when it is not given or cannot be read.
int count_files(const std::string& directory) {
  if (directory.empty()) return -1;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  ::closedir(dir);
  return count;
}

// The process at the other end of a connection to `socket_path`, which is closed
// again at once.
int peer_pid_of(const std::string& socket_path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) {
    ::close(fd);
    throw std::runtime_error("socket path too long: " + socket_path);
  }
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const std::string error = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error("connect " + socket_path + ": " + error);
  }
  const int pid = socket_peer_pid(fd);
  ::close(fd);
  if (pid <= 0) throw std::runtime_error("SO_PEERCRED failed");
  return pid;
}

sample_t take_sample(const process_probe_t& probe, heap_probe_t& heap,
                     const soak_counters_t& counters, const std::string& spool_dir,
                     soak_clock::time_point begin) {
  sample_t sample;
  sample.t = std::chrono::duration<double>(soak_clock::now() - begin).count();
  sample.files = counters.files.load(std::memory_order_relaxed);
  sample.file_bytes = counters.file_bytes.load(std::memory_order_relaxed);
  sample.large_files = counters.large_files.load(std::memory_order_relaxed);
  sample.read_back_files = counters.read_back_files.load(std::memory_order_relaxed);
  sample.open_jobs = counters.open_jobs.load(std::memory_order_relaxed);
  sample.connections_open = counters.connections_open.load(std::memory_order_relaxed);
  for (const auto& count : counters.small_latency.counts) {
    sample.latency.push_back(count.load(std::memory_order_relaxed));
  }
  sample.cpu_seconds = probe.cpu_seconds();
  sample.rss_kib = probe.rss_kib();
  sample.anon_kib = probe.anon_rss_kib();
  sample.peak_kib = probe.peak_rss_kib();
  probe.reset_peak();
  sample.descriptors = probe.count_descriptors(spool_dir);
  sample.spool_files = count_files(spool_dir);
  if (const auto figures = heap.read()) {
    sample.heap_in_use = static_cast<std::int64_t>(figures->in_use);
    sample.heap_held = static_cast<std::int64_t>(figures->held);
  }
  return sample;
}

// Widens the window's low and high marks in `into` by a resident set, its
// anonymous part, a descriptor count and the heap in use (negative: unknown).
void widen(sample_t& into, std::int64_t rss_kib, std::int64_t anon_kib, int descriptors,
           std::int64_t heap_in_use) {
  auto lower = [](std::int64_t& mark, std::int64_t value) {
    if (value >= 0) mark = mark < 0 ? value : std::min(mark, value);
  };
  lower(into.rss_low_kib, rss_kib);
  lower(into.anon_low_kib, anon_kib);
  lower(into.heap_low, heap_in_use);
  into.rss_high_kib = std::max(into.rss_high_kib, rss_kib);
  if (descriptors >= 0) {
    into.descriptors_low =
        into.descriptors_low < 0 ? descriptors : std::min(into.descriptors_low, descriptors);
    into.descriptors_high = std::max(into.descriptors_high, descriptors);
  }
}

// The latency below which `fraction` of the window's 4 KiB files stayed, in µs; 0
// without any file.
double window_latency(const sample_t& from, const sample_t& to, double fraction) {
  std::vector<std::uint64_t> counts(to.latency.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    counts[i] = to.latency[i] - (i < from.latency.size() ? from.latency[i] : 0);
    total += counts[i];
  }
  if (total == 0) return 0;
  const auto wanted = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(total)));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    seen += counts[i];
    if (seen >= wanted) return latency_histogram_t::upper_us(static_cast<int>(i));
  }
  return latency_histogram_t::upper_us(static_cast<int>(counts.size()) - 1);
}

std::string mib_text(std::int64_t kib) {
  return kib < 0 ? "?" : format("%.1f MiB", static_cast<double>(kib) / 1024);
}

std::string mib_figure(std::int64_t kib) {
  return kib < 0 ? "?" : format("%.1f", static_cast<double>(kib) / 1024);
}

std::string heap_figure(std::int64_t bytes) {
  return bytes < 0 ? "?" : format("%.1f", static_cast<double>(bytes) / 1048576);
}

std::string spool_text(int files) { return files < 0 ? "?" : std::to_string(files); }

// One row of the table: the window from `from` to `to` (or, without `from`, the
// moment `to` alone, named `label`).
std::string row_text(const sample_t* from, const sample_t& to, const std::string& label) {
  std::ostringstream row;
  row << "| " << label << " | ";
  const bool window = from != nullptr && to.t > from->t;
  if (window) {
    const double span = to.t - from->t;
    row << format("%.0f", static_cast<double>(to.files - from->files) / span) << " | "
        << format("%.0f", static_cast<double>(to.file_bytes - from->file_bytes) / span / 1e6)
        << " | " << (to.large_files - from->large_files) << " | ";
    const double p50 = window_latency(*from, to, 0.5);
    const double p99 = window_latency(*from, to, 0.99);
    row << (p50 > 0 ? latency_text(p50) + " / " + latency_text(p99) : "–") << " | ";
    row << (to.cpu_seconds >= 0 && from->cpu_seconds >= 0
                ? format("%.0f%%", (to.cpu_seconds - from->cpu_seconds) / span * 100)
                : "?")
        << " | ";
  } else {
    row << "– | – | – | – | – | ";
  }
  row << mib_figure(to.rss_kib);
  if (window) {
    row << " (" << mib_figure(to.rss_low_kib) << "–" << mib_figure(to.rss_high_kib) << ", "
        << mib_figure(to.peak_kib) << ")";
  }
  row << " | " << mib_figure(to.anon_kib);
  if (window) row << " (" << mib_figure(to.anon_low_kib) << ")";
  row << " | " << heap_figure(to.heap_in_use);
  if (window) row << " (" << heap_figure(to.heap_low) << ")";
  row << " / " << heap_figure(to.heap_held) << " | ";
  const descriptor_count_t& d = to.descriptors;
  if (d.total < 0) {
    row << "? | ?";
  } else {
    row << d.total;
    if (window) row << " (" << to.descriptors_low << "–" << to.descriptors_high << ")";
    row << " | " << d.in_directory << " / " << d.sockets << " / " << d.other;
  }
  row << " | " << to.open_jobs << " | " << spool_text(to.spool_files) << " |";
  return row.str();
}

// How much one series moved over the samples of the flatness check.
struct spread_t {
  double min = 0, max = 0, median = 0, first = 0, last = 0;
  // The least-squares line's rise from the first sample of the check to its last:
  // growth shows here even when single samples scatter.
  double change = 0;
  double spread_percent() const { return median > 0 ? (max - min) / median * 100 : 0; }
  double change_percent() const { return median > 0 ? change / median * 100 : 0; }
};

spread_t spread_of(const std::vector<double>& t, const std::vector<double>& values) {
  spread_t s;
  if (values.empty()) return s;
  s.min = *std::min_element(values.begin(), values.end());
  s.max = *std::max_element(values.begin(), values.end());
  s.median = median(values);
  s.first = values.front();
  s.last = values.back();
  if (values.size() >= 2) {
    double mean_t = 0, mean_v = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      mean_t += t[i];
      mean_v += values[i];
    }
    mean_t /= static_cast<double>(values.size());
    mean_v /= static_cast<double>(values.size());
    double num = 0, den = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      num += (t[i] - mean_t) * (values[i] - mean_v);
      den += (t[i] - mean_t) * (t[i] - mean_t);
    }
    if (den > 0) s.change = num / den * (t.back() - t.front());
  }
  return s;
}

std::string spread_line(const char* name, const spread_t& s, const char* unit, const char* form) {
  std::ostringstream line;
  line << name << ": " << format(form, s.min) << " to " << format(form, s.max) << unit
       << " (spread " << format("%.1f", s.spread_percent()) << "% of the median "
       << format(form, s.median) << "), first " << format(form, s.first) << ", last "
       << format(form, s.last) << ", fitted change " << format("%+.2f", s.change) << unit << " ("
       << format("%+.1f", s.change_percent()) << "%)";
  return line.str();
}

}  // namespace

int run_soak(const soak_settings_t& settings) {
  // The files: 4 KiB, and four large sizes from 1 to 64 MiB (one with a short last
  // chunk).
  soak_plan_t plan;
  plan.socket_path = settings.socket_path;
  plan.large_share = settings.large_share;
  plan.reconnect_after = settings.reconnect_after;
  for (const std::uint64_t size :
       {std::uint64_t{4096}, 1 * kMiB, 5 * kMiB + 4321, 16 * kMiB, 64 * kMiB}) {
    plan.images.push_back(make_soak_image(size, settings.chunk));
  }

  int pid = settings.pid;
  try {
    if (pid <= 0) {
      pid = peer_pid_of(settings.socket_path);
      // The daemon closes its end of that connection.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  } catch (const std::exception& e) {
    std::cerr << "bench-loadgen: " << e.what() << std::endl;
    return 1;
  }
  const process_probe_t probe(pid);
  heap_probe_t heap(settings.heapstat_path);
  node_stats_t stats(settings.stats_path);
  if (!settings.stats_path.empty()) stats.mark();

  const unsigned connections = settings.connections;
  const unsigned flowless = std::min(settings.flowless, connections);
  std::cout << "Soak: " << format("%.0f", settings.seconds) << " s, " << connections
            << " connections (" << flowless << " without flow control, " << settings.depth
            << " files open each), a new connection every " << settings.reconnect_after
            << " files" << (settings.reconnect_after ? "" : " (never)") << "; files: "
            << format("%.1f", (1 - settings.large_share) * 100) << "% 4 KiB, "
            << format("%.1f", settings.large_share * 100)
            << "% large (1 MiB, 5 MiB, 16 MiB, 64 MiB evenly); read back: "
            << format("%.0f", plan.small_read_back_share * 100) << "% of 4 KiB, "
            << format("%.0f", plan.large_read_back_share * 100) << "% of large; digests: "
            << format("%.0f", plan.sha1_share * 100) << "% SHA-1, "
            << format("%.0f", plan.sha256_share * 100) << "% SHA-256, "
            << format("%.0f", plan.both_share * 100) << "% both.\n"
            << "Daemon pid " << pid << ", open files limit " << probe.open_files_limit()
            << "; a sample every " << format("%g", settings.sample) << " s.\n";

  // Before the load: what the daemon holds idle.
  soak_counters_t counters;
  const sample_t before = take_sample(probe, heap, counters, settings.spool_dir, soak_clock::now());

  std::vector<soak_slot_t> slots(connections);
  for (unsigned i = 0; i < connections; ++i) {
    soak_slot_t& slot = slots[i];
    slot.index = i;
    // Spread evenly: the connections where the count of flowless ones steps up.
    slot.flow_control = (i + 1) * flowless / connections == i * flowless / connections;
    slot.depth = slot.flow_control ? 1 : std::max(1u, settings.depth);
    slot.random.seed(settings.seed * 1000003 + i);
  }

  const unsigned thread_count = std::max(1u, std::min(connections, 4u));
  std::vector<std::unique_ptr<boost::asio::io_context>> loops;
  for (unsigned i = 0; i < thread_count; ++i) {
    loops.push_back(std::make_unique<boost::asio::io_context>(1));
  }
  const auto begin = soak_clock::now();
  const auto duration = std::chrono::duration_cast<soak_clock::duration>(
      std::chrono::duration<double>(settings.seconds));
  plan.deadline = begin + duration;
  try {
    for (unsigned i = 0; i < connections; ++i) {
      soak_client_t::connect(*loops[i % thread_count], plan, slots[i], counters);
    }
  } catch (const std::exception& e) {
    std::cerr << "bench-loadgen: connect: " << e.what() << std::endl;
    return 1;
  }
  // Each loop runs until its connections have all closed (or it is stopped).
  std::vector<std::thread> threads;
  for (auto& loop : loops) threads.emplace_back([&loop] { loop->run(); });

  // Samples on the interval until the end, with a quick look at the resident set and
  // the descriptor count each second between them; then waits for the last files.
  std::vector<sample_t> samples;
  samples.push_back(take_sample(probe, heap, counters, settings.spool_dir, begin));
  const auto interval = std::chrono::duration_cast<soak_clock::duration>(
      std::chrono::duration<double>(settings.sample));
  const auto quick_interval =
      std::min<soak_clock::duration>(interval, std::chrono::seconds(1));
  auto next = begin + interval;
  auto next_quick = begin + quick_interval;
  sample_t marks;
  std::cerr << "bench-loadgen: soak " << row_text(nullptr, samples.back(), "0") << std::endl;
  while (counters.faults.load() == 0) {
    const auto due = std::min(next, plan.deadline);
    while (soak_clock::now() < due && counters.faults.load() == 0) {
      std::this_thread::sleep_for(std::min<soak_clock::duration>(
          due - soak_clock::now(), std::chrono::milliseconds(100)));
      // The heap page costs no system call: read at every turn (it changes ten
      // times a second), so the window's lowest heap in use finds the moments with
      // the least data in flight.
      const auto figures = heap.read();
      const std::int64_t in_use = figures ? static_cast<std::int64_t>(figures->in_use) : -1;
      widen(marks, -1, -1, -1, in_use);
      if (soak_clock::now() >= next_quick && soak_clock::now() < due) {
        widen(marks, probe.rss_kib(), probe.anon_rss_kib(),
              probe.count_descriptors(settings.spool_dir).total, -1);
        next_quick += quick_interval;
      }
    }
    if (counters.faults.load() != 0) break;
    sample_t sample = take_sample(probe, heap, counters, settings.spool_dir, begin);
    sample.rss_low_kib = marks.rss_low_kib;
    sample.rss_high_kib = marks.rss_high_kib;
    sample.anon_low_kib = marks.anon_low_kib;
    sample.heap_low = marks.heap_low;
    sample.descriptors_low = marks.descriptors_low;
    sample.descriptors_high = marks.descriptors_high;
    widen(sample, sample.rss_kib, sample.anon_kib, sample.descriptors.total, sample.heap_in_use);
    marks = sample_t();
    samples.push_back(sample);
    std::cerr << "bench-loadgen: soak "
              << row_text(&samples[samples.size() - 2], samples.back(),
                          format("%.0f", samples.back().t))
              << std::endl;
    if (due >= plan.deadline) break;
    next += interval;
    next_quick = std::max(next_quick, soak_clock::now());
  }

  const auto give_up =
      plan.deadline + std::chrono::duration_cast<soak_clock::duration>(
                          std::chrono::duration<double>(settings.stuck_after));
  while (counters.slots_ended.load() < connections && counters.faults.load() == 0 &&
         soak_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double drained_at = std::chrono::duration<double>(soak_clock::now() - begin).count();
  const bool stuck = counters.slots_ended.load() < connections && counters.faults.load() == 0;
  const std::int64_t unanswered = counters.open_jobs.load();
  const std::int64_t still_open = counters.connections_open.load();
  // On a fault or when stuck, the other connections are cut short.
  if (counters.faults.load() != 0 || stuck) {
    for (auto& loop : loops) loop->stop();
  }
  for (auto& thread : threads) thread.join();
  loops.clear();

  std::vector<std::string> faults;
  for (const soak_slot_t& slot : slots) {
    if (!slot.error.empty()) {
      faults.push_back(slot.error + (slot.left_open ? " (" + std::to_string(slot.left_open) +
                                                          " job(s) open)"
                                                    : ""));
    }
  }
  if (stuck) {
    faults.push_back("stuck: " + std::to_string(unanswered) + " job(s) on " +
                     std::to_string(still_open) + " connection(s) still unanswered " +
                     format("%g", settings.stuck_after) + " s after the end");
  } else if (faults.empty() && unanswered != 0) {
    faults.push_back(std::to_string(unanswered) + " job(s) left open at the end");
  }

  // After the load: the daemon closes the connections and removes the last files.
  // Its descriptors must come back to their count before the run and its spool
  // directory must empty; a few seconds are given.
  sample_t after;
  const auto settle_until = soak_clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    after = take_sample(probe, heap, counters, settings.spool_dir, begin);
    const bool back = after.descriptors.total == before.descriptors.total &&
                      after.spool_files <= 0;
    if (back || soak_clock::now() >= settle_until) break;
  }
  // Statistics come once a second; wait for the one holding the last files.
  if (!settings.stats_path.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  std::ostringstream table;
  table << "| t (s) | files/s | MB/s | files ≥ 1 MiB | 4 KiB latency median / p99 | daemon CPU "
           "| RSS MiB (window low–high, peak) | anonymous MiB (window low) | heap in use MiB "
           "(window low) / held | descriptors (window low–high) | of them spool files / sockets / "
           "other | jobs open | files in spool |\n"
        << "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  table << row_text(nullptr, before, "before") << "\n";
  for (std::size_t i = 0; i < samples.size(); ++i) {
    table << row_text(i ? &samples[i - 1] : nullptr, samples[i], format("%.0f", samples[i].t))
          << "\n";
  }
  table << row_text(nullptr, after, "after") << "\n";

  const sample_t& last = samples.back();
  const double span = last.t > 0 ? last.t : 1;
  std::cout << "\n" << table.str() << "\n";
  std::cout << "Files: " << after.files << " (" << format("%.0f", last.files / span)
            << " files/s over the run, " << (after.files - last.files)
            << " finished after its end, all answered "
            << format("%.1f", drained_at - settings.seconds) << " s after it), "
            << format("%.1f", static_cast<double>(after.file_bytes) / 1e9) << " GB; "
            << after.large_files << " of 1 MiB or more; " << after.read_back_files << " read back ("
            << format("%.1f", static_cast<double>(counters.read_back_bytes.load()) / 1e9)
            << " GB); " << counters.digest_checks.load() << " with digests checked; "
            << counters.flowless_files.load() << " on connections without flow control; "
            << counters.jobs_opened.load() << " jobs opened; " << counters.connections_opened.load()
            << " connections opened.\n";

  // Flatness: the samples from the settling time to the end of the load.
  std::vector<double> t, rss, rss_floor, anon_floor, heap_floor, descriptors, fixed;
  bool heap_known = true;
  for (const sample_t& sample : samples) {
    // The sample at the end of the load meets the connections closing.
    if (sample.t + 1e-6 < settings.settle || sample.t >= settings.seconds) continue;
    if (sample.rss_kib < 0 || sample.rss_low_kib < 0 || sample.anon_low_kib < 0 ||
        sample.descriptors.total < 0) {
      continue;
    }
    t.push_back(sample.t);
    rss.push_back(static_cast<double>(sample.rss_kib) / 1024);
    rss_floor.push_back(static_cast<double>(sample.rss_low_kib) / 1024);
    anon_floor.push_back(static_cast<double>(sample.anon_low_kib) / 1024);
    heap_known = heap_known && sample.heap_low >= 0;
    heap_floor.push_back(static_cast<double>(sample.heap_low) / 1048576);
    descriptors.push_back(sample.descriptors.total);
    fixed.push_back(sample.descriptors.total - sample.descriptors.in_directory);
  }
  bool flat = true;
  if (t.size() < 2) {
    std::cout << "Too few samples after " << format("%g", settings.settle)
              << " s to judge flatness.\n";
  } else {
    const spread_t rss_spread = spread_of(t, rss);
    const spread_t floor_spread = spread_of(t, rss_floor);
    const spread_t descriptor_spread = spread_of(t, descriptors);
    const spread_t fixed_spread = spread_of(t, fixed);
    std::cout << "From " << format("%g", settings.settle) << " s to the last sample before the end ("
              << t.size() << " samples, " << format("%.0f", t.back() - t.front()) << " s):\n- "
              << spread_line("resident memory at the samples", rss_spread, " MiB", "%.1f")
              << "\n- "
              << spread_line("resident memory, lowest of each window", floor_spread, " MiB",
                             "%.1f")
              << "\n- "
              << spread_line("anonymous resident memory, lowest of each window",
                             spread_of(t, anon_floor), " MiB", "%.1f")
              << "\n- ";
    const spread_t heap_spread = spread_of(t, heap_floor);
    if (heap_known) {
      std::cout << spread_line("heap in use, lowest of each window", heap_spread, " MiB", "%.2f")
                << "\n- ";
    }
    std::cout << spread_line("descriptors at the samples", descriptor_spread, "", "%.0f")
              << "\n- "
              << spread_line("descriptors other than spool files", fixed_spread, "", "%.0f")
              << "\n";
    const double tolerance = settings.tolerance;
    // Growth: what the daemon holds between the data in flight must not rise: the
    // lowest heap in use of each window when the heap is read, otherwise the lowest
    // resident set (which also holds free heap the allocator keeps). The
    // descriptors that belong to no job must hold still; those of the jobs in
    // flight come and go with them (a spool descriptor that outlives its job shows
    // after the run, below).
    // A rise must also pass 1 MiB: in a short run the lowest point of a window
    // still moves by more than a few percent with the data in flight, while a leak
    // that stays smaller is caught exactly by the heap at rest after the run.
    auto rises = [tolerance](const spread_t& series) {
      return series.change_percent() > tolerance && series.change > 1.0;
    };
    const bool rss_rises = rises(floor_spread);
    const bool memory_grows = heap_known ? rises(heap_spread) : rss_rises;
    const bool descriptors_grow = fixed_spread.spread_percent() > tolerance;
    std::cout << "Growth beyond " << format("%g", tolerance) << "% (and, for memory, 1 MiB): "
              << (heap_known ? "heap in use " : "resident memory ")
              << (memory_grows ? "GROWS" : "none");
    if (heap_known) {
      std::cout << " (the lowest resident memory " << (rss_rises ? "rises" : "does not rise")
                << ")";
    }
    std::cout << ", descriptors "
              << (descriptors_grow ? "GROW" : "none") << ". Sample to sample within "
              << format("%g", tolerance) << "%: resident memory "
              << (rss_spread.spread_percent() <= tolerance ? "yes" : "no") << ", descriptors "
              << (descriptor_spread.spread_percent() <= tolerance ? "yes" : "no")
              << " (they move with the jobs and data in flight).\n";
    flat = !memory_grows && !descriptors_grow;
  }

  if (before.heap_in_use >= 0 && after.heap_in_use >= 0) {
    const double grown = static_cast<double>(after.heap_in_use - before.heap_in_use) /
                         static_cast<double>(std::max<std::int64_t>(1, before.heap_in_use)) * 100;
    std::cout << "Heap with the daemon idle: in use " << format("%.0f KiB", after.heap_in_use / 1024.0)
              << " of " << heap_figure(after.heap_held) << " MiB held after the run, "
              << format("%.0f KiB", before.heap_in_use / 1024.0) << " of "
              << heap_figure(before.heap_held) << " MiB before it ("
              << format("%+.1f%%", grown) << " in use).\n";
    if (grown > settings.tolerance) flat = false;
  }
  std::cout << "After the run: " << after.descriptors.total << " descriptors (before: "
            << before.descriptors.total << "), " << spool_text(after.spool_files)
            << " file(s) in the spool directory, resident memory " << mib_text(after.rss_kib)
            << ", of it anonymous " << mib_text(after.anon_kib) << " (before: "
            << mib_text(before.rss_kib) << ", anonymous " << mib_text(before.anon_kib) << ").\n";
  if (after.descriptors.total != before.descriptors.total) {
    faults.push_back("the daemon holds " + std::to_string(after.descriptors.total) +
                     " descriptors after the run, " + std::to_string(before.descriptors.total) +
                     " before it");
  }
  if (after.spool_files > 0) {
    faults.push_back(std::to_string(after.spool_files) +
                     " file(s) left in the spool directory after the run");
  }
  if (!settings.stats_path.empty()) {
    const node_jobs_t jobs = stats.since_mark();
    std::cout << "The daemon's statistics count " << jobs.client_files
              << " files answered; the generator counted " << after.files << ".\n";
    if (jobs.client_files != after.files) {
      faults.push_back("the daemon's statistics count " + std::to_string(jobs.client_files) +
                       " files, the generator " + std::to_string(after.files));
    }
  }

  if (!settings.raw_path.empty()) {
    std::ofstream raw(settings.raw_path, std::ios::app);
    auto put = [&raw](const std::string& label, const sample_t& s) {
      raw << label << '\t' << s.t << '\t' << s.files << '\t' << s.file_bytes << '\t'
          << s.large_files << '\t' << s.read_back_files << '\t' << s.open_jobs << '\t'
          << s.connections_open << '\t' << s.cpu_seconds << '\t' << s.rss_kib << '\t'
          << s.anon_kib << '\t' << s.rss_low_kib << '\t' << s.rss_high_kib << '\t'
          << s.anon_low_kib << '\t' << s.peak_kib << '\t' << s.heap_in_use << '\t'
          << s.heap_held << '\t' << s.heap_low << '\t' << s.descriptors.total << '\t' << s.descriptors.in_directory
          << '\t' << s.descriptors.sockets << '\t' << s.descriptors.other << '\t'
          << s.spool_files << '\n';
    };
    put("before", before);
    for (const sample_t& sample : samples) put("sample", sample);
    put("after", after);
  }

  for (const std::string& fault : faults) std::cout << "FAULT: " << fault << "\n";
  std::cout << std::flush;
  if (!faults.empty()) return 1;
  return flat ? 0 : 3;
}
