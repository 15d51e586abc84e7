// In-memory stand-ins for both sides of the job interface, and a master job rig.
//
// bk_fake_job_t is an executor a test scripts: it records what it is asked, keeps
// the bytes appended to it and makes the callbacks the test calls for.
// bk_recording_delegate_t records every callback a job makes, in order; the test
// emits its drained signal by hand. Event-loop thread only.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/signals2/signal.hpp>

#include "core/hash_values.h"
#include "jobs/job.h"
#include "jobs/master_job.h"
#include "schemas/brel_client_ipc.pb.h"
#include "schemas/scan_report.pb.h"

// A reference for constructors that keep but never touch the central object.
bk_core_inventory_t& unused_inventory();

class bk_fake_job_t : public bk_job_t {
 public:
  // `io` carries the posted answers of the automatic read-back.
  bk_fake_job_t(boost::asio::io_context& io, uint32_t job_id, std::string name = "Fake job");
  ~bk_fake_job_t() override;

  std::string name() const override { return name_; }
  std::string describe() const override { return "fake"; }
  uint64_t data_size() const override { return stored.size(); }
  uint32_t scan_request_count() const override { return static_cast<uint32_t>(scans.size()); }
  void append_data(const std::shared_ptr<const std::string>& chunk) override;
  void scan(const bk::ScanOptions& options) override;
  void get_data(uint32_t max_chunk) override;
  void data_reset() override;
  void reset() override { ++resets; }

  // Scripted callbacks to the current delegate.
  // on_resume for every unacknowledged chunk, then its acknowledgement.
  void acknowledge_all();
  void acknowledge(uint32_t n) { delegate_->on_data_chunk_appended(job_id, n); }
  void answer_scan(const vl::ScanReport& report = vl::ScanReport());
  void alarm(vl::ErrorCode code, bool soft = false, const std::string& text = "fake failure");
  // A hand-made read-back, for get_data without auto_read_back.
  void respond(uint64_t size) { delegate_->on_get_data_response(job_id, size); }
  void send_chunk(const std::string& data) {
    delegate_->on_data_chunk(job_id, data.data(), data.size());
  }

  // What the job was asked, in order.
  std::vector<std::shared_ptr<const std::string>> chunks;
  std::vector<bk::ScanOptions> scans;
  // Bytes appended before each scan.
  std::vector<uint64_t> scanned_at;
  std::vector<uint32_t> get_data_calls;
  uint32_t data_resets = 0;
  uint32_t resets = 0;
  std::string stored;
  std::vector<uint32_t> unresumed;

  // When set, get_data answers like a local job: a posted response with the size
  // of `read_back` (or `stored`), then one chunk per drained signal; data_reset
  // stops it and posts its answer.
  bool auto_read_back = true;
  std::optional<std::string> read_back;
  // Called at the start of every append_data (for synchronous failures).
  std::function<void()> on_append;
  // Called by the destructor.
  std::function<void(bk_fake_job_t&)> on_destroy;

 private:
  void send_next_chunk();

  boost::asio::io_context& io_;
  const std::string name_;
  std::string reading_;
  size_t read_offset_ = 0;
  uint32_t read_max_ = 0;
  boost::signals2::scoped_connection drained_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class bk_recording_delegate_t : public bk_job_t::delegate {
 public:
  enum kind_t {
    kGetDataResponse,
    kDataChunk,
    kScanResponse,
    kAppended,
    kAlarm,
    kRedirectBegin,
    kRedirectEnd,
    kResume,
    kDataResetResponse
  };
  struct event_t {
    kind_t kind = kGetDataResponse;
    uint32_t job_id = 0;
    // Size of a read-back, chunk, acknowledgement or resume.
    uint64_t size = 0;
    std::string data;
    vl::ScanReport report;
    bk_hash_values_t hashes;
    std::exception_ptr error;
    bool soft = false;
    vl::ErrorCode code() const;
    std::string text() const;
  };

  void on_get_data_response(uint32_t job_id, uint64_t size) override {
    record(kGetDataResponse, job_id, size);
  }
  void on_data_chunk(uint32_t job_id, const char* data, uint64_t size) override {
    record(kDataChunk, job_id, size).data.assign(data, size);
  }
  void on_scan_response(uint32_t job_id, const vl::ScanReport& report,
                        const bk_hash_values_t& hashes) override;
  void on_data_chunk_appended(uint32_t job_id, uint32_t size) override {
    record(kAppended, job_id, size);
  }
  void on_alarm(uint32_t job_id, const std::exception_ptr& error, bool soft) override;
  boost::signals2::connection connect_on_drained(const std::function<void()>& callback) override {
    return drained.connect(callback);
  }
  void on_resume(uint32_t size) override { record(kResume, 0, size); }
  void on_redirect_begin(uint32_t job_id) override { record(kRedirectBegin, job_id); }
  void on_redirect_end(uint32_t job_id) override { record(kRedirectEnd, job_id); }
  void on_data_reset_response(uint32_t job_id) override { record(kDataResetResponse, job_id); }

  // Events of one kind, in order; their count; their sizes.
  std::vector<event_t> of(kind_t kind) const;
  size_t count(kind_t kind) const;
  std::vector<uint64_t> sizes(kind_t kind) const;
  // Sum of the acknowledged bytes, and the read-back chunks joined.
  uint64_t acknowledged() const;
  std::string read_back() const;

  std::vector<event_t> events;
  boost::signals2::signal<void()> drained;
  // Called after an alarm was recorded (a tie drops the job on a hard one).
  std::function<void(const event_t&)> after_alarm;

 private:
  event_t& record(kind_t kind, uint32_t job_id, uint64_t size = 0);
};

// Node choice for master jobs: each placement takes the next scripted entry (an
// executor here or on a peer, or an error code to throw); outcomes are recorded.
class bk_fake_cluster_t {
 public:
  using node_t = bk_master_job_t::node_t;
  struct placement_t {
    std::set<bk_master_job_t::endpoint_t> excluded;
    bool never_local = false;
  };

  // `peer` empty: the executor runs on this host.
  std::shared_ptr<bk_fake_job_t> add_node(boost::asio::io_context& io, const std::string& name,
                                          node_t peer = std::nullopt);
  void add_failure(vl::ErrorCode code) { script_.push_back({nullptr, code, {}}); }
  // A node whose executor cannot be made: the placement throws std::runtime_error.
  void add_broken_node(const std::string& text) { script_.push_back({nullptr, vl::EC_OK, text}); }
  // Redirects pause a millisecond.
  bk_master_job_t::services_t services(boost::asio::io_context& io);

  // Thrown once the script is used up.
  vl::ErrorCode exhausted = vl::EC_UNEXPECTED_ERROR;
  std::vector<placement_t> placements;
  std::vector<node_t> successes;
  std::vector<node_t> failures;

 private:
  struct entry_t {
    std::shared_ptr<bk_fake_job_t> job;
    vl::ErrorCode code = vl::EC_OK;
    std::string broken;
  };
  std::vector<entry_t> script_;
  size_t next_ = 0;
  std::map<const bk_job_t*, node_t> nodes_;
};

// A peer endpoint for tests: 127.0.0.<host>:7400.
bk_master_job_t::endpoint_t test_peer(int host);

// A master job on a fake cluster with a recording client, which drops the job when
// a hard alarm reaches it, as a client tie does.
class bk_master_rig_t {
 public:
  using kind_t = bk_recording_delegate_t::kind_t;

  explicit bk_master_rig_t(bool soft_error = false);

  std::shared_ptr<bk_fake_job_t> node(const std::string& name,
                                      bk_fake_cluster_t::node_t peer = std::nullopt) {
    return cluster.add_node(io, name, peer);
  }
  // One DATA_CHUNK.
  void send(const std::string& data) {
    job->append_data(std::make_shared<const std::string>(data));
  }
  // Runs the loop until `done`, at most two seconds; false on time-out.
  bool run_until(const std::function<bool()>& done);
  void poll();
  // Runs the loop, acknowledging whatever `executor` gets, until it holds `size`
  // bytes and acknowledged them all.
  bool store_all(bk_fake_job_t& executor, size_t size);
  // Runs the loop until the job answered a read-back, then drains the client's
  // queue until no more data comes; the bytes read back.
  std::string read_back();
  // The recorded events of one kind.
  size_t count(kind_t kind) const { return client.count(kind); }
  bk_recording_delegate_t::event_t alarm(size_t i = 0) const {
    return client.of(kind_t::kAlarm).at(i);
  }

  boost::asio::io_context io;
  bk_fake_cluster_t cluster;
  bk_recording_delegate_t client;
  std::shared_ptr<bk_master_job_t> job;
};
