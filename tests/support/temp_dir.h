// A private temporary directory under $TMPDIR (under /tmp when TMPDIR is unset or
// too long for the UNIX socket paths tests make inside) that removes itself and
// everything in it.
#pragma once

#include <string>

#include <boost/filesystem.hpp>

class temp_dir_t {
 public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  // A path inside the directory.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  boost::filesystem::path path_;
};
