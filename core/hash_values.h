// The digests of one spooled file, as the scan answer and the cloud lookup carry
// them. A plain value.
#pragma once

#include <cstddef>
#include <string>

struct bk_hash_values_t {
  // 40 upper-case hexadecimal digits; empty when not asked for or on failure.
  std::string sha1;
  // 64 upper-case hexadecimal digits; empty when not asked for or on failure.
  std::string sha256;
};

// Each byte as two upper-case hexadecimal digits, in order.
std::string digest_text(const unsigned char* bytes, std::size_t count);
