// Sends a job's kept chunks back to its driver as a read-back: the size at once,
// then one piece of at most max_chunk bytes each time the driver's send queue has
// drained, cut regardless of the chunks' borders. A master job whose data no
// executor holds serves a soft-error client's GET_DATA with it.
//
// Owned by that job, which destroys it when the read-back is reset or replaced, or
// from `done` after the last piece. Event loop only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "jobs/callback_wrapper.h"
#include "jobs/chunk_buffer.h"
#include "jobs/job.h"

class bk_chunk_sender_t : public bk_callback_wrapper_t {
 public:
  // Answers the read-back's size through `job`'s delegate at once and sends the
  // first piece once its queue has drained; calls `done` after the last piece.
  // REQUIRES: `job` and its delegate outlive the sender; `data` is not changed
  // before `done`.
  bk_chunk_sender_t(bk_job_t& job, const bk_chunk_buffer_t& data, uint32_t max_chunk,
                    std::function<void()> done);
  ~bk_chunk_sender_t();
  bk_chunk_sender_t(const bk_chunk_sender_t&) = delete;
  bk_chunk_sender_t& operator=(const bk_chunk_sender_t&) = delete;

 private:
  void send_next();

  // Constant after construction.
  bk_job_t& job_;
  const uint32_t max_chunk_;
  const std::function<void()> done_;

  // Event loop only.
  boost::signals2::connection connection_;
  // Gathers a piece that spans chunks; allocated at the first such piece.
  std::vector<char> buffer_;
  // The bytes to send: chunks_[index_] from offset_ on, then the rest.
  std::vector<std::shared_ptr<const std::string>> chunks_;
  size_t index_ = 0;
  size_t offset_ = 0;
};
