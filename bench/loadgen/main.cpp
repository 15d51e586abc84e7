// bench-loadgen: drives servers of the client protocol with the benchmark
// workloads and prints each figure as the median of several runs. With one or two
// targets, the second server's figure (the baseline) stands beside the first's with
// their ratio. With --node, the targets are setups of one or more daemons (a
// cluster) and each row shows one setup with what each of its daemons spent and
// how many of the jobs each ran.
//
//   bench-loadgen --target NAME=SOCKET[,SOCKET...] [--target ...] [--runs N]
//                 [--seconds S] [--warmup S] [--only small|large|LIST] [--chunk BYTES]
//                 [--raw FILE] [--node TARGET:LABEL:PID[:STATS_FILE]...] [--settle S]
//   bench-loadgen --soak --target NAME=SOCKET [--seconds S] [--sample S] [--steady-after S]
//                 [--tolerance PERCENT] [--connections N] [--flowless N] [--depth N]
//                 [--large-share F] [--reconnect-after FILES] [--seed N] [--pid PID]
//                 [--spool DIR] [--stats FILE] [--heapstat FILE] [--stuck-after S]
//                 [--chunk BYTES] [--raw FILE]
//
// --soak runs one long mixed load on one daemon and samples its memory and
// descriptors (see soak.h).
//
// The runs of the targets alternate, so a disturbance of the machine touches all.
// Exit status 0, 1 when a run failed (a wrong answer, an ALARM, a lost connection,
// a file left unanswered), 2 for a bad command line; with --soak also 1 for files or
// descriptors left behind and 3 when memory or descriptors grew.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "bench/loadgen/cluster_mode.h"
#include "bench/loadgen/runner.h"
#include "bench/loadgen/scenarios.h"
#include "bench/loadgen/soak.h"

namespace po = boost::program_options;

namespace {

// The server's CPU time of a run, with its cost per file (µs for small files, ms for
// large).
std::string cpu_text(const run_figures_t& figures, bool small) {
  const double cpu_seconds = figures.processes.front().cpu_seconds;
  if (cpu_seconds < 0) return "?";
  const double per_file = cpu_seconds / std::max(1.0, figures.files_per_second * figures.seconds);
  return format("%.2f s", cpu_seconds) + (small ? format(" (%.0f µs/file)", per_file * 1e6)
                                                : format(" (%.0f ms/file)", per_file * 1e3));
}

std::string rss_text(const run_figures_t& figures) {
  const double peak_rss_mib = figures.processes.front().peak_rss_mib;
  return peak_rss_mib < 0 ? "?" : format("%.1f MiB", peak_rss_mib);
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
  std::vector<std::string> node_texts;
  double settle = 1.2;
  bool soak = false;
  soak_settings_t soak_settings;
  po::options_description description("bench-loadgen: client-protocol load generator");
  description.add_options()("help", "show this text")(
      "target", po::value(&target_texts)->required(),
      "NAME=SOCKET[,SOCKET...]: a server to drive (connections dealt over the sockets in "
      "turn); the second one given is the baseline")("runs", po::value(&runs)->default_value(runs),
                                                     "runs of each workload; figures are medians")(
      "seconds", po::value(&seconds)->default_value(seconds),
      "length of one run (files begun before it ends are finished)")(
      "warmup", po::value(&warmup)->default_value(warmup),
      "length of the uncounted first run of each workload and target (0: none)")(
      "only", po::value(&only), "small, large, or comma-separated workload name prefixes")(
      "chunk", po::value(&chunk)->default_value(chunk), "data bytes per DATA_CHUNK sent")(
      "raw", po::value(&raw_path),
      "append every run's figures to this file (tab-separated: workload, target, run, "
      "seconds, files, files/s, MB/s, latency median and p99 in µs, CPU s, peak RSS MiB, "
      "context switches, the generator's own CPU s; with --node: workload, target, run, "
      "seconds, files, files/s, MB/s, latency median, p99 and maximum in µs, the "
      "generator's own CPU s, then for each node its label, CPU s, of which system, peak "
      "RSS MiB, context switches, the jobs it ran and the jobs it sent to a peer, -1 when "
      "not counted; with --soak, one line a sample: before, sample or after, seconds, files, "
      "file bytes, large files, files read back, jobs open, connections open, the daemon's CPU "
      "s, VmRSS, RssAnon, the window's lowest and highest VmRSS, its lowest RssAnon and VmHWM "
      "in KiB, the heap in use, held, and the window's lowest in use in bytes (-1: not read), "
      "descriptors, of them spool files, sockets and others, files in the spool directory)")(
      "node", po::value(&node_texts),
      "TARGET:LABEL:PID[:STATS_FILE]: a daemon measured during the runs of TARGET, shown as "
      "LABEL; its jobs are counted from STATS_FILE, the output of the stand-in "
      "configuration daemon it runs under. Any --node gives the cluster report, which "
      "takes any number of targets")(
      "settle", po::value(&settle)->default_value(settle),
      "with --node: pause after each run, so that each second the daemons report holds "
      "one run at most");
  po::options_description soak_options("Soak (--soak)");
  soak_options.add_options()(
      "soak", po::bool_switch(&soak),
      "one long mixed load on the first target, sampling the daemon's resident memory and "
      "descriptors; --seconds is its length (default 600)")(
      "sample", po::value(&soak_settings.sample)->default_value(soak_settings.sample),
      "seconds between samples")(
      "steady-after", po::value(&soak_settings.settle)->default_value(soak_settings.settle),
      "samples before this many seconds are left out of the flatness check")(
      "tolerance", po::value(&soak_settings.tolerance)->default_value(soak_settings.tolerance),
      "largest rise of memory or descriptors over the flatness check (and spread of the "
      "descriptors other than spool files), in percent of the median, still called flat")(
      "connections",
      po::value(&soak_settings.connections)->default_value(soak_settings.connections),
      "connections at once")(
      "flowless", po::value(&soak_settings.flowless)->default_value(soak_settings.flowless),
      "of them, connections without flow control")(
      "depth", po::value(&soak_settings.depth)->default_value(soak_settings.depth),
      "files each connection without flow control keeps open at once")(
      "large-share",
      po::value(&soak_settings.large_share)->default_value(soak_settings.large_share),
      "chance that a file is a large one (1, 5, 16 or 64 MiB) rather than 4 KiB")(
      "reconnect-after",
      po::value(&soak_settings.reconnect_after)->default_value(soak_settings.reconnect_after),
      "files after which a connection closes and a new one takes its place (0: never)")(
      "seed", po::value(&soak_settings.seed)->default_value(soak_settings.seed),
      "seed of the file mix")(
      "pid", po::value(&soak_settings.pid),
      "the daemon's pid (default: asked of its socket)")(
      "spool", po::value(&soak_settings.spool_dir),
      "the daemon's spool directory: its descriptors into it are counted apart and it must "
      "be empty after the run")(
      "heapstat", po::value(&soak_settings.heapstat_path),
      "the file through which bench-heapstat, preloaded into the daemon, publishes its heap "
      "figures")(
      "stats", po::value(&soak_settings.stats_path),
      "the output of the stand-in configuration daemon the daemon runs under: its "
      "statistics must count the files the generator counted")(
      "stuck-after",
      po::value(&soak_settings.stuck_after)->default_value(soak_settings.stuck_after),
      "a run whose files are not all answered this many seconds after its end fails");
  description.add(soak_options);
  std::vector<target_t> targets;
  cluster_settings_t cluster;
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
      target_t target{text.substr(0, equals), {}};
      std::istringstream sockets(text.substr(equals + 1));
      for (std::string socket; std::getline(sockets, socket, ',');) {
        if (!socket.empty()) target.sockets.push_back(socket);
      }
      if (target.sockets.empty()) throw po::error("bad --target " + text);
      targets.push_back(target);
    }
    for (const std::string& text : node_texts) {
      // TARGET:LABEL:PID[:STATS_FILE]; the file name may hold colons.
      const auto first = text.find(':');
      const auto second = first == std::string::npos ? first : text.find(':', first + 1);
      if (second == std::string::npos) throw po::error("bad --node " + text);
      const auto third = text.find(':', second + 1);
      cluster_node_t node;
      node.target = text.substr(0, first);
      node.label = text.substr(first + 1, second - first - 1);
      try {
        node.pid = std::stoi(text.substr(second + 1, third - second - 1));
      } catch (const std::exception&) {
        throw po::error("bad --node " + text);
      }
      if (third != std::string::npos) node.stats_path = text.substr(third + 1);
      const bool known = std::any_of(targets.begin(), targets.end(),
                                     [&node](const target_t& t) { return t.name == node.target; });
      if (!known || node.label.empty() || node.pid <= 0) throw po::error("bad --node " + text);
      cluster.nodes.push_back(node);
    }
    if (cluster.nodes.empty() && targets.size() > 2) throw po::error("at most two targets");
    if (soak) {
      if (targets.size() != 1 || targets[0].sockets.size() != 1 || !cluster.nodes.empty()) {
        throw po::error("--soak drives one target with one socket");
      }
      soak_settings.socket_path = targets[0].sockets[0];
      soak_settings.seconds = values["seconds"].defaulted() ? 600 : seconds;
      soak_settings.chunk = chunk;
      soak_settings.raw_path = raw_path;
      if (soak_settings.sample <= 0 || soak_settings.connections == 0 ||
          soak_settings.large_share < 0 || soak_settings.large_share > 1 ||
          soak_settings.stuck_after <= 0) {
        throw po::error("sample, connections and stuck-after must be positive, large-share "
                        "within 0 and 1");
      }
    }
    if (runs == 0 || chunk == 0 || chunk > 32 * 1024 * 1024 || seconds <= 0 || warmup < 0 ||
        settle < 0) {
      throw po::error("runs, chunk and seconds must be positive (chunk at most 32 MiB)");
    }
  } catch (const po::error& e) {
    std::cerr << "bench-loadgen: " << e.what() << "\n" << description;
    return 2;
  }

  if (soak) return run_soak(soak_settings);

  std::ofstream raw;
  if (!raw_path.empty()) raw.open(raw_path, std::ios::app);
  const std::vector<scenario_t> scenarios = make_scenarios(only, chunk, seconds);
  if (scenarios.empty()) {
    std::cerr << "bench-loadgen: no workload matches --only " << only << std::endl;
    return 2;
  }

  if (!cluster.nodes.empty()) {
    cluster.targets = targets;
    cluster.runs = runs;
    cluster.warmup = warmup;
    cluster.settle = settle;
    if (raw.is_open()) cluster.raw = &raw;
    return run_cluster(scenarios, cluster);
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
            const process_figures_t& server = result.processes.front();
            raw << workload.name << '\t' << targets[t].name << '\t' << run << '\t' << result.seconds
                << '\t' << result.files << '\t' << result.files_per_second << '\t'
                << result.megabytes_per_second << '\t' << result.latency_median_us << '\t'
                << result.latency_p99_us << '\t' << server.cpu_seconds << '\t'
                << server.peak_rss_mib << '\t' << server.context_switches << '\t'
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
