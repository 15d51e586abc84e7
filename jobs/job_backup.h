// The replay of a redirect: moves a master job's data into a new executor after the
// old one failed, and issues the client's requests to it at the offsets where the
// client made them.
//
// The data lives in two places: the failed executor (the source job) still holds
// what it stored, the master's chunk buffer holds what it had not acknowledged. The
// backup reads the source job back, drops the part of the kept chunks the source
// already had, and feeds the rest after it, in order and without duplicates, into
// the new executor, cut wherever a request of the client falls due; it counts the
// new executor's acknowledgements until the whole data size is stored. The master
// takes part only through master_t.
//
// Owned by its master job (from the first failure until the redirect finishes or
// the job ends); the delegate of its source job meanwhile. Event loop only. Every
// call into the master may detach the backup or start its replay over: nothing of
// the replay under way is touched after one that did.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/signals2/signal.hpp>

#include "jobs/callback_wrapper.h"
#include "jobs/chunk_buffer.h"
#include "jobs/job.h"

// A master job's data, shared by the master and its backup.
struct bk_job_data_t {
  // Bytes of the job's data; 0 from the first chunk on, unknown after a cure was
  // answered until a read-back tells.
  std::optional<uint64_t> size = 0;
  // Appended by the client and not yet acknowledged to it.
  uint64_t unacknowledged = 0;
  // Client chunks the executor has not acknowledged yet.
  bk_chunk_buffer_t kept;
};

class bk_job_backup_t : public bk_job_t::delegate, public bk_callback_wrapper_t {
 public:
  using chunk_t = std::shared_ptr<const std::string>;

  // What the backup needs of its master job. Called on the event loop; every call
  // but epoch and next_request_at may move the job on.
  class master_t {
   public:
    // Hands one piece of the replayed data to the new executor.
    virtual void hand_on(const chunk_t& piece) = 0;
    // The offset of the replayed data at which the client's next request falls due;
    // none when no request waits for an offset.
    virtual std::optional<uint64_t> next_request_at() = 0;
    // Issues the client's requests that fall due once `forwarded` bytes of the
    // replayed data were handed on.
    virtual void issue_requests_due(uint64_t forwarded) = 0;
    // Changes whenever the job moves on (another replay, the end of the redirect,
    // the end of the job).
    virtual uint64_t epoch() const = 0;
    // The new executor stored all the data.
    virtual void on_redirect_finished() = 0;
    // The source job failed, or the sizes did not add up.
    virtual void on_redirect_error(const std::exception_ptr& error) = 0;

   protected:
    ~master_t() = default;
  };

  // Takes the failed executor `job` (may be null). When the master keeps every
  // byte, the source job is released at once and never asked.
  // REQUIRES: `master` owns the backup; `io` outlives it; `data` is not null.
  bk_job_backup_t(master_t& master, boost::asio::io_context& io, std::shared_ptr<bk_job_t> job,
                  std::shared_ptr<bk_job_data_t> data);
  ~bk_job_backup_t() override;
  bk_job_backup_t(const bk_job_backup_t&) = delete;
  bk_job_backup_t& operator=(const bk_job_backup_t&) = delete;

  const std::string& name() const { return name_; }
  // The failed executor still held, or null.
  const std::shared_ptr<bk_job_t>& source_job() const { return job_; }
  // Gives the source job up (for the master to take it back).
  std::shared_ptr<bk_job_t> take_source_job();
  // data.size when the backup was made: what the source job was handed.
  std::optional<uint64_t> source_size() const { return source_size_; }
  // Bytes the source job acknowledged to the backup: stored, though the master
  // never heard of them.
  uint64_t source_acknowledged() const { return source_acknowledged_; }
  // A replay asked the source job for its data; it may still be sending it.
  bool source_read() const { return source_read_; }

  // (Re)starts the replay into the master's current executor from the beginning;
  // callbacks of an earlier replay are dropped.
  void start();
  // The new executor stored one more chunk.
  void on_resume(uint32_t size) override;
  // The new executor acknowledged `n` bytes.
  void on_acknowledged(uint64_t n);
  // Cuts the backup off from its master for good: every later call does nothing.
  void detach();

 private:
  // As the source job's delegate.
  BK_JOB_DELEGATE_OPERATIONS
  void on_data_reset_response(uint32_t job_id) override;

  void pump();
  // Hands the `size` bytes at `data` on in pieces, issuing each request where it
  // falls due; `whole`, when not null, holds exactly those bytes and goes on itself
  // when nothing cuts it. REQUIRES: the bytes stay valid during the call.
  void feed(const char* data, size_t size, const chunk_t* whole);
  bool moved_on(uint64_t epoch) const;
  void finish();
  void corrupted(const std::string& text);

  // Constant after construction.
  boost::asio::io_context& io_;
  const std::shared_ptr<bk_job_data_t> data_;
  const std::optional<uint64_t> source_size_;
  std::string name_;

  // Event loop only.
  // Null once detached.
  master_t* master_;
  // Lets the source job send its next chunk. Declared before job_, which may hold
  // a connection to it until the end.
  boost::signals2::signal<void()> drained_;
  std::shared_ptr<bk_job_t> job_;
  bool active_ = false;
  // The source job's read-back size came in this replay.
  bool response_received_ = false;
  uint64_t pending_ = 0;
  uint64_t acknowledged_ = 0;
  uint64_t in_flight_ = 0;
  // Bytes handed to the new executor in this replay.
  uint64_t forwarded_ = 0;
  // Over the backup's whole life, across replays.
  uint64_t source_acknowledged_ = 0;
  bool source_read_ = false;
};
