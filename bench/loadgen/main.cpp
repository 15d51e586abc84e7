// bench-loadgen: drives one or two servers of the client protocol with the
// benchmark workloads and prints each figure as the median of several runs, the
// second server's figure (the baseline) beside the first's with their ratio.
//
//   bench-loadgen --target NAME=SOCKET [--target NAME=SOCKET] [--runs N]
//                 [--seconds S] [--warmup S] [--only small|large|LIST] [--chunk BYTES]
//                 [--raw FILE]
//
// The runs of the targets alternate, so a disturbance of the machine touches both.
// Exit status 0, 1 when a run failed (a wrong answer, an ALARM, a lost connection),
// 2 for a bad command line.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/program_options.hpp>

#include "bench/loadgen/load_client.h"
#include "bench/loadgen/process_probe.h"
#include "bench/loadgen/workload.h"

namespace po = boost::program_options;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct target_t {
  std::string name;
  std::string socket_path;
};

// What one run of one workload against one target measured.
struct run_figures_t {
  double seconds = 0;
  std::uint64_t files = 0;
  double files_per_second = 0;
  double megabytes_per_second = 0;
  double latency_median_us = 0;
  double latency_p99_us = 0;
  double cpu_seconds = -1;
  double peak_rss_mib = -1;
  // Of all the server's threads, during the run.
  double context_switches = -1;
  // The generator's own CPU time, to show it is not what limits the run.
  double generator_cpu_seconds = 0;
};

double own_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(fraction * values.size())) - 1;
  return values[std::min(index, values.size() - 1)];
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs `workload` once against `target`; throws std::runtime_error on a fault.
run_figures_t run_once(const target_t& target, const workload_t& workload) {
  const unsigned thread_count = std::min(workload.connections, 4u);
  std::vector<std::unique_ptr<boost::asio::io_context>> loops;
  for (unsigned i = 0; i < thread_count; ++i) {
    loops.push_back(std::make_unique<boost::asio::io_context>(1));
  }
  std::vector<connection_result_t> results(workload.connections);
  std::vector<std::shared_ptr<load_client_t>> clients;
  for (unsigned i = 0; i < workload.connections; ++i) {
    clients.push_back(
        load_client_t::connect(*loops[i % thread_count], target.socket_path, workload, results[i]));
  }
  const process_probe_t probe(clients.front()->peer_pid());
  probe.reset_peak();
  const double cpu_before = probe.cpu_seconds();
  const std::int64_t switches_before = probe.context_switches();

  const double generator_before = own_cpu_seconds();
  const auto begin = bench_clock::now();
  for (const auto& client : clients) client->start(begin + workload.duration);
  clients.clear();
  std::vector<std::thread> threads;
  for (auto& loop : loops) threads.emplace_back([&loop] { loop->run(); });
  for (auto& thread : threads) thread.join();

  run_figures_t figures;
  figures.generator_cpu_seconds = own_cpu_seconds() - generator_before;
  std::vector<double> latencies;
  bench_clock::time_point end = begin;
  for (const connection_result_t& result : results) {
    if (!result.error.empty()) throw std::runtime_error(target.name + ": " + result.error);
    figures.files += result.files;
    end = std::max(end, result.end);
    latencies.insert(latencies.end(), result.latencies_us.begin(), result.latencies_us.end());
  }
  // The server finishes its side of the last RESET (a file removal) after the
  // client has gone; its CPU time includes that.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu_after = probe.cpu_seconds();
  if (cpu_before >= 0 && cpu_after >= 0) figures.cpu_seconds = cpu_after - cpu_before;
  const std::int64_t switches_after = probe.context_switches();
  if (switches_before >= 0 && switches_after >= 0) {
    figures.context_switches = static_cast<double>(switches_after - switches_before);
  }
  const std::int64_t peak = probe.peak_rss_kib();
  if (peak >= 0) figures.peak_rss_mib = static_cast<double>(peak) / 1024;

  figures.seconds = std::chrono::duration<double>(end - begin).count();
  if (figures.files == 0 || figures.seconds <= 0) {
    throw std::runtime_error(target.name + ": no file was scanned");
  }
  figures.files_per_second = static_cast<double>(figures.files) / figures.seconds;
  figures.megabytes_per_second =
      static_cast<double>(figures.files * workload.file->size) / figures.seconds / 1e6;
  figures.latency_median_us = percentile(latencies, 0.5);
  figures.latency_p99_us = percentile(latencies, 0.99);
  return figures;
}

// The medians of every figure over the runs.
run_figures_t median_figures(const std::vector<run_figures_t>& runs) {
  auto pick = [&runs](double run_figures_t::*field) {
    std::vector<double> values;
    for (const run_figures_t& run : runs) values.push_back(run.*field);
    return median(values);
  };
  run_figures_t result;
  result.seconds = pick(&run_figures_t::seconds);
  result.files_per_second = pick(&run_figures_t::files_per_second);
  result.megabytes_per_second = pick(&run_figures_t::megabytes_per_second);
  result.latency_median_us = pick(&run_figures_t::latency_median_us);
  result.latency_p99_us = pick(&run_figures_t::latency_p99_us);
  result.cpu_seconds = pick(&run_figures_t::cpu_seconds);
  result.peak_rss_mib = pick(&run_figures_t::peak_rss_mib);
  std::vector<double> files;
  for (const run_figures_t& run : runs) files.push_back(static_cast<double>(run.files));
  result.files = static_cast<std::uint64_t>(median(files));
  return result;
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string latency_text(double us) {
  return us >= 1000 ? format("%.2f ms", us / 1000) : format("%.0f µs", us);
}

// CPU time of a run, with its cost per file (µs for small files, ms for large).
std::string cpu_text(const run_figures_t& figures, bool small) {
  if (figures.cpu_seconds < 0) return "?";
  const double per_file =
      figures.cpu_seconds / std::max(1.0, figures.files_per_second * figures.seconds);
  return format("%.2f s", figures.cpu_seconds) + (small
                                                      ? format(" (%.0f µs/file)", per_file * 1e6)
                                                      : format(" (%.0f ms/file)", per_file * 1e3));
}

std::string rss_text(const run_figures_t& figures) {
  return figures.peak_rss_mib < 0 ? "?" : format("%.1f MiB", figures.peak_rss_mib);
}

struct scenario_t {
  workload_t workload;
  bool small = false;
  std::string mode;
};

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> target_texts;
  unsigned runs = 5;
  double seconds = 2;
  double warmup = 0.2;
  std::string only;
  std::uint32_t chunk = 65536;
  std::string raw_path;
  po::options_description description("bench-loadgen: client-protocol load generator");
  description.add_options()("help", "show this text")(
      "target", po::value(&target_texts)->required(),
      "NAME=SOCKET: a server to drive; the second one given is the baseline")(
      "runs", po::value(&runs)->default_value(runs), "runs of each workload; figures are medians")(
      "seconds", po::value(&seconds)->default_value(seconds),
      "length of one run (files begun before it ends are finished)")(
      "warmup", po::value(&warmup)->default_value(warmup),
      "length of the uncounted first run of each workload and target (0: none)")(
      "only", po::value(&only), "small, large, or comma-separated workload name prefixes")(
      "chunk", po::value(&chunk)->default_value(chunk), "data bytes per DATA_CHUNK sent")(
      "raw", po::value(&raw_path),
      "append every run's figures to this file (tab-separated: workload, target, run, "
      "seconds, files, files/s, MB/s, latency median and p99 in µs, CPU s, peak RSS MiB, "
      "context switches, the generator's own CPU s)");
  std::vector<target_t> targets;
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description;
      return 0;
    }
    po::notify(values);
    for (const std::string& text : target_texts) {
      const auto equals = text.find('=');
      if (equals == std::string::npos || equals == 0) throw po::error("bad --target " + text);
      targets.push_back({text.substr(0, equals), text.substr(equals + 1)});
    }
    if (targets.size() > 2) throw po::error("at most two targets");
    if (runs == 0 || chunk == 0 || chunk > 32 * kMiB || seconds <= 0 || warmup < 0) {
      throw po::error("runs, chunk and seconds must be positive (chunk at most 32 MiB)");
    }
  } catch (const po::error& e) {
    std::cerr << "bench-loadgen: " << e.what() << "\n" << description;
    return 2;
  }

  std::ofstream raw;
  if (!raw_path.empty()) raw.open(raw_path, std::ios::app);
  const std::vector<scenario_t> scenarios = make_scenarios(only, chunk, seconds);
  if (scenarios.empty()) {
    std::cerr << "bench-loadgen: no workload matches --only " << only << std::endl;
    return 2;
  }

  const bool pair = targets.size() == 2;
  const std::string& a = targets[0].name;
  const std::string b = pair ? targets[1].name : "";
  std::ostringstream small_table, large_table;
  small_table << "| connections | " << a << " files/s";
  if (pair) small_table << " | " << b << " files/s | ratio";
  small_table << " | " << a << " latency median / p99";
  if (pair) small_table << " | " << b << " latency median / p99";
  small_table << " | " << a << " peak RSS";
  if (pair) small_table << " | " << b << " peak RSS";
  small_table << " | " << a << " CPU per run";
  if (pair) small_table << " | " << b << " CPU per run";
  small_table << " |\n";
  large_table << "| workload | connections | " << a << " MB/s";
  if (pair) large_table << " | " << b << " MB/s | ratio";
  large_table << " | " << a << " peak RSS";
  if (pair) large_table << " | " << b << " peak RSS";
  large_table << " | " << a << " CPU per run";
  if (pair) large_table << " | " << b << " CPU per run";
  large_table << " |\n";
  auto separator = [](int columns) {
    std::string line = "|";
    for (int i = 0; i < columns; ++i) line += "---|";
    return line + "\n";
  };
  std::string small_rows = separator(pair ? 10 : 5), large_rows = separator(pair ? 9 : 5);

  bool any_small = false, any_large = false;
  for (const scenario_t& scenario : scenarios) {
    const workload_t& workload = scenario.workload;
    std::cerr << "bench-loadgen: " << workload.name << std::flush;
    std::vector<std::vector<run_figures_t>> figures(targets.size());
    try {
      // A short first run warms caches, links and buffers; it is not counted.
      workload_t warm = workload;
      warm.duration = std::chrono::milliseconds(static_cast<long>(warmup * 1000));
      if (warmup > 0) {
        for (const target_t& target : targets) run_once(target, warm);
      }
      for (unsigned run = 0; run < runs; ++run) {
        for (std::size_t t = 0; t < targets.size(); ++t) {
          const run_figures_t result = run_once(targets[t], workload);
          figures[t].push_back(result);
          std::cerr << "." << std::flush;
          if (raw) {
            raw << workload.name << '\t' << targets[t].name << '\t' << run << '\t' << result.seconds
                << '\t' << result.files << '\t' << result.files_per_second << '\t'
                << result.megabytes_per_second << '\t' << result.latency_median_us << '\t'
                << result.latency_p99_us << '\t' << result.cpu_seconds << '\t'
                << result.peak_rss_mib << '\t' << result.context_switches << '\t'
                << result.generator_cpu_seconds << '\n';
          }
        }
      }
    } catch (const std::exception& e) {
      std::cerr << "\nbench-loadgen: " << workload.name << ": " << e.what() << std::endl;
      return 1;
    }
    std::cerr << std::endl;
    const run_figures_t first = median_figures(figures[0]);
    const run_figures_t second = pair ? median_figures(figures[1]) : run_figures_t();
    std::ostringstream row;
    if (scenario.small) {
      any_small = true;
      row << "| " << workload.connections << " | " << format("%.0f", first.files_per_second);
      if (pair) {
        row << " | " << format("%.0f", second.files_per_second) << " | "
            << format("%.2f", first.files_per_second / second.files_per_second);
      }
      row << " | " << latency_text(first.latency_median_us) << " / "
          << latency_text(first.latency_p99_us);
      if (pair) {
        row << " | " << latency_text(second.latency_median_us) << " / "
            << latency_text(second.latency_p99_us);
      }
      row << " | " << rss_text(first);
      if (pair) row << " | " << rss_text(second);
      row << " | " << cpu_text(first, true);
      if (pair) row << " | " << cpu_text(second, true);
      small_rows += row.str() + " |\n";
    } else {
      any_large = true;
      row << "| " << scenario.mode << " | " << workload.connections << " | "
          << format("%.0f", first.megabytes_per_second);
      if (pair) {
        row << " | " << format("%.0f", second.megabytes_per_second) << " | "
            << format("%.2f", first.megabytes_per_second / second.megabytes_per_second);
      }
      row << " | " << rss_text(first);
      if (pair) row << " | " << rss_text(second);
      row << " | " << cpu_text(first, false);
      if (pair) row << " | " << cpu_text(second, false);
      large_rows += row.str() + " |\n";
    }
  }

  std::cout << "Medians of " << runs << " runs of " << seconds << " s; " << chunk
            << "-byte DATA_CHUNK messages; MB = 10^6 bytes.\n";
  if (any_small) std::cout << "\n" << small_table.str() << small_rows;
  if (any_large) std::cout << "\n" << large_table.str() << large_rows;
  return 0;
}
