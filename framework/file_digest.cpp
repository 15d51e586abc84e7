#include "framework/file_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "framework/error.h"
#include "framework/fd_closer.h"

namespace {

constexpr std::size_t kBlockSize = 8192;

struct context_deleter_t {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using context_t = std::unique_ptr<EVP_MD_CTX, context_deleter_t>;

}  // namespace

std::vector<std::string> file_digests(const std::string& path,
                                      const std::vector<const EVP_MD*>& algorithms,
                                      const digest_failure_texts_t& texts) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno("open");
  const fd_closer_t closer(fd);
  std::vector<context_t> contexts;
  contexts.reserve(algorithms.size());
  for (const EVP_MD* algorithm : algorithms) {
    contexts.emplace_back(EVP_MD_CTX_new());
    if (!contexts.back() || EVP_DigestInit_ex(contexts.back().get(), algorithm, nullptr) != 1)
      throw std::runtime_error(texts.start);
  }
  char block[kBlockSize];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    for (const context_t& context : contexts) {
      if (EVP_DigestUpdate(context.get(), block, static_cast<std::size_t>(n)) != 1)
        throw std::runtime_error(texts.update);
    }
  }
  std::vector<std::string> digests;
  digests.reserve(contexts.size());
  for (const context_t& context : contexts) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
      throw std::runtime_error(texts.finish);
    digests.emplace_back(reinterpret_cast<const char*>(digest), size);
  }
  return digests;
}
