#include "bench/loadgen/runner.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "bench/loadgen/load_client.h"
#include "bench/loadgen/process_probe.h"

namespace {

double own_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

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

run_figures_t run_once(const target_t& target, const workload_t& workload,
                       const std::vector<int>& pids, std::chrono::seconds stuck_after) {
  const unsigned thread_count = std::min(workload.connections, 4u);
  std::vector<std::unique_ptr<boost::asio::io_context>> loops;
  for (unsigned i = 0; i < thread_count; ++i) {
    loops.push_back(std::make_unique<boost::asio::io_context>(1));
  }
  std::vector<connection_result_t> results(workload.connections);
  std::vector<std::shared_ptr<load_client_t>> clients;
  for (unsigned i = 0; i < workload.connections; ++i) {
    clients.push_back(load_client_t::connect(
        *loops[i % thread_count], target.sockets[i % target.sockets.size()], workload, results[i]));
  }
  std::vector<process_probe_t> probes;
  if (pids.empty()) {
    probes.emplace_back(clients.front()->peer_pid());
  } else {
    for (const int pid : pids) probes.emplace_back(pid);
  }
  std::vector<process_figures_t> processes(probes.size());
  std::vector<double> cpu_before, system_before, switches_before;
  for (const process_probe_t& probe : probes) {
    probe.reset_peak();
    cpu_before.push_back(probe.cpu_seconds());
    system_before.push_back(probe.system_seconds());
    switches_before.push_back(static_cast<double>(probe.context_switches()));
  }

  const double generator_before = own_cpu_seconds();
  const auto begin = bench_clock::now();
  for (const auto& client : clients) client->start(begin + workload.duration);
  clients.clear();
  std::atomic<unsigned> running{thread_count};
  std::vector<std::thread> threads;
  for (auto& loop : loops) {
    threads.emplace_back([&loop, &running] {
      loop->run();
      --running;
    });
  }
  // A file that is never answered would keep its loop running for ever.
  const auto give_up = begin + workload.duration + stuck_after;
  while (running.load() > 0 && bench_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool stuck = running.load() > 0;
  if (stuck) {
    for (auto& loop : loops) loop->stop();
  }
  for (auto& thread : threads) thread.join();

  run_figures_t figures;
  figures.generator_cpu_seconds = own_cpu_seconds() - generator_before;
  if (stuck) {
    unsigned waiting = 0;
    for (const connection_result_t& result : results) {
      if (!result.finished && result.error.empty()) ++waiting;
    }
    throw std::runtime_error(target.name + ": stuck: " + std::to_string(waiting) +
                             " connection(s) still waiting for an answer " +
                             std::to_string(stuck_after.count()) + " s after the run's end");
  }
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
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const double cpu_after = probes[i].cpu_seconds();
    if (cpu_before[i] >= 0 && cpu_after >= 0) processes[i].cpu_seconds = cpu_after - cpu_before[i];
    const double system_after = probes[i].system_seconds();
    if (system_before[i] >= 0 && system_after >= 0) {
      processes[i].system_seconds = system_after - system_before[i];
    }
    const auto switches_after = static_cast<double>(probes[i].context_switches());
    if (switches_before[i] >= 0 && switches_after >= 0) {
      processes[i].context_switches = switches_after - switches_before[i];
    }
    const std::int64_t peak = probes[i].peak_rss_kib();
    if (peak >= 0) processes[i].peak_rss_mib = static_cast<double>(peak) / 1024;
  }
  figures.processes = std::move(processes);

  figures.seconds = std::chrono::duration<double>(end - begin).count();
  if (figures.files == 0 || figures.seconds <= 0) {
    throw std::runtime_error(target.name + ": no file was scanned");
  }
  figures.files_per_second = static_cast<double>(figures.files) / figures.seconds;
  figures.megabytes_per_second =
      static_cast<double>(figures.files * workload.file->size) / figures.seconds / 1e6;
  figures.latency_median_us = percentile(latencies, 0.5);
  figures.latency_p99_us = percentile(latencies, 0.99);
  figures.latency_max_us = percentile(latencies, 1.0);
  return figures;
}

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
  result.latency_max_us = pick(&run_figures_t::latency_max_us);
  result.generator_cpu_seconds = pick(&run_figures_t::generator_cpu_seconds);
  std::vector<double> files;
  for (const run_figures_t& run : runs) files.push_back(static_cast<double>(run.files));
  result.files = static_cast<std::uint64_t>(median(files));
  const std::size_t process_count = runs.empty() ? 0 : runs.front().processes.size();
  for (std::size_t i = 0; i < process_count; ++i) {
    auto pick_process = [&runs, i](double process_figures_t::*field) {
      std::vector<double> values;
      for (const run_figures_t& run : runs) values.push_back(run.processes[i].*field);
      return median(values);
    };
    process_figures_t process;
    process.cpu_seconds = pick_process(&process_figures_t::cpu_seconds);
    process.system_seconds = pick_process(&process_figures_t::system_seconds);
    process.peak_rss_mib = pick_process(&process_figures_t::peak_rss_mib);
    process.context_switches = pick_process(&process_figures_t::context_switches);
    result.processes.push_back(process);
  }
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
