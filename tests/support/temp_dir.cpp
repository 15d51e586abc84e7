#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <stdexcept>
#include <vector>

namespace {

// The longest directory that leaves room for a socket name of up to 40 bytes in
// the 107 bytes a UNIX socket path may have.
constexpr std::size_t kLongestBase = 107 - 40 - sizeof("/brel-XXXXXX");

std::string temp_base() {
  const char* base = ::getenv("TMPDIR");
  if (!base || !*base || std::string(base).size() > kLongestBase) return "/tmp";
  std::string text = base;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

temp_dir_t::temp_dir_t() {
  std::string model = temp_base() + "/brel-XXXXXX";
  std::vector<char> buffer(model.begin(), model.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed under " + temp_base());
  path_ = buffer.data();
}

temp_dir_t::~temp_dir_t() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}
