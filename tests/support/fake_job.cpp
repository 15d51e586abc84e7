#include "tests/support/fake_job.h"

#include <cstdint>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "tests/support/run_until.h"

bk_core_inventory_t& unused_inventory() {
  alignas(16) static unsigned char placeholder[1];
  return *reinterpret_cast<bk_core_inventory_t*>(placeholder);
}

bk_fake_job_t::bk_fake_job_t(boost::asio::io_context& io, uint32_t job_id, std::string name)
    : bk_job_t(job_id, unused_inventory()), io_(io), name_(std::move(name)) {}

bk_fake_job_t::~bk_fake_job_t() {
  if (on_destroy) on_destroy(*this);
}

void bk_fake_job_t::append_data(const std::shared_ptr<const std::string>& chunk) {
  if (on_append) on_append();
  chunks.push_back(chunk);
  stored += *chunk;
  unresumed.push_back(static_cast<uint32_t>(chunk->size()));
}

void bk_fake_job_t::scan(const bk::ScanOptions& options) {
  scans.push_back(options);
  scanned_at.push_back(stored.size());
}

void bk_fake_job_t::get_data(uint32_t max_chunk) {
  get_data_calls.push_back(max_chunk);
  if (!auto_read_back) return;
  reading_ = read_back ? *read_back : stored;
  read_offset_ = 0;
  read_max_ = max_chunk;
  boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    delegate_->on_get_data_response(job_id, reading_.size());
    if (!reading_.empty()) drained_ = delegate_->connect_on_drained([this] { send_next_chunk(); });
  });
}

void bk_fake_job_t::send_next_chunk() {
  if (read_offset_ >= reading_.size()) return;
  const std::string piece = reading_.substr(read_offset_, read_max_);
  read_offset_ += piece.size();
  if (read_offset_ >= reading_.size()) drained_.disconnect();
  send_chunk(piece);
}

void bk_fake_job_t::data_reset() {
  ++data_resets;
  drained_.disconnect();
  reading_.clear();
  boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) delegate_->on_data_reset_response(job_id);
  });
}

void bk_fake_job_t::acknowledge_all() {
  const std::vector<uint32_t> sizes = std::move(unresumed);
  unresumed.clear();
  for (uint32_t size : sizes) {
    delegate_->on_resume(size);
    delegate_->on_data_chunk_appended(job_id, size);
  }
}

void bk_fake_job_t::answer_scan(const vl::ScanReport& report) {
  vl::ScanReport answer = report;
  if (!answer.has_object()) answer.set_object("");
  delegate_->on_scan_response(job_id, answer, bk_hash_values_t{"SHA1", ""});
}

void bk_fake_job_t::alarm(vl::ErrorCode code, bool soft, const std::string& text) {
  delegate_->on_alarm(job_id, make_error_exception_ptr(make_error_code(code), text), soft);
}

vl::ErrorCode bk_recording_delegate_t::event_t::code() const {
  return exception_ptr_to_error_enum(error);
}

std::string bk_recording_delegate_t::event_t::text() const {
  return exception_ptr_text(error);
}

bk_recording_delegate_t::event_t& bk_recording_delegate_t::record(kind_t kind, uint32_t job_id,
                                                                  uint64_t size) {
  event_t& event = events.emplace_back();
  event.kind = kind;
  event.job_id = job_id;
  event.size = size;
  return event;
}

void bk_recording_delegate_t::on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                                               const bk_hash_values_t& hashes) {
  event_t& event = record(kScanResponse, job_id);
  event.report = report;
  event.hashes = hashes;
}

void bk_recording_delegate_t::on_alarm(uint32_t job_id, const std::exception_ptr& error,
                                       bool soft) {
  event_t& event = record(kAlarm, job_id);
  event.error = error;
  event.soft = soft;
  if (after_alarm) after_alarm(event_t(event));
}

std::vector<bk_recording_delegate_t::event_t> bk_recording_delegate_t::of(kind_t kind) const {
  std::vector<event_t> result;
  for (const event_t& event : events)
    if (event.kind == kind) result.push_back(event);
  return result;
}

size_t bk_recording_delegate_t::count(kind_t kind) const {
  size_t n = 0;
  for (const event_t& event : events) n += event.kind == kind;
  return n;
}

std::vector<uint64_t> bk_recording_delegate_t::sizes(kind_t kind) const {
  std::vector<uint64_t> result;
  for (const event_t& event : events)
    if (event.kind == kind) result.push_back(event.size);
  return result;
}

uint64_t bk_recording_delegate_t::acknowledged() const {
  uint64_t sum = 0;
  for (uint64_t size : sizes(kAppended)) sum += size;
  return sum;
}

std::string bk_recording_delegate_t::read_back() const {
  std::string data;
  for (const event_t& event : of(kDataChunk)) data += event.data;
  return data;
}

std::shared_ptr<bk_fake_job_t> bk_fake_cluster_t::add_node(boost::asio::io_context& io,
                                                           const std::string& name, node_t peer) {
  auto job = std::make_shared<bk_fake_job_t>(io, 7, name);
  nodes_[job.get()] = peer;
  script_.push_back({job, vl::EC_OK, {}});
  return job;
}

bk_master_job_t::services_t bk_fake_cluster_t::services(boost::asio::io_context& io) {
  bk_master_job_t::services_t services;
  services.io_context = &io;
  services.choose_node = [this](uint32_t, const std::set<bk_master_job_t::endpoint_t>& excluded,
                                bool never_local) -> std::shared_ptr<bk_job_t> {
    placements.push_back({excluded, never_local});
    if (next_ >= script_.size()) throw cf_proto_exception_t(exhausted, "Script used up");
    const entry_t& entry = script_[next_++];
    if (!entry.broken.empty()) throw std::runtime_error(entry.broken);
    if (!entry.job) throw cf_proto_exception_t(entry.code, "Scripted placement failure");
    return entry.job;
  };
  services.report_success = [this](const node_t& node) { successes.push_back(node); };
  services.report_failure = [this](const node_t& node) { failures.push_back(node); };
  services.node_of = [this](const bk_job_t& job) -> node_t {
    auto it = nodes_.find(&job);
    return it == nodes_.end() ? std::nullopt : it->second;
  };
  services.redirect_pause = std::chrono::milliseconds(1);
  return services;
}

bk_master_job_t::endpoint_t test_peer(int host) {
  return {boost::asio::ip::make_address("127.0.0." + std::to_string(host)), 7400};
}

bk_master_rig_t::bk_master_rig_t(bool soft_error) {
  job = std::make_shared<bk_master_job_t>(unused_inventory(), 7, cluster.services(io));
  job->set_delegate(&client);
  job->set_soft_error(soft_error);
  client.after_alarm = [this](const bk_recording_delegate_t::event_t& event) {
    if (!event.soft) job.reset();
  };
}

bool bk_master_rig_t::run_until(const std::function<bool()>& done) {
  return ::run_until(io, done, std::chrono::seconds(2));
}

void bk_master_rig_t::poll() {
  io.restart();
  io.poll();
}

bool bk_master_rig_t::store_all(bk_fake_job_t& executor, size_t size) {
  return run_until([&] {
    if (executor.stored.size() >= size && executor.unresumed.empty()) return true;
    executor.acknowledge_all();
    return false;
  });
}

std::string bk_master_rig_t::read_back() {
  if (!run_until([&] { return count(kind_t::kGetDataResponse) > 0; })) return "(no answer)";
  for (size_t chunks = SIZE_MAX; chunks != count(kind_t::kDataChunk);) {
    chunks = count(kind_t::kDataChunk);
    client.drained();
    poll();
  }
  return client.read_back();
}
