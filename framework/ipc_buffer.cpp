#include "framework/ipc_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

std::uint32_t cf_ipc_buffer_t::grown_capacity(std::uint32_t capacity, std::uint32_t n) noexcept {
  // Half again in 64 bits: a capacity above 2.67 GiB would wrap in 32.
  const std::uint64_t grown = std::uint64_t{capacity} + capacity / 2;
  return static_cast<std::uint32_t>(
      std::max<std::uint64_t>(std::min<std::uint64_t>(grown, max_size), n));
}

void cf_ipc_buffer_t::resize(std::uint32_t n, bool discard) {
  if (capacity_ >= n) {
    size_ = n;
    return;
  }
  const std::uint32_t capacity = grown_capacity(capacity_, n);
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[capacity]);
  if (!discard && size_ != 0) std::memcpy(data.get(), data_.get(), std::min(size_, n));
  data_ = std::move(data);
  capacity_ = capacity;
  size_ = n;
}

void cf_ipc_buffer_t::swap(cf_ipc_buffer_t& other) noexcept {
  std::swap(capacity_, other.capacity_);
  std::swap(size_, other.size_);
  data_.swap(other.data_);
}
