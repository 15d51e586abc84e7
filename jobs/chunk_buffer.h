// The client chunks a master job keeps until its executor has stored them, so that
// a redirect can hand them to the next executor: a queue of shared, immutable
// chunks with a read cursor for the replay and a byte total.
//
// Owned by the master job's data state, which the master shares with its job
// backup. Event-loop thread only. Chunks are shared with the client tie and the
// executor, never copied, except the tail that shrink_front leaves of a chunk.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class bk_chunk_buffer_t {
 public:
  using chunk_t = std::shared_ptr<const std::string>;

  bk_chunk_buffer_t();
  bk_chunk_buffer_t(const bk_chunk_buffer_t&) = delete;
  bk_chunk_buffer_t& operator=(const bk_chunk_buffer_t&) = delete;

  // "Buffer 0x<address>", part of the job backup's name.
  const std::string& name() const { return name_; }
  // Sum of the sizes of the chunks held.
  uint64_t total() const { return total_; }
  bool empty() const { return chunks_.empty(); }
  const std::deque<chunk_t>& chunks() const { return chunks_; }

  // REQUIRES: `chunk` is not null.
  void push_back(chunk_t chunk);
  // The chunk at the cursor, advancing it; null at the end.
  chunk_t next();
  // Back to the first chunk.
  void rewind() { cursor_ = 0; }
  // Drops `n` bytes from the front; a chunk cut in two keeps its tail as a new
  // chunk. The cursor is not moved. Throws std::runtime_error "Invalid shrink size"
  // when fewer than `n` bytes are held (the total is then unreliable).
  void shrink_front(uint64_t n);
  void clear();

 private:
  // Constant after construction.
  const std::string name_;

  // Event loop only.
  uint32_t cursor_ = 0;
  std::deque<chunk_t> chunks_;
  uint64_t total_ = 0;
};
