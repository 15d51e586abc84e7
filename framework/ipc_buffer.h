// cf_ipc_buffer_t: the growable byte buffer of a message link (the frame being
// read, the frames queued for sending, the frames being written).
//
// Owned by value by its link; used on the link's event loop only. Sizes are 32-bit:
// a caller checks can_append before growing a buffer by an amount it does not
// control. Storage grows by half (or to the size needed) and never shrinks, so a
// steady stream of messages causes no further allocation once the buffer has grown.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

class cf_ipc_buffer_t {
 public:
  // The largest size a buffer can hold.
  static constexpr std::uint32_t max_size = std::numeric_limits<std::uint32_t>::max();

  cf_ipc_buffer_t() noexcept = default;
  cf_ipc_buffer_t(const cf_ipc_buffer_t&) = delete;
  cf_ipc_buffer_t& operator=(const cf_ipc_buffer_t&) = delete;

  // Sets the size to `n`. With `discard` the old content need not survive (a read
  // overwrites it); otherwise the first min(size, n) bytes are kept. Throws
  // std::bad_alloc when the storage cannot grow.
  void resize(std::uint32_t n, bool discard);

  // True when `extra` more bytes fit behind a buffer of `used` bytes.
  static constexpr bool fits(std::uint64_t used, std::uint64_t extra) noexcept {
    return used <= max_size && extra <= max_size - used;
  }
  bool can_append(std::uint64_t extra) const noexcept { return fits(size_, extra); }

  // The capacity a buffer of `capacity` bytes takes when it must hold `n` > capacity.
  static std::uint32_t grown_capacity(std::uint32_t capacity, std::uint32_t n) noexcept;

  // Exchanges storage, capacity and size.
  void swap(cf_ipc_buffer_t& other) noexcept;

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  std::uint32_t capacity_ = 0;
  std::uint32_t size_ = 0;
  // Left uninitialised on allocation: every byte in use is written before it is read.
  std::unique_ptr<std::uint8_t[]> data_;
};
