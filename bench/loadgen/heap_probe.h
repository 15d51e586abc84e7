// heap_probe_t: reads the heap figures that bench-heapstat, preloaded into another
// process, publishes in a page of a file (bench/heapstat/heapstat.h).
//
// Maps the file read-only for its whole life; reads on the calling thread. Without
// the file, or before the library has published anything, readings are empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bench/heapstat/heapstat.h"

struct heap_figures_t {
  // Bytes in allocated blocks, in the arenas and in single mappings.
  std::uint64_t in_use = 0;
  // Bytes the allocator holds from the system: its arenas and those mappings.
  std::uint64_t held = 0;
};

class heap_probe_t {
 public:
  // An empty path: a probe that never reads anything.
  explicit heap_probe_t(const std::string& path);
  ~heap_probe_t();
  heap_probe_t(const heap_probe_t&) = delete;
  heap_probe_t& operator=(const heap_probe_t&) = delete;

  std::optional<heap_figures_t> read();

 private:
  std::string path_;
  const heapstat_page_t* page_ = nullptr;
};
