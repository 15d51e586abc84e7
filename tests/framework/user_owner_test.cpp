#include "framework/user_owner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "framework/error.h"
#include "schemas/local_user.pb.h"
#include "tests/support/temp_dir.h"

namespace fs = boost::filesystem;

namespace {

// An owner with no user entry: the group is given, so nothing is looked up.
user_owner_t stranger() {
  user_owner_t owner;
  owner.uid = 54321;
  owner.has_gid = true;
  owner.gid = 54322;
  return owner;
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path) << content;
}

vl::LocalUser user_with_uid(std::int64_t uid) {
  vl::LocalUser user;
  user.set_uid(uid);
  return user;
}

}  // namespace

TEST(ResolveLocalUser, FindsUserByNameWithGroup) {
  vl::LocalUser user;
  user.set_name("root");
  const user_owner_t owner = resolve_local_user(user);
  EXPECT_EQ(owner.uid, 0u);
  EXPECT_TRUE(owner.has_gid);
  EXPECT_EQ(owner.gid, 0u);
  EXPECT_EQ(owner_to_string(owner), "0:0");
}

TEST(ResolveLocalUser, UidWinsOverNameAndGroupIsLookedUpLater) {
  vl::LocalUser user;
  user.set_name("no-such-user-here");
  user.set_uid(0);
  user_owner_t owner = resolve_local_user(user);
  EXPECT_EQ(owner.uid, 0u);
  EXPECT_FALSE(owner.has_gid);
  EXPECT_EQ(owner_to_string(owner), "0");
  EXPECT_EQ(owner_gid(owner), 0u);
  EXPECT_EQ(owner_to_string(owner), "0:0");
}

TEST(ResolveLocalUser, UnknownNameOrUidGivesTheLookupText) {
  vl::LocalUser user;
  user.set_name("no-such-user-here");
  try {
    resolve_local_user(user);
    FAIL() << "resolved an unknown name";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("getpwnam(\"no-such-user-here\"): ", 0), 0u) << e.what();
  }
  // Only the part before a NUL would reach getpwnam.
  user.set_name(std::string("root\0x", 6));
  EXPECT_THROW(resolve_local_user(user), std::runtime_error);

  user_owner_t owner = resolve_local_user(user_with_uid(3999999999));
  try {
    owner_gid(owner);
    FAIL() << "found a group for an unknown uid";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("getpwuid(3999999999): ", 0), 0u) << e.what();
  }
}

TEST(ResolveLocalUser, RefusesUidsOutsideUidRangeInsteadOfWrapping) {
  EXPECT_EQ(resolve_local_user(user_with_uid(4294967294)).uid, 4294967294u);
  // 2^32 would wrap to root; 2^32-1 is chown's "no change"; negatives wrap too.
  for (std::int64_t uid : {std::int64_t(4294967296), std::int64_t(4294967295), std::int64_t(-1),
                           std::int64_t(1) << 40}) {
    try {
      resolve_local_user(user_with_uid(uid));
      FAIL() << "accepted uid " << uid;
    } catch (const cf_proto_exception_t& e) {
      EXPECT_EQ(e.code(), vl::EC_BAD_CONFIG);
      EXPECT_NE(std::string(e.what()).find(std::to_string(uid)), std::string::npos);
    }
  }
}

class OwnershipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "changing file owners needs root";
  }
  temp_dir_t dir;
};

TEST_F(OwnershipTest, CreateOwnedFileCreatesForOwnerAndLeavesExistingAlone) {
  user_owner_t owner = stranger();
  const std::string created = dir / "log";
  create_owned_file(owner, created, 0600);
  auto st = lstat_of(created);
  EXPECT_EQ(st.st_uid, 54321u);
  EXPECT_EQ(st.st_gid, 54322u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string existing = dir / "old";
  write_file(existing, "keep");
  ::chmod(existing.c_str(), 0644);
  create_owned_file(owner, existing, 0600);
  st = lstat_of(existing);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_size, 4);

  try {
    create_owned_file(owner, dir / "missing/log", 0600);
    FAIL() << "created a file in a missing directory";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
  }
}

TEST_F(OwnershipTest, TakeOwnershipChangesTreeButNeverFollowsLinks) {
  // Outside the tree: what a planted link points to must keep its owner.
  fs::create_directories(dir.path() / "outside/dir");
  write_file(dir / "outside/secret", "x");
  write_file(dir / "outside/dir/inner", "y");
  const fs::path spool = dir.path() / "spool";
  fs::create_directories(spool / "sub/deeper");
  write_file((spool / "file").string(), "a");
  write_file((spool / "sub/deeper/file").string(), "b");
  fs::create_symlink(dir.path() / "outside/secret", spool / "link-to-file");
  fs::create_symlink(dir.path() / "outside/dir", spool / "sub/link-to-dir");
  ASSERT_EQ(::mkfifo((spool / "pipe").c_str(), 0600), 0);

  user_owner_t owner = stranger();
  take_ownership(spool, owner);

  for (const char* entry : {"", "/file", "/sub", "/sub/deeper", "/sub/deeper/file"}) {
    const auto st = lstat_of(spool.string() + entry);
    EXPECT_EQ(st.st_uid, 54321u) << entry;
    EXPECT_EQ(st.st_gid, 54322u) << entry;
  }
  for (const std::string& untouched :
       {(spool / "link-to-file").string(), (spool / "sub/link-to-dir").string(),
        (spool / "pipe").string(), dir / "outside/secret", dir / "outside/dir",
        dir / "outside/dir/inner"}) {
    const auto st = lstat_of(untouched);
    EXPECT_EQ(st.st_uid, 0u) << untouched;
    EXPECT_EQ(st.st_gid, 0u) << untouched;
  }
}

TEST_F(OwnershipTest, ChangeOwnerChangesALinkItselfNotItsTarget) {
  write_file(dir / "target", "x");
  fs::create_symlink(dir / "target", dir / "link");
  user_owner_t owner = stranger();
  change_owner(dir / "link", owner);
  EXPECT_EQ(lstat_of(dir / "link").st_uid, 54321u);
  EXPECT_EQ(lstat_of(dir / "target").st_uid, 0u);
}

TEST(TakeOwnership, RefusesAnythingButADirectory) {
  temp_dir_t dir;
  write_file(dir / "file", "x");
  user_owner_t owner = stranger();
  try {
    take_ownership(dir / "file", owner);
    FAIL() << "took a regular file";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_NOT_A_DIRECTORY));
  }
  fs::create_symlink(dir.path(), dir / "link");
  EXPECT_THROW(take_ownership(dir / "link", owner), fs::filesystem_error);
  try {
    take_ownership(dir / "missing", owner);
    FAIL() << "took a missing directory";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find("lstat"), std::string::npos) << e.what();
  }
}
