#include "jobs/threaded_local_file.h"

#include <stdexcept>

#include <boost/asio/post.hpp>

#include "core/task_queue.h"

bk_threaded_local_file_t::bk_threaded_local_file_t(boost::asio::io_context& io,
                                                   bk_task_queue_t& queue, std::string path,
                                                   lost_write_t lost_write)
    : io_(io),
      queue_(queue),
      lost_write_(std::move(lost_write)),
      file_(std::make_unique<bk_local_file_t>(path)),
      path_(path) {}

bk_threaded_local_file_t::~bk_threaded_local_file_t() = default;

template <class Step>
void bk_threaded_local_file_t::store(Step&& step) {
  std::exception_ptr& lost = lost_write_ ? *lost_write_ : own_lost_write_;
  if (lost) std::rethrow_exception(lost);
  try {
    step();
  } catch (...) {
    // The bytes of this step are missing from the data: what follows them would
    // land in their place.
    lost = std::current_exception();
    throw;
  }
}

void bk_threaded_local_file_t::append_data(std::shared_ptr<const std::string> chunk,
                                           size_callback_t callback) {
  post_size_step(
      [chunk = std::move(chunk)](bk_threaded_local_file_t& self) {
        self.store([&] { self.worker_file_checked().write(chunk->data(), chunk->size()); });
      },
      std::move(callback));
}

void bk_threaded_local_file_t::update_size(size_callback_t callback) {
  post_size_step([](bk_threaded_local_file_t& self) { self.worker_file_checked().update_size(); },
                 std::move(callback));
}

void bk_threaded_local_file_t::merge(const std::shared_ptr<bk_threaded_local_file_t>& source,
                                     size_callback_t callback) {
  std::weak_ptr<bk_threaded_local_file_t> weak_source = source;
  post_size_step(
      [weak_source](bk_threaded_local_file_t& self) {
        std::unique_ptr<bk_local_file_t> taken;
        if (auto patch = weak_source.lock()) taken = std::move(patch->file_);
        // `taken` removes the patch from disk when it goes, copied or not.
        self.store([&] {
          bk_local_file_t& target = self.worker_file_checked();
          if (taken) target.append_file(*taken);
        });
      },
      std::move(callback));
}

void bk_threaded_local_file_t::sync(done_callback_t callback) {
  util::make_async_chain_void(
      queue_, io_, weak_from_this(),
      [](bk_threaded_local_file_t& self) { self.worker_file_checked().open_for_append(); },
      [callback = std::move(callback)](bk_threaded_local_file_t&, std::exception_ptr failure) {
        if (callback) callback(failure);
      });
}

void bk_threaded_local_file_t::set_path(const std::string& path) {
  path_ = path;
  queue_.post([weak = weak_from_this(), path] {
    if (auto self = weak.lock())
      if (self->file_) self->file_->set_path(path);
  });
}

bk_threaded_local_file_t::lost_write_t bk_threaded_local_file_t::lost_write() {
  // Shares ownership with the segment: no record of its own to allocate.
  return lost_write_ ? lost_write_ : lost_write_t(shared_from_this(), &own_lost_write_);
}

void bk_threaded_local_file_t::post_size_step(std::function<void(bk_threaded_local_file_t&)> step,
                                              size_callback_t callback) {
  util::make_async_chain(
      queue_, io_, weak_from_this(),
      [step = std::move(step)](bk_threaded_local_file_t& self) {
        step(self);
        return self.worker_file_checked().size();
      },
      [callback = std::move(callback)](bk_threaded_local_file_t& self, size_result_t result) {
        if (const std::uint64_t* size = std::get_if<std::uint64_t>(&result)) self.size_ = *size;
        if (callback) callback(result);
      });
}

bk_local_file_t& bk_threaded_local_file_t::worker_file_checked() {
  if (!file_) throw std::logic_error("Spool file used after it was merged");
  if (!listening_) {
    listening_ = true;
    // Posted from the worker ahead of the task's own result, so the event loop
    // knows the new name before it hears of the work done under it.
    file_->set_rename_listener(
        [weak = weak_from_this(), &io = io_](const std::string& from, const std::string& to) {
          boost::asio::post(io, [weak, from, to] {
            if (auto self = weak.lock()) self->on_renamed(from, to);
          });
        });
  }
  return *file_;
}

void bk_threaded_local_file_t::on_renamed(const std::string& from, const std::string& to) {
  // A path the engine has set meanwhile is newer than the name we fell back to.
  if (path_ == from) path_ = to;
}
