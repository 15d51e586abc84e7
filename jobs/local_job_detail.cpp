#include "jobs/local_job_detail.h"

#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "core/core_inventory.h"
#include "core/task_queue.h"

bk_local_job_detail_t::bk_local_job_detail_t(bk_core_inventory_t& inventory)
    : bk_local_job_detail_t(inventory.io_context, *inventory.task_queue, inventory.spool_dir()) {}

bk_local_job_detail_t::bk_local_job_detail_t(boost::asio::io_context& io, bk_task_queue_t& queue,
                                             const std::string& spool_dir)
    : io_(io), queue_(queue) {
  const boost::filesystem::path base =
      boost::filesystem::path(spool_dir) / boost::filesystem::unique_path("%%%%-%%%%-%%%%-%%%%");
  add_segment(base.string());
}

bk_local_job_detail_t::~bk_local_job_detail_t() {
  *closed = true;
  reading.reset();
  merge_source.reset();
  segments.clear();
}

void bk_local_job_detail_t::add_segment(const std::string& base_path) {
  segment_t segment;
  segment.number = next_number++;
  const std::string path =
      segment.number == 0 ? base_path : base_path + ".patch" + std::to_string(segment.number);
  // After one lost write nothing more of the job is stored: every segment keeps the
  // main file's record.
  segment.file = std::make_shared<bk_threaded_local_file_t>(
      io_, queue_, path, segments.empty() ? nullptr : segments.front().file->lost_write());
  segments.push_back(std::move(segment));
}

std::uint64_t bk_local_job_detail_t::data_size() const {
  // The patch being merged still counts until its bytes show in the main file.
  std::uint64_t size = merge_source ? merge_source->size() : 0;
  for (const auto& segment : segments) size += segment.file->size();
  return size;
}

void bk_local_job_detail_t::append_data(std::shared_ptr<const std::string> chunk,
                                        size_callback_t callback) {
  if (!segments.back().requests.empty()) add_segment(segments.front().file->path());
  segments.back().file->append_data(std::move(chunk), when_open(std::move(callback)));
}

void bk_local_job_detail_t::unlock(done_callback_t callback) {
  segment_t& main_segment = segments.front();
  main_segment.state = 0;
  if (segments.size() == 1) {
    // The engine may have cured the file in place.
    main_segment.file->update_size(when_open(
        [callback = std::move(callback)](const bk_threaded_local_file_t::size_result_t& result) {
          callback(result.is_left() ? result.left() : std::exception_ptr());
        }));
    return;
  }
  auto patch = std::next(segments.begin());
  merge_source = patch->file;
  main_segment.requests = std::move(patch->requests);
  main_segment.number = patch->number;
  segments.erase(patch);
  main_segment.file->merge(
      merge_source, when_open([this, callback = std::move(callback)](
                                  const bk_threaded_local_file_t::size_result_t& result) {
        file_unlock(result.is_left() ? result.left() : std::exception_ptr(), callback);
      }));
}

void bk_local_job_detail_t::file_unlock(std::exception_ptr failure,
                                        const done_callback_t& callback) {
  merge_source.reset();
  callback(failure);
}

void bk_local_job_detail_t::file_start_reading(reading_callback_t callback) {
  // The sizes are the event loop's: they travel with the task, the worker never
  // reads a segment's fields.
  struct source_t {
    std::weak_ptr<bk_threaded_local_file_t> file;
    std::uint64_t size;
  };
  std::vector<source_t> sources;
  for (const auto& segment : segments) sources.push_back({segment.file, segment.file->size()});
  if (merge_source) sources.front().size += merge_source->size();

  util::make_async_chain(
      queue_, io_, std::weak_ptr<bk_threaded_local_file_t>(segments.front().file),
      [sources](bk_threaded_local_file_t&) {
        auto list = std::make_shared<bk_local_file_t::read_list_t>();
        for (const auto& source : sources) {
          const auto file = source.file.lock();
          if (!file) break;
          if (source.size == 0) continue;
          if (bk_local_file_t* on_disk = file->worker_file()) list->emplace_back(*on_disk);
        }
        return list;
      },
      when_open(
          [callback = std::move(callback)](
              bk_threaded_local_file_t&,
              const util::either_t<std::exception_ptr, reading_t>& result) { callback(result); }));
}

void bk_local_job_detail_t::read_chunk(std::size_t max, chunk_callback_t callback) {
  util::make_async_chain(
      queue_, io_, std::weak_ptr<bk_local_file_t::read_list_t>(reading),
      [max](bk_local_file_t::read_list_t& list) {
        chunk_t chunk;
        chunk.data = bk_local_file_t::read_chunk(list, max);
        chunk.last = list.empty();
        return chunk;
      },
      when_open([this, callback = std::move(callback)](
                    bk_local_file_t::read_list_t& list,
                    const util::either_t<std::exception_ptr, chunk_t>& result) {
        // A reading replaced meanwhile is not this one.
        if (reading.get() != &list) return;
        callback(result);
      }));
}
