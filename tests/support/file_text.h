// Whole files as strings, for tests that plant a file or check what one holds.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

// Every byte of the file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Makes `path` hold exactly `data`.
inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}
