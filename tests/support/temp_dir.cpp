#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <stdexcept>
#include <vector>

temp_dir_t::temp_dir_t() {
  // Short paths: UNIX socket paths must fit in 108 bytes.
  std::string model = "/tmp/brel-XXXXXX";
  std::vector<char> buffer(model.begin(), model.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

temp_dir_t::~temp_dir_t() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}
