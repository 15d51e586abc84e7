// The remote job's operations in the order a driver uses them, then the answers
// the tie-out routes back to it.
#include "cluster/remote_job.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <sstream>

#include "cluster/peer_protocol.h"
#include "cluster/peer_tie_out.h"
#include "framework/error.h"
#include "framework/exception.h"
#include "framework/log.h"

namespace {

// Process-wide; event loop only. The first remote job is "Remote job 0x1".
uint32_t remote_job_counter = 0;

std::string next_remote_job_name() {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, ++remote_job_counter, 16).ptr;
  return "Remote job 0x" + std::string(digits, end);
}

}  // namespace

bk_remote_job_t::bk_remote_job_t(bk_core_inventory_t& inventory, uint32_t job_id,
                                 const std::shared_ptr<bk_peer_tie_out_t>& tie_out, uint32_t serial)
    : bk_job_t(job_id, inventory),
      serial_(serial),
      tie_out_(tie_out),
      peer_(tie_out->remote_endpoint()),
      name_(next_remote_job_name()) {
  CF_LOG(kLogDebug, name_ + ": " + describe());
}

bk_remote_job_t::~bk_remote_job_t() {
  // No shared_from_this here: reset only reads the job's own figures.
  reset();
  CF_LOG(kLogDebug, name_ + ": Destroyed");
}

std::string bk_remote_job_t::describe() const {
  std::ostringstream text;
  text << "peer " << peer_ << ", remote_id " << serial_;
  return text.str();
}

template <class Send, class Undo>
bool bk_remote_job_t::send_or_fail(const Send& send, const Undo& undo) {
  try {
    send();
    return true;
  } catch (const std::exception&) {
    undo();
    fail(std::current_exception());
    return false;
  }
}

void bk_remote_job_t::append_data(const std::shared_ptr<const std::string>& chunk) {
  const std::shared_ptr<bk_peer_tie_out_t> tie = live_tie();
  if (!tie) return;
  // A client chunk may hold up to 64 MiB, a peer frame at most 10 MiB: each piece
  // goes as its own DATA_CHUNK and is resumed on its own, so the resumed sizes
  // still add up to the chunk. An empty chunk still goes, as one empty piece.
  const uint64_t size = chunk->size();
  uint64_t offset = 0;
  do {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size - offset, kPeerMaxDataPiece));
    bytes_ += piece;
    if (!send_or_fail([&] { tie->send_data_chunk(serial_, chunk, offset, piece); },
                      [&] { bytes_ -= piece; })) {
      return;
    }
    offset += piece;
  } while (offset < size);
}

void bk_remote_job_t::scan(const bk::ScanOptions& options) {
  CF_LOG(kLogDebug, name_ + ": Scan");
  const std::shared_ptr<bk_peer_tie_out_t> tie = live_tie();
  if (!tie) return;
  // Counted first: the tie-out's estimate reads the count including this request.
  ++scans_;
  send_or_fail([&] { tie->send_scan_request(serial_, options); }, [&] { --scans_; });
}

void bk_remote_job_t::get_data(uint32_t) {
  CF_LOG(kLogDebug, name_ + ": GetData");
  if (const std::shared_ptr<bk_peer_tie_out_t> tie = live_tie()) {
    send_or_fail([&] { tie->send_get_data_request(serial_); }, [] {});
  }
}

void bk_remote_job_t::data_reset() {
  CF_LOG(kLogDebug, name_ + ": DataReset");
  if (const std::shared_ptr<bk_peer_tie_out_t> tie = live_tie()) {
    send_or_fail([&] { tie->send_data_reset_request(serial_); }, [] {});
  }
}

void bk_remote_job_t::reset() {
  if (reset_sent_) return;
  const std::shared_ptr<bk_peer_tie_out_t> tie = tie_out_.lock();
  // The link's end reset the job on the peer already.
  if (!tie) return;
  CF_LOG(kLogDebug, name_ + ": Reset");
  reset_sent_ = true;
  tie->send_reset_request(*this);
}

std::shared_ptr<bk_peer_tie_out_t> bk_remote_job_t::live_tie() {
  std::shared_ptr<bk_peer_tie_out_t> tie = tie_out_.lock();
  if (!tie) {
    fail(std::make_exception_ptr(
        cf_proto_exception_t(vl::EC_LINK_DISCONNECTED, "Peer has disconnected")));
  }
  return tie;
}

void bk_remote_job_t::fail(const std::exception_ptr& error) {
  // The driver may drop the job during the call.
  const std::shared_ptr<bk_remote_job_t> self = weak_from_this().lock();
  CF_LOG(kLogDebug, name_ + ": Failed: " + exception_ptr_text(error));
  delegate_->on_alarm(job_id, error, false);
}

void bk_remote_job_t::on_data_chunk(const char* data, uint64_t size) {
  delegate_->on_data_chunk(job_id, data, size);
}

void bk_remote_job_t::on_data_chunk_appended(uint64_t size) {
  const std::shared_ptr<bk_remote_job_t> self = weak_from_this().lock();
  bk_job_t::delegate* const driver = delegate_;
  // The delegate counts in 32 bits: a larger size goes in parts that add up to it,
  // for as long as the same driver holds the job.
  do {
    const auto part =
        static_cast<uint32_t>(std::min<uint64_t>(size, std::numeric_limits<uint32_t>::max()));
    size -= part;
    driver->on_data_chunk_appended(job_id, part);
  } while (size > 0 && self && delegate_ == driver);
}

void bk_remote_job_t::on_resume(uint32_t size) {
  delegate_->on_resume(size);
}

void bk_remote_job_t::on_scan_report(const vl::ScanReport& report, const bk_hash_values_t& hashes) {
  CF_LOG(kLogDebug, name_ + ": Scan report received");
  // A peer may answer more scans than were asked.
  if (scans_ > 0) --scans_;
  delegate_->on_scan_response(job_id, report, hashes);
}

void bk_remote_job_t::on_alarm(const std::exception_ptr& error, bool soft) {
  CF_LOG(kLogDebug,
         name_ + (soft ? ": Soft alarm" : ": Alarm") + " received: " + exception_ptr_text(error));
  delegate_->on_alarm(job_id, error, soft);
}

void bk_remote_job_t::on_data_response(uint64_t size) {
  CF_LOG(kLogDebug, name_ + ": Data response received " + std::to_string(size));
  delegate_->on_get_data_response(job_id, size);
}

void bk_remote_job_t::on_data_reset() {
  CF_LOG(kLogDebug, name_ + ": Data reset confirmed");
  delegate_->on_data_reset_response(job_id);
}
