#include "jobs/chunk_buffer.h"

#include <charconv>
#include <cstdint>
#include <stdexcept>

namespace {

// As a stream writes a pointer, formatted by hand: one buffer is made per job.
std::string buffer_name(const void* address) {
  char digits[2 * sizeof(std::uintptr_t)];
  const auto end =
      std::to_chars(digits, digits + sizeof digits, reinterpret_cast<std::uintptr_t>(address), 16)
          .ptr;
  return "Buffer 0x" + std::string(digits, end);
}

}  // namespace

bk_chunk_buffer_t::bk_chunk_buffer_t() : name_(buffer_name(this)) {}

void bk_chunk_buffer_t::push_back(chunk_t chunk) {
  total_ += chunk->size();
  chunks_.push_back(std::move(chunk));
}

bk_chunk_buffer_t::chunk_t bk_chunk_buffer_t::next() {
  if (cursor_ >= chunks_.size()) return nullptr;
  return chunks_[cursor_++];
}

void bk_chunk_buffer_t::shrink_front(uint64_t n) {
  total_ -= n;
  while (n > 0) {
    if (chunks_.empty()) throw std::runtime_error("Invalid shrink size");
    const chunk_t& front = chunks_.front();
    if (front->size() <= n) {
      n -= front->size();
      chunks_.pop_front();
    } else {
      chunks_.front() = std::make_shared<const std::string>(front->substr(n));
      n = 0;
    }
  }
}

void bk_chunk_buffer_t::clear() {
  total_ = 0;
  cursor_ = 0;
  chunks_.clear();
}
