// Frames as the message link writes them, for tests that forge what a peer sends: a
// 32-bit length in host byte order, then the body.
#pragma once

#include <cstdint>
#include <string>

// The length field alone, with any value (zero, over a limit).
inline std::string length_prefix(std::uint32_t length) {
  return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

inline std::string frame_of(const std::string& body) {
  return length_prefix(static_cast<std::uint32_t>(body.size())) + body;
}
