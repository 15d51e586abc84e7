#include "bench/loadgen/cluster_mode.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "bench/loadgen/node_stats.h"

namespace {

// One target with the daemons measured during its runs.
struct setup_t {
  const target_t* target = nullptr;
  std::vector<const cluster_node_t*> nodes;
  std::vector<node_stats_t> stats;
  // Per run: the figures, and what each node's statistics said (empty: not counted).
  std::vector<run_figures_t> runs;
  std::vector<std::vector<std::optional<node_jobs_t>>> jobs;
};

void pause_for(double seconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
}

// Runs the workload once against the setup; returns the figures and what each
// node's statistics say of the run.
run_figures_t measure(setup_t& setup, const workload_t& workload, double settle,
                      std::vector<std::optional<node_jobs_t>>& jobs) {
  std::vector<int> pids;
  for (const cluster_node_t* node : setup.nodes) pids.push_back(node->pid);
  for (node_stats_t& stats : setup.stats) stats.mark();
  const run_figures_t figures = run_once(*setup.target, workload, pids);
  pause_for(settle);
  jobs.clear();
  std::uint64_t client_files = 0;
  bool counted = false;
  for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
    if (setup.nodes[i]->stats_path.empty()) {
      jobs.emplace_back();
      continue;
    }
    const node_jobs_t node_jobs = setup.stats[i].since_mark();
    jobs.emplace_back(node_jobs);
    client_files += node_jobs.client_files;
    counted = true;
  }
  if (counted && client_files != figures.files) {
    std::cerr << "\nbench-loadgen: " << setup.target->name << ": the daemons' statistics count "
              << client_files << " files answered, the generator " << figures.files << std::endl;
  }
  return figures;
}

std::string connections_text(const target_t& target, unsigned connections) {
  const std::size_t sockets = target.sockets.size();
  std::string text;
  for (std::size_t i = 0; i < sockets; ++i) {
    const unsigned share = connections / sockets + (i < connections % sockets ? 1 : 0);
    if (i) text += " + ";
    text += std::to_string(share);
  }
  return text;
}

}  // namespace

int run_cluster(const std::vector<scenario_t>& scenarios, const cluster_settings_t& settings) {
  // The node columns, in the order they first appear.
  std::vector<std::string> labels;
  for (const cluster_node_t& node : settings.nodes) {
    if (std::find(labels.begin(), labels.end(), node.label) == labels.end()) {
      labels.push_back(node.label);
    }
  }

  std::cout << "Medians of " << settings.runs << " runs; the runs of the setups alternate, "
            << settings.settle << " s apart. CPU per file: the daemon's user and system time "
            << "over the files of the whole setup.\n";
  for (const scenario_t& scenario : scenarios) {
    const workload_t& workload = scenario.workload;
    std::vector<setup_t> setups;
    for (const target_t& target : settings.targets) {
      setup_t setup;
      setup.target = &target;
      for (const cluster_node_t& node : settings.nodes) {
        if (node.target != target.name) continue;
        setup.nodes.push_back(&node);
        setup.stats.emplace_back(node.stats_path);
      }
      setups.push_back(std::move(setup));
    }

    std::cerr << "bench-loadgen: " << workload.name << std::flush;
    try {
      std::vector<std::optional<node_jobs_t>> jobs;
      if (settings.warmup > 0) {
        workload_t warm = workload;
        warm.duration = std::chrono::milliseconds(static_cast<long>(settings.warmup * 1000));
        for (setup_t& setup : setups) measure(setup, warm, settings.settle, jobs);
      }
      for (unsigned run = 0; run < settings.runs; ++run) {
        for (setup_t& setup : setups) {
          const run_figures_t figures = measure(setup, workload, settings.settle, jobs);
          setup.runs.push_back(figures);
          setup.jobs.push_back(jobs);
          std::cerr << "." << std::flush;
          if (!settings.raw) continue;
          std::ostream& raw = *settings.raw;
          raw << workload.name << '\t' << setup.target->name << '\t' << run << '\t'
              << figures.seconds << '\t' << figures.files << '\t' << figures.files_per_second
              << '\t' << figures.megabytes_per_second << '\t' << figures.latency_median_us << '\t'
              << figures.latency_p99_us << '\t' << figures.latency_max_us << '\t'
              << figures.generator_cpu_seconds;
          for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
            const process_figures_t& process = figures.processes[i];
            raw << '\t' << setup.nodes[i]->label << '\t' << process.cpu_seconds << '\t'
                << process.system_seconds << '\t' << process.peak_rss_mib << '\t'
                << process.context_switches << '\t'
                << (jobs[i] ? static_cast<double>(jobs[i]->ran_here()) : -1.0) << '\t'
                << (jobs[i] ? static_cast<double>(jobs[i]->to_peer_files) : -1.0);
          }
          raw << '\n' << std::flush;
        }
      }
    } catch (const std::exception& e) {
      std::cerr << "\nbench-loadgen: " << workload.name << ": " << e.what() << std::endl;
      return 1;
    }
    std::cerr << std::endl;

    std::ostringstream table;
    const char* rate = scenario.small ? "files/s" : "MB/s";
    table << "\n"
          << scenario.mode << ":\n\n| setup | connections | " << rate << " | ratio"
          << " | latency median / p99 / max | jobs run on";
    for (std::size_t i = 0; i < labels.size(); ++i) table << (i ? " / " : " ") << labels[i];
    table << " | jobs sent over a peer link";
    for (const std::string& label : labels) table << " | " << label << " CPU per file (system)";
    table << " | all daemons' CPU per file";
    for (const std::string& label : labels) table << " | " << label << " peak RSS";
    table << " |\n|";
    for (std::size_t i = 0; i < 8 + 2 * labels.size(); ++i) table << "---|";
    table << "\n";

    double first_rate = 0;
    for (const setup_t& setup : setups) {
      const run_figures_t figures = median_figures(setup.runs);
      const double rate_value =
          scenario.small ? figures.files_per_second : figures.megabytes_per_second;
      if (first_rate == 0) first_rate = rate_value;
      // Per node: the medians of its jobs; their shares of the total. Per run: the
      // share of the files answered that went over a peer link.
      std::vector<double> jobs(setup.nodes.size(), -1);
      double jobs_total = 0;
      bool jobs_known = !setup.nodes.empty();
      for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
        std::vector<double> values;
        for (const auto& run_jobs : setup.jobs) {
          values.push_back(run_jobs[i] ? static_cast<double>(run_jobs[i]->ran_here()) : -1.0);
        }
        jobs[i] = median(values);
        if (jobs[i] < 0) jobs_known = false;
        jobs_total += std::max(jobs[i], 0.0);
      }
      std::vector<double> sent_shares;
      for (const auto& run_jobs : setup.jobs) {
        double sent = 0, answered = 0;
        for (const auto& node_jobs : run_jobs) {
          if (!node_jobs) continue;
          sent += static_cast<double>(node_jobs->to_peer_files);
          answered += static_cast<double>(node_jobs->client_files);
        }
        if (answered > 0) sent_shares.push_back(sent / answered);
      }
      const double files = std::max(1.0, figures.files_per_second * figures.seconds);
      auto per_file = [&](double cpu_seconds) {
        if (cpu_seconds < 0) return std::string("?");
        return scenario.small ? format("%.0f µs", cpu_seconds / files * 1e6)
                              : format("%.0f ms", cpu_seconds / files * 1e3);
      };

      table << "| " << setup.target->name << " | "
            << connections_text(*setup.target, workload.connections) << " | "
            << format("%.0f", rate_value) << " | " << format("%.2f", rate_value / first_rate)
            << " | " << latency_text(figures.latency_median_us) << " / "
            << latency_text(figures.latency_p99_us) << " / " << latency_text(figures.latency_max_us)
            << " | ";
      if (!jobs_known || jobs_total <= 0) {
        table << "?";
      } else {
        bool first = true;
        for (const std::string& label : labels) {
          table << (first ? "" : " / ");
          first = false;
          bool found = false;
          for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
            if (setup.nodes[i]->label != label) continue;
            table << format("%.1f%%", 100 * jobs[i] / jobs_total);
            found = true;
          }
          if (!found) table << "–";
        }
      }
      table << " | "
            << (jobs_known && !sent_shares.empty() ? format("%.1f%%", 100 * median(sent_shares))
                                                   : std::string("?"));
      double all_cpu = 0;
      bool all_known = true;
      for (const std::string& label : labels) {
        table << " | ";
        bool found = false;
        for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
          if (setup.nodes[i]->label != label) continue;
          const double cpu = figures.processes[i].cpu_seconds;
          table << per_file(cpu) << " (" << per_file(figures.processes[i].system_seconds) << ")";
          if (cpu < 0) all_known = false;
          all_cpu += std::max(cpu, 0.0);
          found = true;
        }
        if (!found) table << "–";
      }
      table << " | " << (all_known ? per_file(all_cpu) : std::string("?"));
      for (const std::string& label : labels) {
        table << " | ";
        bool found = false;
        for (std::size_t i = 0; i < setup.nodes.size(); ++i) {
          if (setup.nodes[i]->label != label) continue;
          const double rss = figures.processes[i].peak_rss_mib;
          table << (rss < 0 ? std::string("?") : format("%.1f MiB", rss));
          found = true;
        }
        if (!found) table << "–";
      }
      table << " |\n";
    }
    std::cout << table.str() << std::flush;
  }
  return 0;
}
