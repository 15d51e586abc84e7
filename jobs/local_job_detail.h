// The spool state of one local job: its segment files (the main file, then the
// patches that collect data sent after a scan request was queued), the merging of
// a patch into the main file, and the reading back of the data.
//
// Owned by the local job through a unique pointer (it is bk_local_job_t::detail_t)
// and used on the event loop only; its file work runs on the task-queue worker.
// Every completion carries the `closed` flag and does nothing once the owner is
// destroyed, so callbacks may touch the job freely. Destruction releases the
// segments, whose files are removed when the last reference goes.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "jobs/async_chain.h"
#include "jobs/local_file.h"
#include "jobs/threaded_local_file.h"
#include "schemas/brel_client_ipc.pb.h"

class bk_core_inventory_t;
class bk_task_queue_t;

class bk_local_job_detail_t {
 public:
  struct segment_t {
    // The scan requests covering the data up to the end of this segment, oldest first.
    std::deque<bk::ScanOptions> requests;
    std::shared_ptr<bk_threaded_local_file_t> file;
    // 0 not synced, 1 synced for a scan, 2 synced for a cure.
    std::uint32_t state = 0;
    // 0 for the main file; a merged patch hands its number to the main file.
    std::uint32_t number = 0;
  };
  // A reading: cursors over the segments, used only on the worker once made.
  using reading_t = std::shared_ptr<bk_local_file_t::read_list_t>;
  struct chunk_t {
    std::shared_ptr<const std::string> data;
    // The reading has nothing more.
    bool last = false;
  };
  using size_callback_t = bk_threaded_local_file_t::size_callback_t;
  using done_callback_t = std::function<void(std::exception_ptr)>;
  using reading_callback_t =
      std::function<void(const util::either_t<std::exception_ptr, reading_t>&)>;
  using chunk_callback_t = std::function<void(const util::either_t<std::exception_ptr, chunk_t>&)>;

  // Names the job's main file in the inventory's spool directory.
  explicit bk_local_job_detail_t(bk_core_inventory_t& inventory);
  // REQUIRES: `io` and `queue` outlive the object and the work it starts.
  bk_local_job_detail_t(boost::asio::io_context& io, bk_task_queue_t& queue,
                        const std::string& spool_dir);
  ~bk_local_job_detail_t();
  bk_local_job_detail_t(const bk_local_job_detail_t&) = delete;
  bk_local_job_detail_t& operator=(const bk_local_job_detail_t&) = delete;

  // A new last segment: `base_path` for the first, then `base_path`.patch<N>.
  void add_segment(const std::string& base_path);
  // The bytes of every segment, a patch being merged included.
  std::uint64_t data_size() const;

  // Writes the chunk to the last segment, opening a patch first when that segment
  // already has a scan request queued.
  void append_data(std::shared_ptr<const std::string> chunk, size_callback_t callback);
  // The main segment has no request left: merges the first patch into it (and
  // takes over the patch's requests), or with no patch refreshes its size.
  void unlock(done_callback_t callback);
  // Opens cursors over every segment that holds data; the caller keeps the list
  // in `reading` to read it.
  void file_start_reading(reading_callback_t callback);
  // Reads the next chunk of at most `max` bytes of `reading` on the worker. A
  // completion is dropped when `reading` was released or replaced meanwhile.
  // REQUIRES: `reading` is set.
  void read_chunk(std::size_t max, chunk_callback_t callback);

  // `fn` wrapped to do nothing once the owner is destroyed.
  template <class F>
  auto when_open(F fn) {
    if (*closed) closed = std::make_shared<bool>(false);
    return [fn = std::move(fn), closed = closed](auto&&... args) mutable {
      if (!*closed) fn(std::forward<decltype(args)>(args)...);
    };
  }

  // Event loop only. `failed`, `pending` and `cure_requested` are the local job's.
  std::shared_ptr<bool> closed = std::make_shared<bool>(false);
  reading_t reading;
  bool failed = false;
  std::list<segment_t> segments;
  std::shared_ptr<bk_threaded_local_file_t> merge_source;
  std::uint32_t next_number = 0;
  std::uint32_t pending = 0;
  bool cure_requested = false;

 private:
  void file_unlock(std::exception_ptr failure, const done_callback_t& callback);

  // Constant after construction.
  boost::asio::io_context& io_;
  bk_task_queue_t& queue_;
};
