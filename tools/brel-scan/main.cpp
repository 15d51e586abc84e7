// brel-scan: hands files (or standard input) to the scanning daemon over its UNIX or
// TCP client socket and prints what it found. Exit status 0 when every input is
// clean, 1 when a threat was found, 2 on an error (a threat outweighs an error).
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <boost/algorithm/string.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/program_options.hpp>

#include "tools/brel-scan/client_link.h"
#include "tools/brel-scan/progress.h"
#include "tools/brel-scan/report_printer.h"
#include "tools/brel-scan/scan_session.h"

namespace {

namespace asio = boost::asio;
namespace po = boost::program_options;

constexpr char kProgram[] = "brel-scan";

class usage_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A byte count with an optional binary suffix: K, M or G.
uint64_t parse_size(const std::string& option, const std::string& text) {
  std::size_t end = 0;
  unsigned long long value = 0;
  try {
    if (text.empty() || text[0] == '-') throw std::invalid_argument(text);
    value = std::stoull(text, &end, 10);
  } catch (const std::exception&) {
    throw usage_error_t("--" + option + ": not a size: \"" + text + "\"");
  }
  const std::string suffix = boost::to_upper_copy(text.substr(end));
  unsigned shift = 0;
  if (suffix == "K" || suffix == "KIB") {
    shift = 10;
  } else if (suffix == "M" || suffix == "MIB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "GIB") {
    shift = 30;
  } else if (!suffix.empty()) {
    throw usage_error_t("--" + option + ": unknown unit in \"" + text + "\" (use K, M or G)");
  }
  if (shift && value > (~0ULL >> shift)) throw usage_error_t("--" + option + ": too large");
  return value << shift;
}

void add_hashes(const std::vector<std::string>& lists, bk::ScanOptions& options) {
  for (const auto& list : lists) {
    std::vector<std::string> names;
    boost::split(names, list, boost::is_any_of(","));
    for (auto name : names) {
      boost::to_lower(name);
      if (name == "sha1") {
        options.add_threat_hash(bk::SHA1);
      } else if (name == "sha256") {
        options.add_threat_hash(bk::SHA256);
      } else {
        throw usage_error_t("--hash: unknown digest \"" + name + "\" (use sha1 or sha256)");
      }
    }
  }
}

template <class Stream>
int run_session(asio::io_context& io, std::shared_ptr<Stream> stream, brel_scan_settings_t settings,
                std::vector<brel_scan_input_t> inputs, brel_scan_printer_t& printer,
                brel_scan_progress_t& progress) {
  std::shared_ptr<brel_scan_link_t<Stream>> link;
  brel_scan_session_t session(
      std::move(settings), std::move(inputs), printer, progress,
      [&link](const bk::ClientMessage& message) { link->send(message); },
      [&link]() { link->close(); });
  link = std::make_shared<brel_scan_link_t<Stream>>(session);
  link->start(std::move(stream));
  session.start();
  io.run();
  link.reset();
  return printer.exit_status();
}

// "address:port", "[v6 address]:port" or "name:port".
std::shared_ptr<asio::ip::tcp::socket> connect_tcp(asio::io_context& io, const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw usage_error_t("--tcp: expected ADDRESS:PORT, got \"" + text + "\"");
  }
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  asio::ip::tcp::resolver resolver(io);
  boost::system::error_code error;
  const auto endpoints = resolver.resolve(host, text.substr(colon + 1),
                                          asio::ip::tcp::resolver::numeric_service, error);
  if (error) throw std::runtime_error("cannot resolve " + text + ": " + error.message());
  auto socket = std::make_shared<asio::ip::tcp::socket>(io);
  asio::connect(*socket, endpoints, error);
  if (error) throw std::runtime_error("cannot connect to " + text + ": " + error.message());
  socket->set_option(asio::ip::tcp::no_delay(true), error);
  return socket;
}

std::shared_ptr<asio::local::stream_protocol::socket> connect_unix(asio::io_context& io,
                                                                   const std::string& path) {
  auto socket = std::make_shared<asio::local::stream_protocol::socket>(io);
  boost::system::error_code error;
  asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = asio::local::stream_protocol::endpoint(path);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot connect to " + path + ": " + e.code().message());
  }
  socket->connect(endpoint, error);
  if (error) throw std::runtime_error("cannot connect to " + path + ": " + error.message());
  return socket;
}

int run(int argc, char* argv[]) {
  po::options_description visible(std::string("Usage: ") + kProgram +
                                  " (--unix PATH | --tcp ADDRESS:PORT) [options] [FILE...]\n"
                                  "Scans each FILE (standard input for none, or for \"-\") "
                                  "with the scanning daemon.\n"
                                  "Exit status: 0 clean, 1 threat found, 2 error.\n\nOptions");
  std::string unix_path, tcp_address, output, min_size, max_size, chunk_size;
  std::vector<std::string> hashes;
  uint32_t timeout = 0;
  // clang-format off
  visible.add_options()
      ("help,h", "print this help and exit")
      ("unix,u", po::value(&unix_path), "connect to the daemon's UNIX socket at PATH")
      ("tcp,t", po::value(&tcp_address), "connect to the daemon over TCP (ADDRESS:PORT)")
      ("cure,c", "ask the daemon to cure what it finds")
      ("hash", po::value(&hashes), "report digests: sha1, sha256 (repeat or separate by commas)")
      ("min-size", po::value(&min_size), "do not scan inputs smaller than SIZE (K, M, G)")
      ("max-size", po::value(&max_size), "do not scan inputs larger than SIZE (K, M, G)")
      ("timeout", po::value(&timeout), "scan timeout in milliseconds")
      ("output,o", po::value(&output), "write the returned (cured) data of the one input to PATH")
      ("json", "print one JSON object per input")
      ("no-progress", "never show progress on the terminal")
      ("no-flow-control", "do not ask for the flow-control window")
      ("chunk-size", po::value(&chunk_size), "data bytes per message (default 1M)");
  // clang-format on
  po::options_description hidden;
  std::vector<std::string> files;
  hidden.add_options()("file", po::value(&files));
  po::options_description all;
  all.add(visible).add(hidden);
  po::positional_options_description positional;
  positional.add("file", -1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    throw usage_error_t(e.what());
  }
  if (vm.count("help")) {
    std::cout << visible << std::endl;
    return kExitClean;
  }
  if (unix_path.empty() == tcp_address.empty()) {
    throw usage_error_t("give exactly one of --unix PATH and --tcp ADDRESS:PORT");
  }

  brel_scan_settings_t settings;
  if (vm.count("cure")) settings.options.set_cure(true);
  add_hashes(hashes, settings.options);
  if (vm.count("min-size")) settings.options.set_min_size_to_scan(parse_size("min-size", min_size));
  if (vm.count("max-size")) settings.options.set_max_size_to_scan(parse_size("max-size", max_size));
  if (vm.count("timeout")) settings.options.set_scan_timeout_ms(timeout);
  settings.flow_control = vm.count("no-flow-control") == 0;
  if (vm.count("chunk-size")) {
    const uint64_t size = parse_size("chunk-size", chunk_size);
    // The frame around the data must stay within the daemon's 64 MiB limit.
    if (size == 0 || size > 64 * 1024 * 1024 - 64) {
      throw usage_error_t("--chunk-size: must be between 1 byte and 64M less 64 bytes");
    }
    settings.chunk_size = static_cast<uint32_t>(size);
  }

  std::vector<brel_scan_input_t> inputs;
  if (files.empty()) files.push_back("-");
  for (const auto& file : files) {
    inputs.push_back(file == "-" ? brel_scan_input_t{"stdin", ""} : brel_scan_input_t{file, file});
  }
  if (vm.count("output")) {
    if (inputs.size() != 1) throw usage_error_t("--output takes the data of exactly one input");
    if (output.empty()) throw usage_error_t("--output: empty path");
    settings.output_path = output;
  }

  const bool json = vm.count("json") > 0;
  brel_scan_printer_t printer(std::cout, json);
  brel_scan_progress_t progress(!json && vm.count("no-progress") == 0 && isatty(STDERR_FILENO));
  asio::io_context io;
  if (!unix_path.empty()) {
    return run_session(io, connect_unix(io, unix_path), std::move(settings), std::move(inputs),
                       printer, progress);
  }
  return run_session(io, connect_tcp(io, tcp_address), std::move(settings), std::move(inputs),
                     printer, progress);
}

}  // namespace

int main(int argc, char* argv[]) {
  // A daemon that goes away must show as an error, not kill the client.
  signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const usage_error_t& e) {
    std::cerr << kProgram << ": " << e.what() << "\nTry '" << kProgram << " --help'." << std::endl;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << std::endl;
  }
  return kExitError;
}
