// stand-lumend: a stand-in for the suite's cloud-lookup daemon, for tests and demos.
//
// Serves lumend_client_ipc on a UNIX socket: every CHECK_FILE_REQUEST is answered
// with one CHECK_FILE_RESPONSE carrying its serial. A digest listed in the known-bad
// file is reported as a threat; any other is clean. The answer can be delayed and
// its result code fixed (EC_NETWORK_TIMEDOUT, 97, makes the daemon count failures).
//
// Single-threaded on one event loop. Prints "stand-lumend: listening on <path>" on
// standard output once it accepts connections; SIGTERM or SIGINT removes the socket
// and ends it with status 0.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include "framework/basic_ipc_link.h"
#include "schemas/error.pb.h"
#include "schemas/lumend_client_ipc.pb.h"

namespace {

namespace po = boost::program_options;
using stream_protocol = boost::asio::local::stream_protocol;

constexpr const char* kName = "stand-lumend";

struct settings_t {
  std::string socket_path;
  std::set<std::string> bad_digests;
  std::chrono::milliseconds delay{0};
  vl::ErrorCode result = vl::EC_OK;
  std::string virus_name;
};

bool is_sha1_text(const std::string& text) {
  if (text.size() != 40) return false;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'A' || c > 'F')) return false;
  }
  return true;
}

// One upper-case hexadecimal digest a line; blank lines are skipped.
std::set<std::string> read_digests(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("cannot open " + file);
  std::set<std::string> digests;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    const std::string digest = line.substr(first, last - first + 1);
    if (!is_sha1_text(digest)) {
      throw std::runtime_error(file + ":" + std::to_string(number) +
                               ": not an upper-case hexadecimal SHA-1 digest");
    }
    digests.insert(digest);
  }
  if (in.bad()) throw std::runtime_error("cannot read " + file);
  return digests;
}

// One client connection. Owned by its own outstanding reads, writes and delayed
// answers; ends when the client goes or misbehaves.
class session_t : public std::enable_shared_from_this<session_t>, public cf_local_ipc_link_t {
 public:
  session_t(std::shared_ptr<stream_protocol::socket> socket, const settings_t& settings)
      : cf_local_ipc_link_t(kIpcLinkLimit), settings(settings) {
    set_socket(std::move(socket));
  }

  void start() { read_header(); }

 private:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    cl::ClientMessage request;
    if (!request.ParseFromZeroCopyStream(&body)) {
      std::cerr << kName << ": undecodable request, closing the connection" << std::endl;
      close();
      return;
    }
    if (request.tag() != cl::ClientMessage::CHECK_FILE_REQUEST || !request.has_file()) {
      // URL checks and notifications are not this stand-in's business.
      return;
    }
    cl::ServerMessage response;
    response.set_tag(cl::ServerMessage::CHECK_FILE_RESPONSE);
    response.set_serial(request.serial());
    cl::FileResult* result = response.mutable_file_result();
    result->set_result(settings.result);
    if (settings.result == vl::EC_OK && settings.bad_digests.count(request.file().sha1())) {
      vl::Virus* virus = result->mutable_virus();
      virus->set_type(vl::SE_KNOWN_VIRUS);
      virus->set_name(settings.virus_name);
    }
    if (settings.delay.count() == 0) {
      async_send_message(response);
      return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(socket()->get_executor());
    timer->expires_after(settings.delay);
    timer->async_wait(
        [self = shared_from_this(), timer, response](const boost::system::error_code& error) {
          if (error || !self->is_open()) return;
          self->async_send_message(response);
        });
  }

  void on_error(const boost::system::error_code& code) override {
    // The client went away: the normal end of a session.
    if (code != boost::asio::error::eof) {
      std::cerr << kName << ": connection: " << code.message() << std::endl;
    }
    close();
  }

  std::shared_ptr<cf_local_ipc_link_t> shared_this() override { return shared_from_this(); }

  void close() {
    boost::system::error_code ignored;
    socket()->close(ignored);
  }

  const settings_t& settings;
};

class server_t {
 public:
  server_t(boost::asio::io_context& io, const settings_t& settings)
      : io(io), settings(settings), acceptor(io), signals(io, SIGTERM, SIGINT) {}

  void start() {
    // A socket left behind by an earlier run would make bind fail.
    struct stat status;
    if (::lstat(settings.socket_path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
      ::unlink(settings.socket_path.c_str());
    }
    acceptor.open(stream_protocol());
    acceptor.bind(stream_protocol::endpoint(settings.socket_path));
    acceptor.listen();
    signals.async_wait([this](const boost::system::error_code& error, int) {
      if (error) return;
      stop();
    });
    start_accept();
    std::cout << kName << ": listening on " << settings.socket_path << std::endl;
  }

 private:
  void start_accept() {
    auto socket = std::make_shared<stream_protocol::socket>(io);
    acceptor.async_accept(*socket, [this, socket](const boost::system::error_code& error) {
      on_accept(error, socket);
    });
  }

  void on_accept(const boost::system::error_code& error,
                 std::shared_ptr<stream_protocol::socket> socket) {
    // Our own stop closed the acceptor.
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
      std::cerr << kName << ": accept: " << error.message() << std::endl;
    } else {
      std::make_shared<session_t>(std::move(socket), settings)->start();
    }
    start_accept();
  }

  void stop() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    ::unlink(settings.socket_path.c_str());
    io.stop();
  }

  boost::asio::io_context& io;
  const settings_t& settings;
  stream_protocol::acceptor acceptor;
  boost::asio::signal_set signals;
};

}  // namespace

int main(int argc, char** argv) {
  po::options_description options(
      "Usage: stand-lumend --socket PATH [options]\n"
      "Stand-in for the cloud-lookup daemon: answers file checks by SHA-1 on a UNIX\n"
      "socket. Digests listed in the known-bad file are reported as threats.\n\n"
      "Options");
  std::string bad_file;
  long long delay_ms = 0;
  int result = vl::EC_OK;
  settings_t settings;
  options.add_options()("help,h", "print this text and exit")(
      "socket,s", po::value(&settings.socket_path)->value_name("PATH"),
      "UNIX socket to listen on (required)")(
      "bad-digests,b", po::value(&bad_file)->value_name("FILE"),
      "known-bad SHA-1 digests, one upper-case hexadecimal digest a line")(
      "delay,d", po::value(&delay_ms)->value_name("MS")->default_value(0),
      "delay every answer by this many milliseconds")(
      "result,r", po::value(&result)->value_name("CODE")->default_value(vl::EC_OK),
      "error code of every answer (0 a completed lookup, 97 a cloud timeout)")(
      "virus-name,n",
      po::value(&settings.virus_name)->value_name("NAME")->default_value("Cloud.Known.Threat"),
      "threat name reported for a known-bad digest");

  po::variables_map values;
  try {
    po::store(po::parse_command_line(argc, argv, options), values);
    po::notify(values);
  } catch (const std::exception& e) {
    std::cerr << kName << ": " << e.what() << "\n\n" << options << std::endl;
    return 2;
  }
  if (values.count("help")) {
    std::cout << options << std::endl;
    return 0;
  }
  if (settings.socket_path.empty()) {
    std::cerr << kName << ": --socket is required\n\n" << options << std::endl;
    return 2;
  }
  if (delay_ms < 0) {
    std::cerr << kName << ": --delay must not be negative" << std::endl;
    return 2;
  }
  if (!vl::ErrorCode_IsValid(result)) {
    std::cerr << kName << ": --result " << result << " is not a known error code" << std::endl;
    return 2;
  }
  settings.delay = std::chrono::milliseconds(delay_ms);
  settings.result = static_cast<vl::ErrorCode>(result);
  try {
    if (!bad_file.empty()) settings.bad_digests = read_digests(bad_file);
    boost::asio::io_context io;
    server_t server(io, settings);
    server.start();
    io.run();
  } catch (const std::exception& e) {
    std::cerr << kName << ": " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
