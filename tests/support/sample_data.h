// File contents for tests that scan: a pattern that tells every offset and seed
// apart (so a lost, repeated or reordered chunk shows), the same with the anti-virus
// test text in its middle, and what the stand-in engine leaves of it once cured.
// Header only; plain functions.
#pragma once

#include <cstddef>
#include <string>

#include "tests/support/test_virus.h"

inline std::string pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return data;
}

// `size` bytes of pattern with the test text inserted at the middle.
inline std::string infected(std::size_t size, unsigned seed) {
  std::string data = pattern(size, seed);
  data.insert(size / 2, test_virus_text());
  return data;
}

// What the stand-in engine makes of `data` when it cures it: the test text taken out.
inline std::string cured(std::string data) {
  return data.erase(data.find(test_virus_text()), test_virus_text().size());
}
