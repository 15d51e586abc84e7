// The digests of a whole file over OpenSSL's EVP interface: the MD5 of the daemon's
// own executable, and the SHA-1 and SHA-256 of spooled files in the digest pool.
//
// A plain function of the calling thread; it reads the file system only.
#pragma once

#include <string>
#include <vector>

#include <openssl/evp.h>

// What the thrown exception says when OpenSSL fails to start, feed or finish a
// digest: each caller keeps the wording its messages have always had.
struct digest_failure_texts_t {
  const char* start;
  const char* update;
  const char* finish;
};

// Reads the file at `path` once, in 8 KiB blocks, feeding every one of
// `algorithms`, and returns their raw digests in the same order (the file is read
// even when none is asked for). Throws boost::system::system_error with errno
// ("open", "read") and std::runtime_error with one of `texts`.
std::vector<std::string> file_digests(const std::string& path,
                                      const std::vector<const EVP_MD*>& algorithms,
                                      const digest_failure_texts_t& texts);
