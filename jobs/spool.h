// bk_spool_t: the spooled data of one local job. The data lives in segment files:
// the main file, which the engine scans, and after it the patches that collect the
// data sent after a scan request was queued, so that each request covers exactly
// the data sent before it. Each segment keeps the requests that cover it; a patch
// is merged into the main file once the main file's requests are answered.
//
// Owned by its local job (a member) and used on the event loop only; the file work
// runs on the task-queue worker, one task per call, in call order. Completions run
// on the event loop and never once the spool is gone, so they may touch their
// caller freely. Destruction drops the segments, whose files are removed when the
// last reference goes (on the worker when a task holds one then).
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

class bk_spool_t {
 public:
  // The cursors of one reading, in segment order; used only on the worker once made.
  using reading_t = std::shared_ptr<bk_local_file_t::read_list_t>;
  using size_callback_t = bk_threaded_local_file_t::size_callback_t;
  using done_callback_t = std::function<void(std::exception_ptr)>;
  using reading_callback_t = std::function<void(const util::outcome_t<reading_t>&)>;

  // Names the main file in the inventory's spool directory.
  explicit bk_spool_t(bk_core_inventory_t& inventory);
  // REQUIRES: `io` and `queue` outlive the spool and the work it starts.
  bk_spool_t(boost::asio::io_context& io, bk_task_queue_t& queue, const std::string& spool_dir);
  ~bk_spool_t();
  bk_spool_t(const bk_spool_t&) = delete;
  bk_spool_t& operator=(const bk_spool_t&) = delete;

  // The main file: the engine scans it and the digests are of it.
  const std::string& path() const { return segments_.front().file->path(); }
  std::uint64_t main_size() const { return segments_.front().file->size(); }
  // The bytes of every segment, a patch being merged included.
  std::uint64_t size() const;

  // Queues a request covering everything appended so far.
  void add_request(const bk::ScanOptions& options);
  // The requests not yet popped, over all segments.
  std::uint32_t request_count() const { return request_count_; }
  // The oldest request, when the main file covers it; null when the main file has
  // none left (a merge comes next).
  const bk::ScanOptions* front_request() const {
    const auto& requests = segments_.front().requests;
    return requests.empty() ? nullptr : &requests.front();
  }
  // REQUIRES: front_request() is not null.
  void pop_request();

  // Whether the main file is on disk as it stands for a request that cures or not;
  // a cure rewrites it, so a later cure needs a sync of its own.
  bool synced_for(bool cure) const {
    const sync_t synced = segments_.front().synced;
    return cure ? synced == sync_t::kForCure : synced != sync_t::kNo;
  }
  // Creates the main file when nothing was written yet; as a barrier after the
  // earlier writes, puts everything appended so far on disk. `callback` is called as
  // a done_callback_t (a template, so that it is wrapped once per scan request).
  template <class Callback>
  void sync(bool cure, Callback callback) {
    segments_.front().synced = cure ? sync_t::kForCure : sync_t::kForScan;
    segments_.front().file->sync(when_open(std::move(callback)));
  }

  // Writes the chunk to the last segment, opening a patch first when that segment
  // already has a request queued.
  void append(std::shared_ptr<const std::string> chunk, size_callback_t callback);
  // Merges the first patch into the main file (which takes over the patch's
  // requests), or with no patch reads the main file's size from the disk.
  // REQUIRES: front_request() is null.
  void unlock(done_callback_t callback);
  // Reads the main file's size from the disk (the engine cured it or moved it).
  void refresh_size(done_callback_t callback);
  // The engine moved the main file to `path`. Taken only inside the spool directory
  // (the file there is removed with the job); returns whether it was.
  bool follow_move(const std::string& path);

  // Opens cursors over every segment that holds data: all of it appended before
  // the call, whether or not its writes have reported back yet.
  void open_reading(reading_callback_t callback);

 private:
  // How far a sync put the main file on disk; cleared when a merge or the engine may
  // change it.
  enum class sync_t : std::uint8_t { kNo, kForScan, kForCure };
  struct segment_t {
    // The requests covering the data up to the end of this segment, oldest first.
    std::deque<bk::ScanOptions> requests;
    std::shared_ptr<bk_threaded_local_file_t> file;
    sync_t synced = sync_t::kNo;
  };

  // A new last segment: `base_path` for the main file, then `base_path`.patch<N>.
  void add_segment(const std::string& base_path);
  void on_merged(std::exception_ptr failure, const done_callback_t& callback);

  // `fn` wrapped to do nothing once the spool is gone: a segment that a worker task
  // still holds (a patch holds the main file's lost-write record) outlives it.
  template <class F>
  auto when_open(F fn) {
    return [fn = std::move(fn), closed = closed_](auto&&... args) mutable {
      if (!*closed) fn(std::forward<decltype(args)>(args)...);
    };
  }

  // Constant after construction.
  boost::asio::io_context& io_;
  bk_task_queue_t& queue_;

  // Event loop only. Set by the destructor.
  const std::shared_ptr<bool> closed_ = std::make_shared<bool>(false);
  // Never empty: the main file first.
  std::list<segment_t> segments_;
  // The patch being merged; it still counts until its bytes show in the main file.
  std::shared_ptr<bk_threaded_local_file_t> merge_source_;
  std::uint32_t next_number_ = 0;
  // The requests in every segment's queue (the scanner asks for it often).
  std::uint32_t request_count_ = 0;
};
