// bk_read_back_pump_t: the read-back pump of a local job. For a GET_DATA it opens
// cursors over the spool's segments, announces exactly the bytes they hold, and
// sends one chunk of at most the asked size each time the driver's send queue has
// drained, each read on the task-queue worker while the one before it goes out (at
// most one chunk ahead).
//
// A member of its bk_local_job_t, which it reports failures to through delegate_t;
// event loop only. It calls the job's driver directly. Its completions hold the job
// weakly and do nothing once it is gone; those of an ended reading are dropped.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <boost/signals2/connection.hpp>

#include "jobs/async_chain.h"
#include "jobs/spool.h"

class bk_local_job_t;

class bk_read_back_pump_t {
 public:
  class delegate_t {
   public:
    // The reading failed and has ended. The driver may drop the job during the call.
    virtual void on_read_back_failed(const std::exception_ptr& error) = 0;

   protected:
    ~delegate_t() = default;
  };

  // REQUIRES: `job`, `delegate` and `spool` outlive the pump.
  bk_read_back_pump_t(bk_local_job_t& job, delegate_t& delegate, bk_spool_t& spool);
  bk_read_back_pump_t(const bk_read_back_pump_t&) = delete;
  bk_read_back_pump_t& operator=(const bk_read_back_pump_t&) = delete;

  // A reading was started and has not ended.
  bool running() const { return opening_ || cursors_ != nullptr; }
  // Starts a reading in chunks of at most `max_chunk` bytes. `wait_for_spool`: the
  // spool's sizes are not the disk's yet, so the cursors are opened only at the
  // next on_spool_settled. REQUIRES: !running().
  void start(std::uint32_t max_chunk, bool wait_for_spool);
  void on_spool_settled();
  // Ends the reading, if any: nothing more of it is sent.
  void stop();

 private:
  struct chunk_t {
    std::shared_ptr<const std::string> data;
    // The reading has nothing more.
    bool last = false;
  };

  void open();
  void on_opened(const std::shared_ptr<bk_local_job_t>& self, std::uint64_t reading,
                 const util::outcome_t<bk_spool_t::reading_t>& result);
  void on_drained(std::uint64_t reading);
  void read_next_chunk(std::uint64_t reading);
  void on_chunk_read(std::uint64_t reading, util::outcome_t<chunk_t> result);
  void send_chunk(std::uint64_t reading);

  // Constant after construction.
  bk_local_job_t& job_;
  delegate_t& delegate_;
  bk_spool_t& spool_;

  // Event loop only (the flags last, packed).
  // Numbers the readings; completions of an ended reading are dropped.
  std::uint64_t reading_number_ = 0;
  // The open cursors, until the last chunk is read.
  bk_spool_t::reading_t cursors_;
  boost::signals2::scoped_connection drained_connection_;
  // A chunk read runs on the worker (chunk_reading_); its result waits in next_chunk_
  // for the next drained signal, or goes out at once when that signal came first
  // (chunk_wanted_).
  std::optional<util::outcome_t<chunk_t>> next_chunk_;
  std::uint32_t max_chunk_ = 0;
  bool chunk_reading_ = false;
  bool chunk_wanted_ = false;
  // The cursors are not open yet ...
  bool opening_ = false;
  // ... and are opened once the spool has settled.
  bool waiting_ = false;
};
