#include "framework/app_exe_info.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "framework/error.h"
#include "tests/support/failure_of.h"
#include "tests/support/file_text.h"
#include "tests/support/temp_dir.h"

namespace {

// As the JSON printer shows bytes.
std::string base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                   reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()));
  text.resize(size);
  return text;
}

}  // namespace

TEST(AppExeInfo, DescribesTheRegularFileBehindThePathWithItsMd5) {
  temp_dir_t dir;
  const std::string path = dir / "velmo-brelkin";
  write_file(path, "hello brelkin");
  const std::string link = dir / "link";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  const passwd* owner = ::getpwuid(status.st_uid);
  ASSERT_TRUE(owner);

  vl::AppExeInfo info;
  fill_app_exe_info(info, "9.8.7", link);
  std::ostringstream json;
  print_message_json(json, info);
  EXPECT_EQ(json.str(), "{\"version\":\"9.8.7\",\"installTime\":\"" +
                            std::to_string(status.st_ctime) +
                            "\",\"modificationTime\":\"1600000000\",\"exeSize\":\"13\","
                            "\"exeMd5\":\"vmjgmfP+EU+tNgtBByiMZQ==\",\"exeOwner\":\"" +
                            base64(owner->pw_name) + "\"}");
  EXPECT_EQ(exception_ptr_to_error_enum(
                failure_of([&] { fill_app_exe_info(info, "1", dir.path().string()); })),
            vl::EC_NOT_A_REGULAR_FILE);

  // Several read chunks; a failure names its reason and the path.
  write_file(path, std::string(20000, 'x'));
  EXPECT_EQ(base64(file_md5(path)), "5dLG/nd3s4A464MV4fXHNA==");
  const auto failure = failure_of([&] { file_md5(dir / "missing"); });
  EXPECT_EQ(exception_ptr_to_error_enum(failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(failure),
            "MD5: open: No such file or directory: \"" + dir / "missing" + "\"");
}

TEST(FileMd5, DigestsAnEmptyFileAndNamesAReadFailure) {
  temp_dir_t dir;
  write_file(dir / "empty", "");
  EXPECT_EQ(base64(file_md5(dir / "empty")), "1B2M2Y8AsgTpgAmY7PhCfg==");
  // A directory opens, then fails at its first read.
  const auto failure = failure_of([&] { file_md5(dir.path().string()); });
  EXPECT_EQ(exception_ptr_text(failure).rfind("MD5: read: Is a directory", 0), 0u)
      << exception_ptr_text(failure);
}

TEST(AppExeInfo, NamesAnOwnerWithoutUserEntryByUid) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  uid_t uid = 3999999;
  while (::getpwuid(uid)) ++uid;
  temp_dir_t dir;
  const std::string path = dir / "exe";
  write_file(path, "x");
  ASSERT_EQ(::chown(path.c_str(), uid, static_cast<gid_t>(-1)), 0);
  vl::AppExeInfo info;
  fill_app_exe_info(info, "1", path);
  EXPECT_EQ(info.exe_owner(), std::to_string(uid));
}

TEST(AppExeInfo, RefusesAMissingFileAndAnEmptyCommandLine) {
  temp_dir_t dir;
  vl::AppExeInfo info;
  EXPECT_EQ(exception_ptr_to_error_enum(
                failure_of([&] { fill_app_exe_info(info, "1", dir / "missing"); })),
            vl::EC_NO_SUCH_ENTRY);
  char* no_arguments[] = {nullptr};
  EXPECT_EQ(exception_ptr_text(failure_of([&] { make_app_exe_info("1", 0, no_arguments); })),
            "Unknown exe path");
}
