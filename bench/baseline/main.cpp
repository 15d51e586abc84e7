// bench-baseline: the benchmark's baseline server of the client protocol (see
// baseline_tie.h) on a UNIX socket, until SIGTERM or SIGINT, which remove the
// socket file.
//
//   bench-baseline --socket PATH --spool DIR
#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "bench/baseline/baseline_tie.h"

namespace po = boost::program_options;
using stream_protocol = boost::asio::local::stream_protocol;

namespace {

void start_accept(stream_protocol::acceptor& acceptor, const std::string& spool_dir) {
  auto socket = std::make_shared<cf_local_socket_t>(acceptor.get_executor());
  acceptor.async_accept(*socket,
                        [&acceptor, &spool_dir, socket](const boost::system::error_code& error) {
                          // Closed at the end of the run.
                          if (error == boost::asio::error::operation_aborted) return;
                          if (!error) baseline_tie_t::create(spool_dir)->start(socket);
                          start_accept(acceptor, spool_dir);
                        });
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path;
  std::string spool_dir;
  po::options_description description("bench-baseline: the benchmark's baseline server");
  description.add_options()("help", "show this text")("socket", po::value(&socket_path)->required(),
                                                      "UNIX socket path to listen on")(
      "spool", po::value(&spool_dir)->required(), "directory of the received files");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description;
      return 0;
    }
    po::notify(values);
  } catch (const po::error& e) {
    std::cerr << "bench-baseline: " << e.what() << "\n" << description;
    return 2;
  }

  std::signal(SIGPIPE, SIG_IGN);
  try {
    boost::asio::io_context io(1);
    boost::system::error_code ignored;
    boost::filesystem::remove(socket_path, ignored);
    stream_protocol::acceptor acceptor(io, stream_protocol::endpoint(socket_path));
    start_accept(acceptor, spool_dir);
    boost::asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code&, int) {
      acceptor.close(ignored);
      boost::filesystem::remove(socket_path, ignored);
      io.stop();
    });
    std::cerr << "bench-baseline: listening on " << socket_path << std::endl;
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "bench-baseline: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
