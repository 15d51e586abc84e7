// stand-marrod: runs velmo-brelkin under a stand-in configuration daemon.
//
//   stand-marrod --config FILE [--daemon PATH] [--se-socket PATH] [--lumend-socket PATH]
//
// Exit status: the daemon's own (other than 0, after which it is started again),
// 128 + n when signal n killed it, 2 for a bad command line or configuration file.
#include <unistd.h>

#include <iostream>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "tools/stand-marrod/config_file.h"
#include "tools/stand-marrod/stand_marrod.h"

namespace po = boost::program_options;

namespace {

// velmo-brelkin beside this program.
std::string default_daemon_path() {
  boost::system::error_code error;
  const auto self = boost::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "velmo-brelkin";
  return (self.parent_path() / "velmo-brelkin").string();
}

}  // namespace

int main(int argc, char* argv[]) {
  stand_options_t options;
  po::options_description visible("stand-marrod options");
  visible.add_options()                       //
      ("help,h", "print this help and exit")  //
      ("config,c", po::value(&options.config_path)->required(),
       "the configuration: a vl::BrelConfig in the Protocol Buffers text format")  //
      ("daemon", po::value(&options.daemon_path)->default_value(default_daemon_path()),
       "the daemon to run")  //
      ("se-socket", po::value(&options.se_socket),
       "the engine's socket path handed to the daemon (none: an error)")  //
      ("lumend-socket", po::value(&options.lumend_socket),
       "the cloud daemon's socket path handed to the daemon (none: an error)");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, visible), values);
    if (values.count("help")) {
      std::cout << visible << std::endl;
      return 0;
    }
    po::notify(values);
  } catch (const po::error& e) {
    std::cerr << "stand-marrod: " << e.what() << "\n" << visible << std::endl;
    return 2;
  }

  vl::BrelConfig config;
  try {
    config = read_config_file(options.config_path);
  } catch (const std::exception& e) {
    std::cerr << "stand-marrod: " << e.what() << std::endl;
    return 2;
  }

  boost::asio::io_context io;
  stand_marrod_t stand(io, options, std::move(config));
  try {
    stand.start();
  } catch (const std::exception& e) {
    std::cerr << "stand-marrod: " << e.what() << std::endl;
    return 2;
  }
  io.run();
  return stand.exit_status();
}
