// data_source_t: a large file for tests, made piece by piece so that no test holds
// it whole: each byte depends on its offset (a misplaced or lost piece changes the
// digest), and the SHA-256 of what was handed out so far is kept as upper-case
// hexadecimal text, as the daemon reports it.
//
// A plain value of one test; any thread, one at a time.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>

#include "core/hash_values.h"

class data_source_t {
 public:
  // `size` bytes in pieces of at most `piece` bytes.
  data_source_t(std::size_t size, std::size_t piece) : size_(size), piece_(piece) {
    EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
  }

  bool done() const { return offset_ == size_; }
  std::size_t offset() const { return offset_; }

  // The next piece (empty once done).
  std::string next() {
    std::string data(std::min(piece_, size_ - offset_), '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::size_t at = offset_ + i;
      data[i] = static_cast<char>(at * 131 + at / 65521);
    }
    offset_ += data.size();
    EVP_DigestUpdate(context_.get(), data.data(), data.size());
    return data;
  }

  // The SHA-256 of everything handed out; call once, when done.
  std::string sha256() {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int count = 0;
    EVP_DigestFinal_ex(context_.get(), bytes, &count);
    return digest_text(bytes, count);
  }

 private:
  struct free_context_t {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };

  const std::size_t size_;
  const std::size_t piece_;
  std::size_t offset_ = 0;
  std::unique_ptr<EVP_MD_CTX, free_context_t> context_{EVP_MD_CTX_new()};
};
