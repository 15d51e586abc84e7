#include "framework/user_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sstream>

#include <boost/filesystem/operations.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "framework/fd_closer.h"
#include "framework/log.h"
#include "schemas/local_user.pb.h"

namespace fs = boost::filesystem;

namespace {

boost::system::error_code last_error() {
  return boost::system::error_code(errno, boost::system::system_category());
}

// The path as Boost.Filesystem prints it: in double quotes, '&' escaping.
std::string quoted(const fs::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

class dir_closer_t {
 public:
  explicit dir_closer_t(DIR* dir) : dir_(dir) {}
  ~dir_closer_t() { ::closedir(dir_); }
  dir_closer_t(const dir_closer_t&) = delete;
  dir_closer_t& operator=(const dir_closer_t&) = delete;

 private:
  DIR* dir_;
};

bool belongs_to(const struct stat& st, std::uint32_t uid, std::uint32_t gid) {
  return st.st_uid == uid && st.st_gid == gid;
}

// The spool tree belongs to the user we hand it to, and that user may rename or
// replace its entries while we, still privileged, walk it. So the walk goes through
// directory descriptors opened without following links, and every change is made
// relative to the directory it was found in: a link planted anywhere in the tree
// can never lead the walk, or a chown, outside it.
// REQUIRES: `dir_fd` is open on `dir`; it stays the caller's.
void take_entries(int dir_fd_in, const fs::path& dir, std::uint32_t uid, std::uint32_t gid) {
  const int fd = ::openat(dir_fd_in, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw fs::filesystem_error("opendir", dir, last_error());
  DIR* stream = ::fdopendir(fd);
  if (!stream) {
    const auto error = last_error();
    ::close(fd);
    throw fs::filesystem_error("opendir", dir, error);
  }
  dir_closer_t closer(stream);
  const int dir_fd = ::dirfd(stream);
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(stream);
    if (!entry) {
      if (errno != 0) throw fs::filesystem_error("readdir", dir, last_error());
      return;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const fs::path path = dir / name;
    struct stat st;
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      throw fs::filesystem_error("lstat", path, last_error());
    const bool is_dir = S_ISDIR(st.st_mode);
    if (!is_dir && !S_ISREG(st.st_mode)) continue;
    if (!belongs_to(st, uid, gid)) {
      if (::fchownat(dir_fd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
        throw fs::filesystem_error("chown", path, last_error());
      CF_LOG(kLogDebug, "Ownership taken: " + quoted(path));
    }
    if (!is_dir) continue;
    // O_NOFOLLOW: a directory swapped for a link since fstatat fails here.
    const int child = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) throw fs::filesystem_error("opendir", path, last_error());
    fd_closer_t child_closer(child);
    take_entries(child, path, uid, gid);
  }
}

}  // namespace

user_owner_t resolve_local_user(const vl::LocalUser& user) {
  user_owner_t owner;
  if (user.has_uid()) {
    // (uid_t)-1 means "leave unchanged" to chown and setuid; anything wider than
    // uid_t would silently become another user (2^32 would be root).
    const std::int64_t uid = user.uid();
    constexpr std::int64_t kNoUid = std::numeric_limits<uid_t>::max();
    if (uid < 0 || uid >= kNoUid)
      throw cf_proto_exception_t(vl::EC_BAD_CONFIG,
                                 "Invalid user id " + std::to_string(uid) + " of the run-as user");
    owner.uid = static_cast<std::uint32_t>(uid);
    return owner;
  }
  const std::string& name = user.name();
  errno = 0;
  // A name with an embedded NUL would be looked up as its first part only.
  const struct passwd* entry =
      name.find('\0') == std::string::npos ? ::getpwnam(name.c_str()) : nullptr;
  if (!entry) {
    const int error = errno;
    throw std::runtime_error("getpwnam(\"" + name +
                             "\"): " + (error ? std::strerror(error) : "No such user"));
  }
  owner.uid = entry->pw_uid;
  owner.gid = entry->pw_gid;
  owner.has_gid = true;
  return owner;
}

std::uint32_t owner_gid(user_owner_t& owner) {
  if (owner.has_gid) return owner.gid;
  errno = 0;
  const struct passwd* entry = ::getpwuid(owner.uid);
  if (!entry) {
    const int error = errno;
    throw std::runtime_error("getpwuid(" + std::to_string(owner.uid) +
                             "): " + (error ? std::strerror(error) : "No user with such uid"));
  }
  owner.gid = entry->pw_gid;
  owner.has_gid = true;
  return owner.gid;
}

std::string owner_to_string(const user_owner_t& owner) {
  std::string text = std::to_string(owner.uid);
  if (owner.has_gid) text += ":" + std::to_string(owner.gid);
  return text;
}

void create_owned_file(user_owner_t& owner, const fs::path& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == EEXIST) return;
    throw fs::filesystem_error("open", path, last_error());
  }
  fd_closer_t closer(fd);
  if (::fchown(fd, owner.uid, owner_gid(owner)) != 0) {
    const int error = errno;
    CF_LOG(kLogDebug, std::string("fchown: ") + std::strerror(error) + ": " + quoted(path));
  }
}

void change_owner(const fs::path& path, user_owner_t& owner) {
  if (::lchown(path.c_str(), owner.uid, owner_gid(owner)) != 0)
    throw fs::filesystem_error("chown", path, last_error());
  CF_LOG(kLogDebug, "Ownership taken: " + quoted(path));
}

void take_ownership(const fs::path& root, user_owner_t& owner) {
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) throw fs::filesystem_error("lstat", root, last_error());
  if (!S_ISDIR(st.st_mode))
    throw fs::filesystem_error("take_ownership", root, make_error_code(vl::EC_NOT_A_DIRECTORY));
  const std::uint32_t gid = owner_gid(owner);
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw fs::filesystem_error("opendir", root, last_error());
  fd_closer_t closer(fd);
  take_entries(fd, root, owner.uid, gid);
  if (!belongs_to(st, owner.uid, gid)) {
    if (::fchown(fd, owner.uid, gid) != 0) throw fs::filesystem_error("chown", root, last_error());
    CF_LOG(kLogDebug, "Ownership taken: " + quoted(root));
  }
}
