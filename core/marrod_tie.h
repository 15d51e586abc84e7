// bk_marrod_tie_t: the daemon's link to the suite's configuration daemon (MarroD)
// over the inherited, already-connected UNIX socket. It asks for the configuration
// and emits each new revision through config_changed, asks for the engine's and the
// cloud daemon's socket paths, and reports the application information and the
// per-second statistics. Losing the link ends the process (status 1); a protocol
// violation by the configuration daemon ends it too (status 8, 11 or 12).
//
// Owned by bk_inventory_t through a shared pointer; outstanding reads, writes and
// the delayed-appinfo wait keep it alive until they complete. Event loop (main
// thread) only; config_changed's slots run inside the read completion.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>

#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include "framework/basic_ipc_link.h"

namespace vl {
class BrelAppStat;
class BrelConfig;
class Marrod2BrelMessage;
}  // namespace vl

class bk_core_inventory_t;

class bk_marrod_tie_t : public std::enable_shared_from_this<bk_marrod_tie_t>,
                        public cf_local_ipc_link_t {
 public:
  // A socket path or, with a non-null exception, why there is none (the path is
  // then not to be used).
  using socket_path_callback_t =
      std::function<void(const std::exception_ptr&, const boost::filesystem::path&)>;
  using config_signal_t = boost::signals2::signal<void(const vl::BrelConfig&)>;

  // What the tie reports of the cluster, which is built above the core: the
  // central object answers for it. Called on the event loop only.
  class cluster_view_t {
   public:
    virtual ~cluster_view_t() = default;
    // The engine processes of the ready peers together.
    virtual std::uint32_t remote_forks() const = 0;
    // Peers are configured to take this host's jobs.
    virtual bool has_configured_servers() const = 0;
    // Connects `slot` to the cluster's signal that the set of peers or their
    // capacity may have changed.
    virtual boost::signals2::connection connect_state_changed(
        const std::function<void()>& slot) = 0;
  };

  // How long the first application information waits for an engine or peer count.
  static constexpr std::chrono::seconds kAppInfoDelay{5};

  // Takes over descriptor `fd` and starts reading. Throws
  // boost::system::system_error ("assign") when the descriptor cannot be wrapped.
  // REQUIRES: `inventory` outlives every use of the tie from its event loop.
  static std::shared_ptr<bk_marrod_tie_t> create(bk_core_inventory_t& inventory, int fd);
  ~bk_marrod_tie_t() override;

  // Sends GET_CONFIG_REQUEST; the answer is emitted through config_changed when its
  // revision differs from the last one accepted.
  void request_config();
  // Ask for the engine's / the cloud daemon's socket path. Only one request of a
  // kind is outstanding; every callback queued meanwhile gets the same answer, in
  // order of queuing. Callbacks run on the event loop, never inside the call.
  void request_se(socket_path_callback_t callback);
  void request_lumend(socket_path_callback_t callback);

  // Sends MY_INFO_NOTIFICATION unless it would repeat the last one, or both counts
  // are 0 while the first report is still being delayed.
  void send_app_info();
  // Starts the application-information reports: at once when there is neither a
  // local engine nor a configured peer, else at the first non-zero count or after
  // the delay. Called once, at the end of the first configuration.
  void first_config_processed();
  // Sends MY_STAT_NOTIFICATION with a copy of `stat`.
  void send_stat(const vl::BrelAppStat& stat);

  // Where the remote figures come from; without a view there is no cluster to
  // report. REQUIRES: `view` outlives every use of the tie from its event loop.
  void set_cluster_view(cluster_view_t* view) { cluster_view_ = view; }

  // The revision of the configuration last accepted; 0 before the first.
  std::uint32_t config_revision() const { return config_revision_; }
  // Tests shorten the delay of the first application information.
  void set_appinfo_delay(std::chrono::steady_clock::duration delay) { appinfo_delay_ = delay; }

  // Emitted with each accepted configuration, on the event loop.
  config_signal_t config_changed;

 private:
  // Tests hand the timer's handler a failure no real timer can be made to give.
  friend class bk_marrod_tie_test_access_t;

  explicit bk_marrod_tie_t(bk_core_inventory_t& inventory);

  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& code) override;
  std::shared_ptr<cf_local_ipc_link_t> shared_this() override;

  void on_config_response(const vl::Marrod2BrelMessage& message);
  void on_socket_path_response(const vl::Marrod2BrelMessage& message,
                               std::deque<socket_path_callback_t>& callbacks, const char* context);
  void send_request(int tag);
  void start_appinfo_timer();
  void on_appinfo_timer(const boost::system::error_code& error);

  // Figures of the engine front and the cluster, 0 / false while they are absent.
  std::uint32_t local_forks() const;
  std::uint32_t remote_forks() const;
  bool has_engine_or_peers() const;
  void subscribe_state_changes();

  // Constant after construction.
  bk_core_inventory_t& inventory_;
  // Set once by the central object.
  cluster_view_t* cluster_view_ = nullptr;

  // Event loop only.
  boost::asio::steady_timer appinfo_timer_;
  std::chrono::steady_clock::duration appinfo_delay_ = kAppInfoDelay;
  bool appinfo_delayed_ = false;
  std::uint32_t sent_revision_ = 0;
  std::uint32_t sent_local_forks_ = 0;
  std::uint32_t sent_remote_forks_ = 0;
  std::uint32_t config_revision_ = 0;
  std::deque<socket_path_callback_t> se_callbacks_;
  std::deque<socket_path_callback_t> lumend_callbacks_;
  boost::signals2::scoped_connection engine_state_connection_;
  boost::signals2::scoped_connection cluster_state_connection_;
};
