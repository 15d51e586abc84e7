// One segment file of a local job, driven from the event loop while its disk work
// runs on the task-queue worker.
//
// Held by std::shared_ptr (make_shared) by the job's segment list, and by a worker
// task while one runs, so it may die on the worker. Every call is made on the event
// loop and posts one task; tasks run in posting order with every other job's, so a
// completion also tells that all earlier work on this file is done. Results come
// back on the event loop, never after the object is gone. `path` and `size` are the
// event loop's copies; the bk_local_file_t itself is the worker's alone.
// Every segment keeps a lost-write record, which the later segments of its job may
// share: once a write or merge of any of them fails, every later write or merge of
// them fails with that failure, so that no data is stored behind a hole.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "jobs/async_chain.h"
#include "jobs/callback_wrapper.h"
#include "jobs/local_file.h"

class bk_task_queue_t;

class bk_threaded_local_file_t : public bk_shared_callback_wrapper<bk_threaded_local_file_t> {
 public:
  using size_result_t = util::outcome_t<std::uint64_t>;
  // Runs after the delivered size has been stored.
  using size_callback_t = std::function<void(const size_result_t&)>;
  using done_callback_t = std::function<void(std::exception_ptr)>;
  // The first failed write or merge of a job's segments; used on the worker only.
  using lost_write_t = std::shared_ptr<std::exception_ptr>;

  // `lost_write`: the record to share, from an earlier segment's lost_write(); by
  // default the segment keeps its own.
  // REQUIRES: `io` and `queue` outlive the object and every task it posts.
  bk_threaded_local_file_t(boost::asio::io_context& io, bk_task_queue_t& queue, std::string path,
                           lost_write_t lost_write = nullptr);
  ~bk_threaded_local_file_t();
  bk_threaded_local_file_t(const bk_threaded_local_file_t&) = delete;
  bk_threaded_local_file_t& operator=(const bk_threaded_local_file_t&) = delete;

  // Event loop only.
  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }

  // Appends the chunk with one write; the chunk is shared, never copied. Fails
  // without writing after a lost write.
  void append_data(std::shared_ptr<const std::string> chunk, size_callback_t callback);
  // Re-reads the size from the disk (the engine may have cured the file).
  void update_size(size_callback_t callback);
  // Appends the content of `source` and removes the source's file, also on failure
  // (and after a lost write, when nothing is copied).
  void merge(const std::shared_ptr<bk_threaded_local_file_t>& source, size_callback_t callback);
  // Creates the file when nothing was written yet; a barrier after earlier writes.
  void sync(done_callback_t callback);
  // The engine moved the data to `path`; later work and the removal use it.
  void set_path(const std::string& path);
  // The record this segment's writes and merges keep, for later segments to share.
  // Event loop; the record keeps the segment alive.
  lost_write_t lost_write();

  // Worker only: the file object, for reading it back. Null once merged away.
  bk_local_file_t* worker_file() { return file_.get(); }

 private:
  void post_size_step(std::function<void(bk_threaded_local_file_t&)> step,
                      size_callback_t callback);
  // Worker only: the file object, set up to report a change of its name.
  bk_local_file_t& worker_file_checked();
  void on_renamed(const std::string& from, const std::string& to);
  // Worker only: runs a step that stores data, unless a write was lost before.
  template <class Step>
  void store(Step&& step);

  // Constant after construction.
  boost::asio::io_context& io_;
  bk_task_queue_t& queue_;
  // Shared with an earlier segment, or null for own_lost_write_. The pointer is
  // constant; what it holds is the worker's.
  const lost_write_t lost_write_;

  // Worker only.
  std::exception_ptr own_lost_write_;
  std::unique_ptr<bk_local_file_t> file_;
  bool listening_ = false;

  // Event loop only.
  std::string path_;
  std::uint64_t size_ = 0;
};
