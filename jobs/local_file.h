// One spool file of a scan job on disk, and the cursors that read it back.
//
// Owned by its bk_threaded_local_file_t and used only on the task-queue worker
// (so is every cursor until it is handed over; after that only by its new owner).
// A spool name is ours only when we created the file: it is created exclusively,
// and when the name is taken a fresh random one is used, so another job's file or
// a planted one is never opened, written or removed. The destructor removes the
// file at the current path when it is ours (a failure other than a file already
// gone is logged at Error), then closes the descriptor.
// Sizes and offsets are 64-bit throughout: a spooled file may exceed 4 GiB.
// Failures are boost::filesystem::filesystem_error ("open", "write", "read", "stat").
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class bk_local_file_t {
 public:
  // A reading position in one file; moves, never copies (it owns the descriptor).
  struct read_state_t {
    // Opens `file` read-only at offset 0 for file.size() bytes. Throws ("open").
    explicit read_state_t(const bk_local_file_t& file);
    read_state_t(read_state_t&& other) noexcept;
    read_state_t& operator=(read_state_t&& other) noexcept;
    ~read_state_t();

    int fd = -1;
    std::string path;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
  };
  // The cursors of one reading, in segment order.
  using read_list_t = std::deque<read_state_t>;
  // Told (on the worker) when a taken name made the file move to another one.
  using rename_listener_t = std::function<void(const std::string& from, const std::string& to)>;

  // The name is one we chose: nothing exists on disk until the first write or sync.
  explicit bk_local_file_t(std::string path);
  ~bk_local_file_t();
  bk_local_file_t(const bk_local_file_t&) = delete;
  bk_local_file_t& operator=(const bk_local_file_t&) = delete;

  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  void set_rename_listener(rename_listener_t listener) { rename_listener_ = std::move(listener); }

  // The scanning engine moved our data to `path`: from now on the file is the one
  // there, opened as it is, and removed from there.
  void set_path(std::string path);

  // Opens (and creates, mode 0600) the file for appending once; returns the descriptor.
  int open_for_append();
  // One write of all `count` bytes at the end.
  void write(const char* bytes, std::size_t count);
  // Takes the size from the disk; a missing file counts 0.
  void update_size();
  // Appends the whole of `other` (its size() bytes) to this file.
  void append_file(const bk_local_file_t& other);

  // Reads up to `max` bytes from the first cursor of `list` into `buffer`, never
  // past that file's end; a cursor that reaches its end is dropped. Returns the
  // count, 0 for an empty list. Throws ("read"), also when a file ends early.
  static std::size_t read_chunk(read_list_t& list, char* buffer, std::size_t max);
  // The same into a new shared chunk sized to what is read, not to `max`.
  static std::shared_ptr<const std::string> read_chunk(read_list_t& list, std::size_t max);

 private:
  std::string path_;
  std::uint64_t size_ = 0;
  int fd_ = -1;
  // The name was chosen by us: create it exclusively and pick another when taken.
  bool exclusive_ = true;
  // The file at path_ is this job's, to be removed with it.
  bool owned_ = false;
  rename_listener_t rename_listener_;
};
