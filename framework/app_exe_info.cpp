#include "framework/app_exe_info.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <openssl/evp.h>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "framework/exception.h"

namespace {

[[noreturn]] void throw_errno(const char* context) {
  throw boost::system::system_error(errno, boost::system::system_category(), context);
}

struct fd_closer_t {
  int fd;
  ~fd_closer_t() { ::close(fd); }
};

struct digest_context_deleter_t {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

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
  try {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw_errno("open");
    fd_closer_t closer{fd};
    std::unique_ptr<EVP_MD_CTX, digest_context_deleter_t> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
      throw std::runtime_error("cannot start the digest");
    char chunk[8192];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof(chunk));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_errno("read");
      }
      if (n == 0) break;
      if (EVP_DigestUpdate(context.get(), chunk, static_cast<std::size_t>(n)) != 1)
        throw std::runtime_error("cannot update the digest");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
      throw std::runtime_error("cannot finish the digest");
    return std::string(reinterpret_cast<const char*>(digest), size);
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
