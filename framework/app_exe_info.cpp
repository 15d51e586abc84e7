#include "framework/app_exe_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "framework/file_digest.h"

namespace {

std::string owner_name(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size == -1) size = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return std::to_string(uid);
}

}  // namespace

vl::AppExeInfo make_app_exe_info(const std::string& version, int argc, char* argv[]) {
  if (argc <= 0) throw std::runtime_error("Unknown exe path");
  vl::AppExeInfo info;
  fill_app_exe_info(info, version, argv[0]);
  return info;
}

void fill_app_exe_info(vl::AppExeInfo& info, const std::string& version,
                       const std::string& exe_path) {
  namespace fs = boost::filesystem;
  const fs::path canonical = fs::canonical(exe_path);
  struct stat status {};
  if (::stat(canonical.c_str(), &status) != 0) {
    throw fs::filesystem_error("stat", canonical,
                               boost::system::error_code(errno, boost::system::system_category()));
  }
  if (!S_ISREG(status.st_mode)) throw_error(vl::EC_NOT_A_REGULAR_FILE, "\"" + exe_path + "\"");
  std::string md5 = file_md5(exe_path);
  info.set_version(version);
  info.set_install_time(static_cast<uint64_t>(status.st_ctime));
  info.set_modification_time(static_cast<uint64_t>(status.st_mtime));
  info.set_exe_size(static_cast<uint64_t>(status.st_size));
  info.set_exe_md5(std::move(md5));
  info.set_exe_owner(owner_name(status.st_uid));
}

std::string file_md5(const std::string& path) {
  static constexpr digest_failure_texts_t kTexts{
      "cannot start the digest", "cannot update the digest", "cannot finish the digest"};
  try {
    return std::move(file_digests(path, {EVP_md5()}, kTexts).front());
  } catch (const std::exception& e) {
    throw cf_proto_exception_t(exception_to_error_enum(e),
                               std::string("MD5: ") + exception_text(e) + ": \"" + path + "\"");
  }
}

std::ostream& print_message_json(std::ostream& out, const google::protobuf::Message& message) {
  std::string json;
  bool converted = false;
  try {
    converted = google::protobuf::util::MessageToJsonString(message, &json).ok();
  } catch (const std::exception&) {
  }
  // A partial or missing text is no JSON at all; readers get the empty object.
  if (!converted) {
    json.clear();
    google::protobuf::util::MessageToJsonString(vl::AppExeInfo(), &json);
  }
  return out << json;
}
