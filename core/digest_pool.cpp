#include "core/digest_pool.h"

#include <vector>

#include <boost/asio/post.hpp>

#include "core/core_inventory.h"
#include "framework/file_digest.h"

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
  static constexpr digest_failure_texts_t kTexts{"Digest context initialization failure",
                                                 "Digest update failure", "Digest final failed"};
  std::vector<const EVP_MD*> algorithms;
  if (sha1) algorithms.push_back(EVP_sha1());
  if (sha256) algorithms.push_back(EVP_sha256());
  const std::vector<std::string> digests = file_digests(path, algorithms, kTexts);
  const auto text = [](const std::string& digest) {
    return digest_text(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
  };
  bk_hash_values_t values;
  if (sha1) values.sha1 = text(digests.front());
  if (sha256) values.sha256 = text(digests.back());
  return values;
}
