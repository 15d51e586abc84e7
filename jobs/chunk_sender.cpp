#include "jobs/chunk_sender.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "framework/log.h"

bk_chunk_sender_t::bk_chunk_sender_t(bk_job_t& job, const bk_chunk_buffer_t& data,
                                     uint32_t max_chunk, std::function<void()> done)
    : job_(job),
      max_chunk_(std::max<uint32_t>(max_chunk, 1)),
      done_(std::move(done)),
      chunks_(data.chunks().begin(), data.chunks().end()) {
  job_.get_delegate()->on_get_data_response(job_.job_id, data.total());
  connection_ = job_.get_delegate()->connect_on_drained(wrap([this] { send_next(); }));
}

bk_chunk_sender_t::~bk_chunk_sender_t() {
  connection_.disconnect();
}

void bk_chunk_sender_t::send_next() {
  connection_.disconnect();
  while (index_ < chunks_.size() && offset_ >= chunks_[index_]->size()) {
    ++index_;
    offset_ = 0;
  }
  if (index_ >= chunks_.size()) {
    CF_LOG(kLogDebug, job_.name() + ": Finished sending chunks back to client after soft error");
    // Destroys this sender (and done_ with it): the read-back is over.
    const std::function<void()> done = done_;
    done();
    return;
  }
  const std::string& first = *chunks_[index_];
  const char* piece = first.data() + offset_;
  size_t n = 0;
  if (first.size() - offset_ >= max_chunk_ || index_ + 1 == chunks_.size()) {
    // The piece lies within one chunk: it goes out from there, uncopied.
    n = std::min<size_t>(max_chunk_, first.size() - offset_);
    offset_ += n;
  } else {
    // The piece spans chunks: they are gathered into one.
    buffer_.resize(max_chunk_);
    piece = buffer_.data();
    while (n < max_chunk_ && index_ < chunks_.size()) {
      const std::string& chunk = *chunks_[index_];
      const size_t take = std::min<size_t>(max_chunk_ - n, chunk.size() - offset_);
      std::memcpy(buffer_.data() + n, chunk.data() + offset_, take);
      n += take;
      offset_ += take;
      if (offset_ >= chunk.size()) {
        ++index_;
        offset_ = 0;
      }
    }
  }
  // Connected first: the delegate call is the last thing this sender does.
  connection_ = job_.get_delegate()->connect_on_drained(wrap([this] { send_next(); }));
  job_.get_delegate()->on_data_chunk(job_.job_id, piece, n);
}
