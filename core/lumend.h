// bk_lumend_t: the cloud-lookup manager. Asks the suite's cloud-lookup daemon
// whether a file, known by its SHA-1 and size, is a known threat, and hides the
// link's life from its callers: it gets the daemon's socket path from the
// configuration daemon when the first check needs it, connects (without making the
// event loop wait, also on a full listen backlog), queues checks meanwhile, puts a
// deadline (a timer of its own) on every check, drops the link after it has idled
// for 30 s and stops using the cloud for 10 s after more than ten failures in a row.
//
// Owned by bk_inventory_t for the life of the service mode. Event loop only.
// Every check is answered exactly once through its callback; callbacks run on the
// event loop and may call `check` again.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "core/lumend_tie.h"

class bk_core_inventory_t;

namespace vl {
class BrelConfig;
}

// How long the manager waits; the defaults are the daemon's, tests shorten them.
struct bk_lumend_timing_t {
  // A link with no check pending for this long is dropped.
  std::chrono::milliseconds release{std::chrono::seconds(30)};
  // A suspension ends after this long.
  std::chrono::milliseconds recovery{std::chrono::seconds(10)};
};

class bk_lumend_t : public bk_lumend_tie_t::delegate_t {
 public:
  // The answer to one check. `result`:
  //   - success (EC_OK, "vl.Error"): the lookup completed; `virus` is engaged when the
  //     file is a known threat, empty when it is clean;
  //   - any other "vl.Error" value the cloud daemon gave (EC_NETWORK_TIMEDOUT ...);
  //   - EC_NO_LUMEND: the cloud is switched off, suspended or could not be reached;
  //   - EC_LINK_DISCONNECTED or another link error: the link failed before the answer;
  //   - ETIMEDOUT (system category): no answer within the check's timeout;
  //   - EC_APP_TERMINATED: the manager is being destroyed.
  // Every failure means "no cloud answer"; the caller goes on without one.
  using callback_t = std::function<void(const boost::system::error_code& result,
                                        const std::optional<vl::Virus>& virus)>;
  // Receives the cloud daemon's socket path, or the reason there is none.
  using path_callback_t =
      std::function<void(const std::exception_ptr& error, const boost::filesystem::path& path)>;
  // Asks for the socket path; answers later, on the event loop, exactly once.
  using path_source_t = std::function<void(path_callback_t)>;

  // The timeout the local job gives every check.
  static constexpr std::uint64_t kCheckTimeoutMs = 3000;

  // Takes the event loop and the configuration link from the central object.
  explicit bk_lumend_t(bk_core_inventory_t& inventory);
  // REQUIRES: `io` outlives the manager.
  bk_lumend_t(boost::asio::io_context& io, path_source_t path_source,
              bk_lumend_timing_t timing = bk_lumend_timing_t());
  // Answers every pending and queued check with EC_APP_TERMINATED.
  ~bk_lumend_t() override;
  bk_lumend_t(const bk_lumend_t&) = delete;
  bk_lumend_t& operator=(const bk_lumend_t&) = delete;

  // Takes `use_cloud`; switching it off answers every pending and queued check with
  // EC_NO_LUMEND at once.
  void configure(const vl::BrelConfig& config);

  // Asks the cloud about a file by its upper-case hexadecimal SHA-1 and its size.
  // `callback` is called exactly once: never from inside this call when the cloud is
  // off or suspended (the refusal is posted), at the latest `timeout_ms` after the
  // check went out. Throws only when the request cannot be framed (then the callback
  // is not called).
  void check(const std::string& sha1, std::uint64_t size, callback_t callback,
             std::uint64_t timeout_ms = kCheckTimeoutMs);

  // For tests and diagnostics.
  bool is_enabled() const { return enabled; }
  bool suspended() const { return error_count > kMaxErrors; }
  bool linked() const { return static_cast<bool>(tie); }
  std::size_t pending_count() const { return pending.size(); }
  std::size_t waiting_count() const { return waiting.size(); }
  // Tests: the serial the link's next check takes, as if its counter had come
  // round; nothing without a link.
  void set_next_serial(std::uint32_t serial) {
    if (tie) tie->set_next_serial(serial);
  }

 private:
  // Consecutive failures tolerated; one more suspends the manager.
  static constexpr std::int32_t kMaxErrors = 10;
  // What the count restarts from after a suspension: three more failures suspend again.
  static constexpr std::int32_t kRecoveredErrors = 8;

  struct queued_check_t {
    std::string sha1;
    std::uint64_t size;
    callback_t callback;
    std::uint64_t timeout_ms;
  };

  // A check sent and not answered yet.
  struct pending_check_t {
    callback_t callback;
    // Tells this check from a later one given the same serial by another link.
    std::uint64_t number;
    // Expires at the check's deadline; destroying it with the entry cancels the wait.
    boost::asio::steady_timer deadline;
  };

  void set_enabled(bool use_cloud);
  void acquire_lumend();
  void on_lumend_path(const std::exception_ptr& error, const boost::filesystem::path& path);
  void on_lumend_connected(const std::exception_ptr& failure);
  // Acquisition failed: the checks waiting for it are answered with EC_NO_LUMEND.
  void lumend_unavailable(const std::exception_ptr& error);
  void flush_queue();
  void on_check_result(std::uint32_t serial, const boost::system::error_code& result,
                       const std::optional<vl::Virus>& virus) override;
  void on_link_error(const boost::system::error_code& error) override;
  void on_check_timer(std::uint32_t serial, std::uint64_t number,
                      const boost::system::error_code& error);
  void count_error(const boost::system::error_code& error);
  void fail_all(const boost::system::error_code& error);
  void drop_link();

  // Arms one of the two link timers; `expired` runs once `interval` has passed,
  // unless the timer was armed again meanwhile or its wait failed (logged at Error
  // under `name`).
  void start_timer(boost::asio::steady_timer& timer, std::chrono::milliseconds interval,
                   const char* name, void (bk_lumend_t::*expired)());
  void on_timer(const boost::asio::steady_timer& timer, const char* name,
                void (bk_lumend_t::*expired)(), const boost::system::error_code& error);
  void arm_release_timer();
  // The link idled for its time.
  void release_link();
  void arm_recovery_timer();
  // A suspension ends.
  void recover();

  // Event loop only.
  bool enabled = false;
  bool acquiring = false;
  std::deque<queued_check_t> waiting;
  std::map<std::uint32_t, pending_check_t> pending;
  std::uint64_t checks_sent = 0;
  std::shared_ptr<bk_lumend_tie_t> tie;
  // The link while its connect is under way; checks wait in `waiting` meanwhile.
  std::shared_ptr<bk_lumend_tie_t> connecting;
  boost::asio::io_context& io;
  boost::asio::steady_timer release_timer;
  boost::asio::steady_timer recovery_timer;
  std::int32_t error_count = 0;
  // Constant after construction.
  const path_source_t path_source;
  const bk_lumend_timing_t timing;
  // Handlers hold a weak reference: a completion after destruction is dropped.
  std::shared_ptr<bk_lumend_t*> self;
};
