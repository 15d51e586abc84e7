#include "bench/loadgen/workload.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

#include "core/hash_values.h"

namespace {

// The digest of `file` under `type`, fed chunk by chunk as the file repeats it.
std::string file_digest(const file_image_t& file, const EVP_MD* type) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1) {
    throw std::runtime_error("cannot start a digest");
  }
  for (std::uint64_t done = 0; done < file.size;) {
    const std::uint64_t piece = std::min<std::uint64_t>(file.chunk.size(), file.size - done);
    EVP_DigestUpdate(context.get(), file.chunk.data(), piece);
    done += piece;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  return digest_text(digest, length);
}

}  // namespace

std::shared_ptr<const file_image_t> make_file_image(std::uint64_t size, std::uint32_t chunk_size) {
  auto file = std::make_shared<file_image_t>();
  file->size = size;
  file->chunk.resize(std::min<std::uint64_t>(size, chunk_size));
  // xorshift: fast, and its bytes never spell the test text.
  std::uint64_t state = 0x9e3779b97f4a7c15ull ^ size;
  for (char& byte : file->chunk) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state >> 24);
  }
  file->sha1 = file_digest(*file, EVP_sha1());
  file->sha256 = file_digest(*file, EVP_sha256());
  return file;
}
