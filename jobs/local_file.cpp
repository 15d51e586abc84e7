#include "jobs/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "framework/fd_io.h"
#include "framework/log.h"

namespace fs = boost::filesystem;

namespace {

// Patches and merges copy through one buffer of this size.
constexpr std::size_t kCopyBlock = 65535;
// Random names collide only when someone plants files; give up after a few.
constexpr int kNameAttempts = 16;

boost::system::error_code last_error() {
  return boost::system::error_code(errno, boost::system::system_category());
}

[[noreturn]] void fail(const char* context, const std::string& path,
                       const boost::system::error_code& error) {
  throw fs::filesystem_error(context, fs::path(path), error);
}

// Another random name in the same directory, keeping a suffix such as ".patch2".
std::string fresh_name(const std::string& taken) {
  const fs::path path(taken);
  const std::string name = path.filename().string();
  const auto dot = name.find('.');
  const std::string suffix = dot == std::string::npos ? std::string() : name.substr(dot);
  return (path.parent_path() / (fs::unique_path("%%%%-%%%%-%%%%-%%%%").string() + suffix)).string();
}

}  // namespace

bk_local_file_t::bk_local_file_t(std::string path) : path_(std::move(path)) {}

bk_local_file_t::~bk_local_file_t() {
  // A file already gone (the engine may have removed it) is no concern; any other
  // failure leaves a file in the spool directory that someone must clear away.
  if (owned_ && ::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    const boost::system::error_code error = last_error();
    try {
      if (log_threshold <= kLogError) {
        std::ostringstream text;
        text << "Spool file " << fs::path(path_) << ": unlink: " << error.message();
        log_message(kLogError, text.str());
      }
    } catch (...) {
      log_out_of_memory();
    }
  }
  if (fd_ >= 0) ::close(fd_);
}

void bk_local_file_t::set_path(std::string path) {
  path_ = std::move(path);
  exclusive_ = false;
  owned_ = true;
}

int bk_local_file_t::open_for_append() {
  if (fd_ >= 0) return fd_;
  for (int attempt = 1;; ++attempt) {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (exclusive_ ? O_EXCL : 0);
    fd_ = ::open(path_.c_str(), flags, 0600);
    if (fd_ >= 0) break;
    if (errno != EEXIST || !exclusive_ || attempt == kNameAttempts)
      fail("open", path_, last_error());
    // Someone else's file: never ours to write, read or remove.
    std::string taken = std::move(path_);
    path_ = fresh_name(taken);
    if (log_threshold <= kLogWarning) {
      std::ostringstream text;
      text << "Spool file " << fs::path(taken) << " exists already, using " << fs::path(path_);
      log_message(kLogWarning, text.str());
    }
    if (rename_listener_) rename_listener_(taken, path_);
  }
  owned_ = true;
  return fd_;
}

void bk_local_file_t::write(const char* bytes, std::size_t count) {
  const int fd = open_for_append();
  boost::system::error_code error;
  write_all(fd, bytes, count, error);
  if (error) fail("write", path_, error);
  size_ += count;
}

void bk_local_file_t::update_size() {
  // A name we never created may be anyone's file; ours has no data yet.
  if (!owned_) {
    size_ = 0;
    return;
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) fail("stat", path_, last_error());
    size_ = 0;
    return;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void bk_local_file_t::append_file(const bk_local_file_t& other) {
  if (other.size_ == 0) return;
  read_list_t source;
  source.emplace_back(other);
  std::unique_ptr<char[]> buffer(new char[kCopyBlock]());
  while (const std::size_t n = read_chunk(source, buffer.get(), kCopyBlock)) write(buffer.get(), n);
}

bk_local_file_t::read_state_t::read_state_t(const bk_local_file_t& file)
    : path(file.path_), size(file.size_) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open", path, last_error());
}

bk_local_file_t::read_state_t::read_state_t(read_state_t&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      path(std::move(other.path)),
      size(other.size),
      position(other.position) {}

bk_local_file_t::read_state_t& bk_local_file_t::read_state_t::operator=(
    read_state_t&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
    path = std::move(other.path);
    size = other.size;
    position = other.position;
  }
  return *this;
}

bk_local_file_t::read_state_t::~read_state_t() {
  if (fd >= 0) ::close(fd);
}

namespace {

// A file found empty (say, cured down to nothing) must not stall the reading.
void drop_finished(bk_local_file_t::read_list_t& list) {
  while (!list.empty() && list.front().position >= list.front().size) list.pop_front();
}

}  // namespace

std::shared_ptr<const std::string> bk_local_file_t::read_chunk(read_list_t& list, std::size_t max) {
  drop_finished(list);
  std::string chunk;
  if (!list.empty()) {
    const auto& cursor = list.front();
    chunk.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(max, cursor.size - cursor.position)));
    chunk.resize(read_chunk(list, &chunk[0], chunk.size()));
  }
  return std::make_shared<const std::string>(std::move(chunk));
}

std::size_t bk_local_file_t::read_chunk(read_list_t& list, char* buffer, std::size_t max) {
  drop_finished(list);
  if (list.empty()) return 0;
  read_state_t& cursor = list.front();
  const auto count =
      static_cast<std::size_t>(std::min<std::uint64_t>(max, cursor.size - cursor.position));
  boost::system::error_code error;
  read_exact(cursor.fd, buffer, count, error);
  if (error) fail("read", cursor.path, error);
  cursor.position += count;
  if (cursor.position >= cursor.size) list.pop_front();
  return count;
}
