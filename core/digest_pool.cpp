#include "core/digest_pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <openssl/evp.h>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/core_inventory.h"

namespace {

constexpr std::size_t kBlockSize = 8192;

// One running digest. The context is made on first use and freed by final, so a
// later update starts a new digest.
template <const EVP_MD* (*Algorithm)(), std::size_t Size>
class digest_accumulator_t {
 public:
  digest_accumulator_t() = default;
  ~digest_accumulator_t() { EVP_MD_CTX_free(context_); }
  digest_accumulator_t(const digest_accumulator_t&) = delete;
  digest_accumulator_t& operator=(const digest_accumulator_t&) = delete;

  void init() {
    EVP_MD_CTX_free(context_);
    context_ = EVP_MD_CTX_new();
    if (!context_ || EVP_DigestInit(context_, Algorithm()) != 1)
      throw std::runtime_error("Digest context initialization failure");
  }

  void update(const void* bytes, std::size_t count) {
    if (!context_) init();
    if (EVP_DigestUpdate(context_, bytes, count) != 1)
      throw std::runtime_error("Digest update failure");
  }

  std::string final() {
    if (!context_) init();
    unsigned char result[Size] = {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, result, &length) != 1 || length != Size)
      throw std::runtime_error("Digest final failed");
    EVP_MD_CTX_free(context_);
    context_ = nullptr;
    return digest_text(result, Size);
  }

 private:
  EVP_MD_CTX* context_ = nullptr;
};

using sha1_accumulator_t = digest_accumulator_t<EVP_sha1, 20>;
using sha256_accumulator_t = digest_accumulator_t<EVP_sha256, 32>;

class fd_closer_t {
 public:
  explicit fd_closer_t(int fd) : fd_(fd) {}
  ~fd_closer_t() { ::close(fd_); }
  fd_closer_t(const fd_closer_t&) = delete;
  fd_closer_t& operator=(const fd_closer_t&) = delete;

 private:
  int fd_;
};

[[noreturn]] void throw_errno(const char* context) {
  throw boost::system::system_error(errno, boost::system::system_category(), context);
}

}  // namespace

bk_digest_pool_t::bk_digest_pool_t(bk_core_inventory_t& inventory)
    : bk_digest_pool_t(inventory.io_context) {}

bk_digest_pool_t::bk_digest_pool_t(boost::asio::io_context& io) : io_(io), threads_(2) {}

bk_digest_pool_t::~bk_digest_pool_t() {
  threads_.stop();
  threads_.join();
}

void bk_digest_pool_t::hash_file(bool sha1, bool sha256, const std::string& path,
                                 callback_t callback) {
  boost::asio::post(threads_, [this, sha1, sha256, path, callback = std::move(callback)]() mutable {
    bk_hash_values_t values;
    std::exception_ptr failure;
    try {
      values = hash_task(sha1, sha256, path);
    } catch (...) {
      failure = std::current_exception();
    }
    boost::asio::post(io_, [callback = std::move(callback), values = std::move(values), failure] {
      callback(failure, values);
    });
  });
}

bk_hash_values_t bk_digest_pool_t::hash_task(bool sha1, bool sha256, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno("open");
  fd_closer_t closer(fd);
  sha1_accumulator_t sha1_digest;
  sha256_accumulator_t sha256_digest;
  char block[kBlockSize];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    if (sha1) sha1_digest.update(block, static_cast<std::size_t>(n));
    if (sha256) sha256_digest.update(block, static_cast<std::size_t>(n));
  }
  bk_hash_values_t values;
  if (sha1) values.sha1 = sha1_digest.final();
  if (sha256) values.sha256 = sha256_digest.final();
  return values;
}
