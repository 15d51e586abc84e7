#include "bench/loadgen/heap_probe.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

heap_probe_t::heap_probe_t(const std::string& path) : path_(path) {}

heap_probe_t::~heap_probe_t() {
  if (page_ != nullptr) {
    ::munmap(const_cast<heapstat_page_t*>(page_), sizeof(heapstat_page_t));
  }
}

std::optional<heap_figures_t> heap_probe_t::read() {
  if (path_.empty()) return std::nullopt;
  if (page_ == nullptr) {
    // The library creates the file when the process starts.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    void* mapping = MAP_FAILED;
    if (::fstat(fd, &status) == 0 &&
        static_cast<std::size_t>(status.st_size) >= sizeof(heapstat_page_t)) {
      mapping = ::mmap(nullptr, sizeof(heapstat_page_t), PROT_READ, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (mapping == MAP_FAILED) return std::nullopt;
    page_ = static_cast<const heapstat_page_t*>(mapping);
  }
  // The writer holds the sequence odd for a few stores; a reading that met it, or
  // that it overtook, is taken again.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::uint64_t before = page_->sequence.load(std::memory_order_acquire);
    if (before % 2 == 0 && page_->readings.load(std::memory_order_relaxed) > 0) {
      heap_figures_t figures;
      const std::uint64_t arena = page_->arena_bytes.load(std::memory_order_relaxed);
      const std::uint64_t mapped = page_->mapped_bytes.load(std::memory_order_relaxed);
      const std::uint64_t used = page_->used_bytes.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (page_->sequence.load(std::memory_order_relaxed) == before) {
        figures.in_use = used + mapped;
        figures.held = arena + mapped;
        return figures;
      }
    }
    std::this_thread::yield();
  }
  return std::nullopt;
}
