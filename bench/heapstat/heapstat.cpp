// bench-heapstat: a library the soak benchmark preloads into the daemon under test
// (LD_PRELOAD, with BENCH_HEAPSTAT_FILE naming a file) to publish the daemon's heap
// figures in a page of that file ten times a second (heapstat.h). It changes
// nothing in the process it is loaded into but one thread: no allocation, no
// descriptor kept open (the page stays mapped after its file is closed), every
// signal blocked in its thread so that the process's own signal handling is
// untouched. The variable stays in the environment: a wrapper that executes the
// daemon (env, a tool) publishes until its exec, and the daemon from then on. A
// child process would publish into the same page too; the daemon starts none.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "bench/heapstat/heapstat.h"

namespace {

heapstat_page_t* page = nullptr;

void* publish(void*) {
  const timespec pause{0, 100 * 1000 * 1000};
  for (;;) {
    const struct mallinfo2 info = ::mallinfo2();
    page->sequence.fetch_add(1, std::memory_order_acq_rel);
    page->arena_bytes.store(info.arena, std::memory_order_relaxed);
    page->mapped_bytes.store(info.hblkhd, std::memory_order_relaxed);
    page->used_bytes.store(info.uordblks, std::memory_order_relaxed);
    page->readings.fetch_add(1, std::memory_order_relaxed);
    page->sequence.fetch_add(1, std::memory_order_release);
    ::nanosleep(&pause, nullptr);
  }
  return nullptr;
}

__attribute__((constructor)) void start() {
  const char* path = std::getenv(kHeapstatFileVariable);
  if (path == nullptr || *path == '\0') return;
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  void* mapping = MAP_FAILED;
  if (::ftruncate(fd, sizeof(heapstat_page_t)) == 0) {
    mapping = ::mmap(nullptr, sizeof(heapstat_page_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  ::close(fd);
  if (mapping == MAP_FAILED) return;
  page = static_cast<heapstat_page_t*>(mapping);
  // A new file is zero-filled. One a process before an exec published into may
  // have been left mid-write, with an odd sequence every reader takes for a write
  // in progress.
  if (page->sequence.load(std::memory_order_relaxed) % 2 != 0) {
    page->sequence.fetch_add(1, std::memory_order_release);
  }

  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, 64 * 1024);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  ::pthread_create(&thread, &attributes, publish, nullptr);
  ::pthread_attr_destroy(&attributes);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace
