// The run-as owner of the daemon's files, and the helpers that resolve it from the
// configuration and hand files and the spool tree over to it.
//
// `user_owner_t` is a plain value owned by the caller. The functions consult the
// user database (getpwnam/getpwuid, not reentrant) and so are called from the main
// thread only, while a configuration is applied.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>

namespace vl {
class LocalUser;
}

struct user_owner_t {
  std::uint32_t uid = 0;
  // `gid` means something only when `has_gid` is set; owner_gid fills it lazily.
  bool has_gid = false;
  std::uint32_t gid = 0;
};

// A configured uid is taken as it stands, with no lookup; otherwise the name is
// looked up. Throws std::runtime_error for an unknown name, and cf_proto_exception_t
// with EC_BAD_CONFIG for a uid that is no valid user id (negative, beyond 32 bits,
// or the (uid_t)-1 "no change" value), which must never be cut down to another one.
user_owner_t resolve_local_user(const vl::LocalUser& user);

// The owner's primary group, looked up and remembered on first use.
// Throws std::runtime_error when the uid has no user entry.
std::uint32_t owner_gid(user_owner_t& owner);

// "1001", or "1001:1001" once the group is known.
std::string owner_to_string(const user_owner_t& owner);

// Creates `path` exclusively with `mode` and gives it to the owner; an existing file
// is left as it is. A failed fchown is only logged.
// Throws boost::filesystem::filesystem_error ("open"), or what owner_gid throws.
void create_owned_file(user_owner_t& owner, const boost::filesystem::path& path, mode_t mode);

// Gives `path` itself to the owner; a symbolic link is changed, never its target.
// Throws boost::filesystem::filesystem_error ("chown"), or what owner_gid throws.
void change_owner(const boost::filesystem::path& path, user_owner_t& owner);

// Gives the directory tree at `root` to the owner: the root, and every directory
// and regular file below it that belongs to someone else. Symbolic links, devices,
// sockets and pipes are left alone and never followed.
// Throws boost::filesystem::filesystem_error, or what owner_gid throws. A failure
// halfway leaves the entries changed so far with the owner.
void take_ownership(const boost::filesystem::path& root, user_owner_t& owner);
