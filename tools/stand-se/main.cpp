// stand-se: runs the stand-in scanning engine on a UNIX socket until SIGTERM or
// SIGINT, then removes the socket file.
//
//   stand-se --socket PATH [--delay-ms N] [--max-concurrent N] [--benchmark]
//            [--fault drop|reorder|malformed] [--fault-after N]
//   stand-se --write-test-file PATH

#include <csignal>
#include <fstream>
#include <iostream>
#include <string>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "tests/support/test_virus.h"
#include "tools/stand-se/stand_se.h"

namespace po = boost::program_options;

int main(int argc, char** argv) {
  std::string socket_path;
  std::string test_file_path;
  std::string fault = "none";
  unsigned delay_ms = 0;
  std::size_t max_concurrent = 0;
  unsigned fault_after = 0;
  po::options_description description("stand-se: a stand-in scanning engine");
  description.add_options()("help", "show this text")("socket", po::value(&socket_path)->required(),
                                                      "UNIX socket path to listen on")(
      "delay-ms", po::value(&delay_ms), "time each scan takes")(
      "max-concurrent", po::value(&max_concurrent), "scans running at once (0: no limit)")(
      "benchmark", "answer clean after a plain read of the file")(
      "fault", po::value(&fault), "none, drop, reorder or malformed")(
      "fault-after", po::value(&fault_after),
      "requests answered normally on each connection before the fault applies")(
      "write-test-file", po::value(&test_file_path),
      "write the anti-virus test file to PATH and exit (the text is never stored in the "
      "repository, so demonstrations make it here)");

  stand_se_options_t options;
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description;
      return 0;
    }
    if (values.count("write-test-file")) {
      std::ofstream out(values["write-test-file"].as<std::string>(), std::ios::binary);
      out << test_virus_text();
      out.close();
      if (!out) {
        std::cerr << "stand-se: cannot write the test file\n";
        return 1;
      }
      return 0;
    }
    po::notify(values);
    options.delay = std::chrono::milliseconds(delay_ms);
    options.max_concurrent = max_concurrent;
    options.benchmark = values.count("benchmark") != 0;
    options.fault_after = fault_after;
    if (fault == "none") {
      options.fault = stand_se_options_t::fault_t::none;
    } else if (fault == "drop") {
      options.fault = stand_se_options_t::fault_t::drop;
    } else if (fault == "reorder") {
      options.fault = stand_se_options_t::fault_t::reorder;
    } else if (fault == "malformed") {
      options.fault = stand_se_options_t::fault_t::malformed;
    } else {
      throw po::error("unknown fault: " + fault);
    }
  } catch (const po::error& e) {
    std::cerr << "stand-se: " << e.what() << "\n" << description;
    return 2;
  }

  // A client that goes away mid-answer is an error on that connection only.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    boost::asio::io_context io;
    auto engine = stand_se_t::create(io, socket_path, options);
    boost::asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code&, int) {
      engine->stop();
      io.stop();
    });
    std::cerr << "stand-se: listening on " << socket_path << std::endl;
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "stand-se: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
