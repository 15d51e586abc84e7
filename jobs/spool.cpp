#include "jobs/spool.h"

#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "core/core_inventory.h"
#include "core/task_queue.h"

namespace fs = boost::filesystem;

bk_spool_t::bk_spool_t(bk_core_inventory_t& inventory)
    : bk_spool_t(inventory.io_context, *inventory.task_queue, inventory.spool_dir()) {}

bk_spool_t::bk_spool_t(boost::asio::io_context& io, bk_task_queue_t& queue,
                       const std::string& spool_dir)
    : io_(io), queue_(queue) {
  add_segment((fs::path(spool_dir) / fs::unique_path("%%%%-%%%%-%%%%-%%%%")).string());
}

bk_spool_t::~bk_spool_t() {
  *closed_ = true;
  merge_source_.reset();
  segments_.clear();
}

void bk_spool_t::add_segment(const std::string& base_path) {
  segment_t segment;
  const std::uint32_t number = next_number_++;
  const std::string path = number == 0 ? base_path : base_path + ".patch" + std::to_string(number);
  // After one lost write nothing more of the job is stored: every segment keeps the
  // main file's record.
  segment.file = std::make_shared<bk_threaded_local_file_t>(
      io_, queue_, path, segments_.empty() ? nullptr : segments_.front().file->lost_write());
  segments_.push_back(std::move(segment));
}

std::uint64_t bk_spool_t::size() const {
  std::uint64_t size = merge_source_ ? merge_source_->size() : 0;
  for (const auto& segment : segments_) size += segment.file->size();
  return size;
}

// ---------------------------------------------------------------------------
// Requests

void bk_spool_t::add_request(const bk::ScanOptions& options) {
  segments_.back().requests.push_back(options);
  ++request_count_;
}

void bk_spool_t::pop_request() {
  segments_.front().requests.pop_front();
  --request_count_;
}

// ---------------------------------------------------------------------------
// Data

void bk_spool_t::append(std::shared_ptr<const std::string> chunk, size_callback_t callback) {
  if (!segments_.back().requests.empty()) add_segment(path());
  segments_.back().file->append_data(std::move(chunk), when_open(std::move(callback)));
}

void bk_spool_t::unlock(done_callback_t callback) {
  segment_t& main_segment = segments_.front();
  main_segment.synced = sync_t::kNo;
  if (segments_.size() == 1) {
    // The engine may have cured the file in place.
    refresh_size(std::move(callback));
    return;
  }
  auto patch = std::next(segments_.begin());
  merge_source_ = patch->file;
  main_segment.requests = std::move(patch->requests);
  segments_.erase(patch);
  main_segment.file->merge(merge_source_,
                           when_open([this, callback = std::move(callback)](
                                         const bk_threaded_local_file_t::size_result_t& result) {
                             on_merged(util::failure_of(result), callback);
                           }));
}

void bk_spool_t::on_merged(std::exception_ptr failure, const done_callback_t& callback) {
  merge_source_.reset();
  callback(failure);
}

void bk_spool_t::refresh_size(done_callback_t callback) {
  segments_.front().file->update_size(when_open(
      [callback = std::move(callback)](const bk_threaded_local_file_t::size_result_t& result) {
        callback(util::failure_of(result));
      }));
}

bool bk_spool_t::follow_move(const std::string& path) {
  const std::string& current = this->path();
  const fs::path wanted = fs::path(path).lexically_normal();
  const fs::path name = wanted.filename();
  const bool ours = wanted.is_absolute() && !name.empty() && name != "." && name != ".." &&
                    wanted.parent_path() == fs::path(current).lexically_normal().parent_path();
  if (!ours) return false;
  if (wanted.string() != current) segments_.front().file->set_path(wanted.string());
  return true;
}

// ---------------------------------------------------------------------------
// Reading back

void bk_spool_t::open_reading(reading_callback_t callback) {
  std::vector<std::weak_ptr<bk_threaded_local_file_t>> sources;
  for (const auto& segment : segments_) sources.push_back(segment.file);

  // The worker runs the task after every write queued before it: the files' own
  // sizes there are exactly the data appended so far. The event loop's may still
  // lack the last writes, and a patch it still thought empty would be left out of
  // the reading.
  util::make_async_chain(
      queue_, io_, std::weak_ptr<bk_threaded_local_file_t>(segments_.front().file),
      [sources](bk_threaded_local_file_t&) {
        auto list = std::make_shared<bk_local_file_t::read_list_t>();
        for (const auto& source : sources) {
          const auto file = source.lock();
          if (!file) break;
          bk_local_file_t* on_disk = file->worker_file();
          if (on_disk && on_disk->size() != 0) list->emplace_back(*on_disk);
        }
        return list;
      },
      when_open([callback = std::move(callback)](bk_threaded_local_file_t&,
                                                 const util::outcome_t<reading_t>& result) {
        callback(result);
      }));
}
