#include "framework/user_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "framework/error.h"
#include "schemas/local_user.pb.h"
#include "tests/support/failure_of.h"
#include "tests/support/file_text.h"
#include "tests/support/proto_text.h"
#include "tests/support/temp_dir.h"

namespace fs = boost::filesystem;

namespace {

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

user_owner_t resolve(const std::string& text) {
  return resolve_local_user(from_text<vl::LocalUser>(text));
}

}  // namespace

TEST(ResolveLocalUser, ByNameOrByUidWithTheGroupLookedUpLaterAndNothingOutsideTheRange) {
  EXPECT_EQ(owner_to_string(resolve("name: 'root'")), "0:0");
  // The uid wins over the name.
  user_owner_t owner = resolve("name: 'no-such-user-here' uid: 0");
  EXPECT_EQ(owner_to_string(owner), "0");
  EXPECT_EQ(owner_gid(owner), 0u);
  EXPECT_EQ(owner_to_string(owner), "0:0");
  EXPECT_EQ(resolve("uid: 4294967294").uid, 4294967294u);

  auto failure = failure_of([] { resolve("name: 'no-such-user-here'"); });
  EXPECT_EQ(exception_ptr_text(failure).rfind("getpwnam(\"no-such-user-here\"): ", 0), 0u);
  // Only the part before a NUL would reach getpwnam.
  failure = failure_of([] { resolve("name: 'root\\0x'"); });
  EXPECT_EQ(exception_ptr_text(failure).rfind("getpwnam(\"root", 0), 0u);
  owner = resolve("uid: 3999999999");
  failure = failure_of([&] { owner_gid(owner); });
  EXPECT_EQ(exception_ptr_text(failure).rfind("getpwuid(3999999999): ", 0), 0u);
  // 2^32 would wrap to root; 2^32-1 is chown's "no change"; negatives wrap too.
  for (std::int64_t uid : {std::int64_t(4294967296), std::int64_t(4294967295), std::int64_t(-1)}) {
    failure = failure_of([&] { resolve("uid: " + std::to_string(uid)); });
    EXPECT_EQ(exception_ptr_to_error_enum(failure), vl::EC_BAD_CONFIG) << uid;
    EXPECT_NE(exception_ptr_text(failure).find(std::to_string(uid)), std::string::npos);
  }
}

TEST(Ownership, CreatesOwnedFilesAndTakesTheTreeWithoutFollowingLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing file owners needs root";
  temp_dir_t dir;
  // An owner with no user entry: the group is given, so nothing is looked up.
  user_owner_t owner;
  owner.uid = 54321;
  owner.has_gid = true;
  owner.gid = 54322;
  const std::string created = dir / "log";
  create_owned_file(owner, created, 0600);
  auto st = lstat_of(created);
  EXPECT_EQ(st.st_uid, 54321u);
  EXPECT_EQ(st.st_gid, 54322u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  write_file(dir / "old", "keep");
  ASSERT_EQ(::chmod((dir / "old").c_str(), 0644), 0);
  create_owned_file(owner, dir / "old", 0600);
  st = lstat_of(dir / "old");
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_size, 4);
  EXPECT_THROW(create_owned_file(owner, dir / "missing/log", 0600), fs::filesystem_error);

  // Outside the tree: what a planted link points to must keep its owner.
  fs::create_directories(dir.path() / "outside/dir");
  write_file(dir / "outside/secret", "x");
  const fs::path spool = dir.path() / "spool";
  fs::create_directories(spool / "sub/deeper");
  write_file((spool / "sub/deeper/file").string(), "b");
  fs::create_symlink(dir.path() / "outside/secret", spool / "link-to-file");
  fs::create_symlink(dir.path() / "outside/dir", spool / "sub/link-to-dir");
  ASSERT_EQ(::mkfifo((spool / "pipe").c_str(), 0600), 0);
  // The right owner is not enough: the group must be the owner's too.
  write_file((spool / "sub/owner-only").string(), "c");
  ASSERT_EQ(::lchown((spool / "sub/owner-only").c_str(), owner.uid, 0), 0);

  take_ownership(spool, owner);

  for (const char* entry : {"", "/sub", "/sub/owner-only", "/sub/deeper", "/sub/deeper/file"}) {
    st = lstat_of(spool.string() + entry);
    EXPECT_EQ(st.st_uid, 54321u) << entry;
    EXPECT_EQ(st.st_gid, 54322u) << entry;
  }
  for (const std::string& untouched :
       {(spool / "link-to-file").string(), (spool / "sub/link-to-dir").string(),
        (spool / "pipe").string(), dir / "outside/secret", dir / "outside/dir"}) {
    EXPECT_EQ(lstat_of(untouched).st_uid, 0u) << untouched;
  }
  // A link named on its own changes, never its target.
  change_owner((spool / "link-to-file").string(), owner);
  EXPECT_EQ(lstat_of((spool / "link-to-file").string()).st_uid, 54321u);
  EXPECT_EQ(lstat_of(dir / "outside/secret").st_uid, 0u);

  for (const auto& [name, code] : {std::pair{"old", vl::EC_NOT_A_DIRECTORY},
                                   {"spool/link-to-file", vl::EC_NOT_A_DIRECTORY},
                                   {"missing", vl::EC_NO_SUCH_ENTRY}}) {
    const std::string path = dir / name;
    EXPECT_EQ(exception_ptr_to_error_enum(failure_of([&] { take_ownership(path, owner); })), code)
        << path;
  }
}
