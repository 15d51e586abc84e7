// The two configuration handlers of the central object: the first configuration,
// set up while the process still has the privileges it was started with, and every
// later one, applied live to the running components or turned into a restart.
//
// Both run on the event loop inside bk_marrod_tie_t::config_changed. A component
// joins here with its start or reconfigure call at its place in the order below.

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "cluster/cluster.h"
#include "cluster/peer_acceptor.h"
#include "cluster/peer_connector.h"
#include "core/lumend.h"
#include "core/marrod_tie.h"
#include "core/scanner.h"
#include "core/stat_collector.h"
#include "framework/error.h"
#include "framework/log.h"
#include "framework/user_owner.h"
#include "jobs/client_acceptor_set.h"
#include "schemas/brel_config.pb.h"
#include "wiring/inventory.h"

namespace {

namespace fs = boost::filesystem;

// EACCES only: a permission error is what a restart under the starting user can
// mend; EPERM and the suite's own code do not count.
bool is_permission_error(const std::exception& e) {
  return exception_to_error_code(e) == boost::system::errc::permission_denied;
}

// An absent level reads as 0, which the log maps to Error.
int configured_threshold(const vl::BrelConfig& config) {
  return log_level_from_config(config.has_log_level() ? config.log_level() : 0);
}

void install_configured_log(const vl::BrelConfig& config) {
  // AUTO yields no back-end: install_log then keeps the one in place.
  install_log(create_log(config.actual_log(), cf_log_callback_t(), cf_log_callback_t()));
}

// One directory level: a missing parent is an error.
void make_spool_dir(const std::string& path) {
  if (!fs::exists(fs::status(path))) fs::create_directory(path);
}

// Drops root's supplementary groups before the group and the user: left in place
// they would keep every group of the starting user.
void switch_user(user_owner_t& owner) {
  const gid_t gid = owner_gid(owner);
  if (geteuid() == 0) {
    errno = 0;
    const passwd* entry = getpwuid(owner.uid);
    if (entry) {
      if (initgroups(entry->pw_name, gid) != 0) throw_errno("initgroups");
    } else if (setgroups(1, &gid) != 0) {
      throw_errno("setgroups");
    }
  }
  if (setgid(gid) != 0) throw_errno("setgid");
  if (setuid(owner.uid) != 0) throw_errno("setuid");
}

}  // namespace

void bk_inventory_t::apply_first_config(const boost::signals2::connection& self,
                                        const vl::BrelConfig& config) {
  self.disconnect();
  use_cloud = config.use_cloud();
  // Outside the guarded steps: an unknown user ends the process through main.
  user_owner_t owner = resolve_local_user(config.run_as_user());
  const bool switch_needed = owner.uid != uid;
  try {
    log_threshold = configured_threshold(config);
    // The log file belongs to the run-as user before this process opens it; the
    // open itself refuses a symbolic link planted at the path.
    if (switch_needed && config.actual_log().type() == vl::Log::FILE) {
      create_owned_file(owner, config.actual_log().path(), 0600);
    }
    install_configured_log(config);
    spool_dir_ = config.spool_dir();
    make_spool_dir(spool_dir_);
    // Listeners are bound while still privileged.
    client_acceptors->start(config);
    peer_acceptor->start(config);
    if (switch_needed) {
      take_ownership(spool_dir_, owner);
      switch_user(owner);
      CF_LOG(kLogDebug, "Run as user " + owner_to_string(owner));
    }
    scanner->reconfigure(config);
    peer_connector->start(config);
    cluster->restart(config);
    lumend->configure(config);
    stat_collector->start();
    wait_for_config_changes();
    marrod_tie->first_config_processed();
  } catch (const std::exception& e) {
    CF_LOG(kLogError, exception_text(e));
    if (switch_needed && is_permission_error(e)) {
      CF_LOG(kLogError, "Can not run as user " + owner_to_string(owner));
    }
    throw vl::EC_BAD_CONFIG;
  }
}

void bk_inventory_t::apply_config(const vl::BrelConfig& config) {
  use_cloud = config.use_cloud();
  try {
    const user_owner_t owner = resolve_local_user(config.run_as_user());
    // A new run-as user takes a new process.
    if (owner.uid != getuid()) throw bk_need_restart_t();
    try {
      log_threshold = configured_threshold(config);
      install_configured_log(config);
      if (fs::path(config.spool_dir()) != fs::path(spool_dir_)) {
        spool_dir_ = config.spool_dir();
        make_spool_dir(spool_dir_);
      }
      scanner->reconfigure(config);
      client_acceptors->apply(config);
      peer_acceptor->reconfigure(config);
      peer_connector->reconfigure(config);
      cluster->restart(config);
      lumend->configure(config);
      marrod_tie->send_app_info();
    } catch (const std::exception& e) {
      // What the unprivileged user may not do, the starting user may.
      if (privileges_dropped() && is_permission_error(e)) {
        CF_LOG(kLogDebug, std::string("Apply config: ") + exception_text(e));
        throw bk_need_restart_t();
      }
      throw;
    }
  } catch (const bk_need_restart_t&) {
    CF_LOG(kLogNotice, "Will restart for config changes to take effect");
    throw vl::EC_OK;
  } catch (const std::exception& e) {
    CF_LOG(kLogError, exception_text(e));
    throw vl::EC_BAD_CONFIG;
  }
}
