#include "framework/app_exe_info.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "tests/support/temp_dir.h"

namespace {

std::string write_file(const temp_dir_t& dir, const std::string& name, const std::string& data) {
  const std::string path = dir / name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
    throw std::runtime_error("cannot write " + path);
  ::close(fd);
  return path;
}

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[value >> 18];
    text += kAlphabet[(value >> 12) & 63];
    text += i + 1 < bytes.size() ? kAlphabet[(value >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[value & 63] : '=';
  }
  return text;
}

std::string user_name(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

}  // namespace

TEST(FileMd5, DigestsWholeFileAcrossChunks) {
  temp_dir_t dir;
  EXPECT_EQ(hex(file_md5(write_file(dir, "empty", ""))), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(file_md5(write_file(dir, "short", "hello brelkin"))),
            "be68e099f3fe114fad360b4107288c65");
  EXPECT_EQ(hex(file_md5(write_file(dir, "long", std::string(20000, 'x')))),
            "e5d2c6fe7777b38038eb8315e1f5c734");
}

TEST(FileMd5, NamesReasonAndPathOnFailure) {
  temp_dir_t dir;
  const std::string path = dir / "missing";
  try {
    file_md5(path);
    FAIL() << "no exception";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(e.code(), vl::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(std::string(e.what()), "MD5: open: No such file or directory: \"" + path + "\"");
  }
  try {
    file_md5(dir.path().string());
    FAIL() << "no exception";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(std::string(e.what()).rfind("MD5: read: Is a directory", 0), 0u) << e.what();
  }
}

TEST(AppExeInfo, DescribesTheFileBehindThePath) {
  temp_dir_t dir;
  const std::string path = write_file(dir, "velmo-brelkin", "hello brelkin");
  const std::string link = dir / "link";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);

  vl::AppExeInfo info;
  fill_app_exe_info(info, "9.8.7", link);
  EXPECT_EQ(info.version(), "9.8.7");
  EXPECT_EQ(info.install_time(), static_cast<uint64_t>(status.st_ctime));
  EXPECT_EQ(info.modification_time(), 1600000000u);
  EXPECT_EQ(info.exe_size(), 13u);
  EXPECT_EQ(hex(info.exe_md5()), "be68e099f3fe114fad360b4107288c65");
  EXPECT_EQ(info.exe_owner(), user_name(status.st_uid));

  std::ostringstream json;
  print_message_json(json, info);
  EXPECT_EQ(json.str(), "{\"version\":\"9.8.7\",\"installTime\":\"" +
                            std::to_string(status.st_ctime) +
                            "\",\"modificationTime\":\"1600000000\",\"exeSize\":\"13\","
                            "\"exeMd5\":\"vmjgmfP+EU+tNgtBByiMZQ==\",\"exeOwner\":\"" +
                            base64(info.exe_owner()) + "\"}")
      << json.str();
}

TEST(AppExeInfo, NamesAnOwnerWithoutUserEntryByUid) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  uid_t uid = 3999999;
  while (::getpwuid(uid)) ++uid;
  temp_dir_t dir;
  const std::string path = write_file(dir, "exe", "x");
  ASSERT_EQ(::chown(path.c_str(), uid, static_cast<gid_t>(-1)), 0);
  vl::AppExeInfo info;
  fill_app_exe_info(info, "1", path);
  EXPECT_EQ(info.exe_owner(), std::to_string(uid));
}

TEST(AppExeInfo, RefusesWhatIsNoRegularFile) {
  temp_dir_t dir;
  vl::AppExeInfo info;
  try {
    fill_app_exe_info(info, "1", dir.path().string());
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_NOT_A_REGULAR_FILE));
  }
  EXPECT_THROW(fill_app_exe_info(info, "1", dir / "missing"), boost::filesystem::filesystem_error);
  char* no_arguments[] = {nullptr};
  try {
    make_app_exe_info("1", 0, no_arguments);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unknown exe path");
  }
}

TEST(PrintMessageJson, PrintsEmptyRecordAsEmptyObject) {
  std::ostringstream json;
  print_message_json(json, vl::AppExeInfo());
  EXPECT_EQ(json.str(), "{}");
}
