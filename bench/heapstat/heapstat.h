// The page through which bench-heapstat, preloaded into a process, publishes that
// process's heap figures (glibc's mallinfo2, over all arenas) for another process
// to read: the soak benchmark watches the daemon's live heap beside its resident
// memory, so that memory the allocator keeps free tells apart from memory in use.
//
// One writer (the preloaded library's thread) and any number of readers, each
// mapping the same file with MAP_SHARED; a sequence number makes a reading whole:
// odd while the writer is at work, and a reader retries when it changed meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

struct heapstat_page_t {
  std::atomic<std::uint64_t> sequence;
  // Bytes the allocator has taken from the system for its arenas (mallinfo2
  // arena) and in single mappings for large blocks (hblkhd).
  std::atomic<std::uint64_t> arena_bytes;
  std::atomic<std::uint64_t> mapped_bytes;
  // Bytes of the arenas in allocated blocks (uordblks).
  std::atomic<std::uint64_t> used_bytes;
  // Readings published so far.
  std::atomic<std::uint64_t> readings;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "the page is shared between processes");

// The environment variable naming the file of the page; the library does nothing
// without it.
constexpr const char* kHeapstatFileVariable = "BENCH_HEAPSTAT_FILE";
