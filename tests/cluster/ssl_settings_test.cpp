// TLS settings and the handshake rules, between two ends on loopback: which peers
// are trusted, what a refused handshake reports, what is logged, and the bounded
// wait for a silent peer.
#include "cluster/ssl_settings.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/ssl.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>

#include "framework/exception.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"
#include "tests/support/file_text.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using boost::system::error_code;
using tcp = asio::ip::tcp;

vl::BrelConfig tls_config(const test_cert_files_t& own, const std::string& ca = std::string(),
                          const std::string& crl = std::string()) {
  vl::BrelConfig config;
  config.set_load_balance_use_ssl(true);
  config.set_load_balance_ssl_certificate(own.cert_file);
  config.set_load_balance_ssl_key(own.key_file);
  config.set_load_balance_ssl_ca(ca);
  config.set_load_balance_ssl_crl(crl);
  return config;
}

// What one end's handshake reported.
struct outcome_t {
  int calls = 0;
  error_code code;
  std::string text;
  bool succeeded() const { return calls == 1 && !code; }
};

bk_ssl_handshake_callback_t record_into(outcome_t& outcome) {
  return [&outcome](const std::exception_ptr& error) {
    ++outcome.calls;
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const cf_exception_t& e) {
      outcome.code = e.code();
      outcome.text = e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "not a cf_exception_t: " << e.what();
    }
  };
}

void connect_pair(asio::io_context& io, tcp::socket& server, tcp::socket& client,
                  const asio::ip::address& address) {
  tcp::acceptor acceptor(io, {address, 0});
  client.connect(acceptor.local_endpoint());
  acceptor.accept(server);
}

// Stands for a host whose OpenSSL configuration allows security level 0 (short
// keys, anonymous suites): contexts made while it lives start at level 0. The
// level in force before comes back after.
class security_level_zero_t {
 public:
  explicit security_level_zero_t(const temp_dir_t& dir)
      : config_file_(dir / "openssl.cnf"), saved_(default_level()) {
    apply(0);
  }
  ~security_level_zero_t() { apply(saved_); }

 private:
  static int default_level() {
    SSL_CTX* probe = SSL_CTX_new(TLS_method());
    const int level = SSL_CTX_get_security_level(probe);
    SSL_CTX_free(probe);
    return level;
  }
  void apply(int level) {
    write_file(config_file_,
               "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = system\n"
               "[system]\nCipherString = DEFAULT:@SECLEVEL=" +
                   std::to_string(level) + "\n");
    if (CONF_modules_load_file(config_file_.c_str(), nullptr, 0) != 1 || default_level() != level)
      ADD_FAILURE() << "cannot set the OpenSSL security level to " << level;
  }

  const std::string config_file_;
  const int saved_;
};

class SslSettingsTest : public ::testing::Test {
 protected:
  SslSettingsTest() : certs(make_test_certs(dir.path().string())) {}

  ssl::context& prepared(const vl::BrelConfig& config) {
    settings.push_back(std::make_unique<bk_ssl_settings_t>(config));
    settings.back()->prepare();
    return settings.back()->context();
  }

  // Which ends run bk_ssl_handshake; a foreign end runs the plain stream handshake.
  enum ends_t { kBothOurs, kForeignClient, kForeignServer };

  // Connects a client to a server over `address` and runs both handshakes; returns
  // when both ended.
  void handshake(ssl::context& server_context, ssl::context& client_context,
                 ends_t ends = kBothOurs,
                 const asio::ip::address& address = asio::ip::address_v4::loopback()) {
    server_end = client_end = outcome_t();
    server = std::make_shared<cf_ssl_stream_t>(io, server_context);
    client = std::make_shared<cf_ssl_stream_t>(io, client_context);
    connect_pair(io, server->next_layer(), client->next_layer(), address);
    start(server, ssl::stream_base::server, server_end, ends != kForeignServer);
    start(client, ssl::stream_base::client, client_end, ends != kForeignClient);
    ASSERT_TRUE(run_until(io, [&] { return server_end.calls > 0 && client_end.calls > 0; }));
    expect_released(ends == kForeignServer ? client : server);
  }

  static void start(const std::shared_ptr<cf_ssl_stream_t>& stream,
                    ssl::stream_base::handshake_type role, outcome_t& outcome, bool ours) {
    if (ours) {
      bk_ssl_handshake(stream, role, record_into(outcome));
      return;
    }
    stream->async_handshake(role, [&outcome](const error_code& code) {
      ++outcome.calls;
      outcome.code = code;
    });
  }

  // A bare client socket connected to a fresh server-side stream.
  void connect(ssl::context& server_context, tcp::socket& client_socket) {
    server = std::make_shared<cf_ssl_stream_t>(io, server_context);
    connect_pair(io, server->next_layer(), client_socket, asio::ip::address_v4::loopback());
  }

  // Nothing waits on the loop any more (the time-out timer included) and nothing
  // but the test holds the stream.
  void expect_released(const std::shared_ptr<cf_ssl_stream_t>& stream) {
    io.restart();
    io.run_for(std::chrono::seconds(5));
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(stream.use_count(), 1);
  }
  void expect_released() { expect_released(server); }

  // A foreign context: no certificate, trusts anything, with `ciphers`.
  static std::unique_ptr<ssl::context> foreign_context(ssl::context::method method,
                                                       const char* ciphers = nullptr) {
    auto context = std::make_unique<ssl::context>(method);
    if (ciphers) {
      EXPECT_EQ(SSL_CTX_set_cipher_list(context->native_handle(), ciphers), 1);
    }
    return context;
  }

  temp_dir_t dir;
  test_certs_t certs;
  asio::io_context io;
  std::vector<std::unique_ptr<bk_ssl_settings_t>> settings;
  std::shared_ptr<cf_ssl_stream_t> server, client;
  outcome_t server_end, client_end;
  log_capture_t capture;
  std::shared_ptr<recording_log_t> log = capture.lines;
};

TEST_F(SslSettingsTest, DiffersOnlyWhenTlsIsSwitchedOrAFileMoves) {
  vl::BrelConfig off = tls_config(certs.server, certs.ca_file);
  off.set_load_balance_use_ssl(false);
  vl::BrelConfig off_other;
  off_other.set_load_balance_ssl_certificate("/elsewhere.pem");
  EXPECT_FALSE(bk_ssl_settings_t(off).differs(off_other));

  const vl::BrelConfig on = tls_config(certs.server, certs.ca_file, certs.crl_file);
  EXPECT_TRUE(bk_ssl_settings_t(off).differs(on));
  EXPECT_TRUE(bk_ssl_settings_t(on).differs(off));
  vl::BrelConfig same = on;
  same.set_load_balance_ssl_ca(dir.path().string() + "//ca.pem");
  EXPECT_FALSE(bk_ssl_settings_t(on).differs(same));
  for (auto change : std::vector<void (*)(vl::BrelConfig&)>{
           [](vl::BrelConfig& c) { c.set_load_balance_ssl_certificate("/other.pem"); },
           [](vl::BrelConfig& c) { c.set_load_balance_ssl_key("/other.key"); },
           [](vl::BrelConfig& c) { c.set_load_balance_ssl_ca(""); },
           [](vl::BrelConfig& c) { c.set_load_balance_ssl_crl("/other.crl"); }}) {
    vl::BrelConfig changed = on;
    change(changed);
    EXPECT_TRUE(bk_ssl_settings_t(on).differs(changed));
  }
}

TEST_F(SslSettingsTest, ContextNeedsASuccessfulPrepare) {
  vl::BrelConfig off = tls_config(certs.server, certs.ca_file);
  off.set_load_balance_use_ssl(false);
  bk_ssl_settings_t plain(off);
  plain.prepare();
  EXPECT_FALSE(plain.prepared());
  try {
    plain.context();
    ADD_FAILURE() << "context() returned without a prepared context";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "No SSL context prepared");
  }
}

TEST_F(SslSettingsTest, PrepareFailuresNameTheSetting) {
  const std::string missing = dir / "missing.pem";
  const std::string too_long = dir / std::string(300, 'x');
  const std::vector<std::pair<vl::BrelConfig, std::string>> rows = {
      {tls_config({missing, certs.server.key_file}, certs.ca_file),
       "LoadBalanceSslCertificate: No such file or directory"},
      {tls_config({certs.server.cert_file, certs.client.key_file}, certs.ca_file),
       "LoadBalanceSslKey: "},
      {tls_config(certs.server, missing), "LoadBalanceSslCa: No such file or directory"},
      {tls_config(certs.server, certs.ca_file, missing), "Cannot add CRL path \"" + missing + "\""},
      // Below the host's security level (1 and up), before the short-key Warning.
      {tls_config(certs.short_rsa, certs.ca_file), "LoadBalanceSslCertificate: "},
      {tls_config(certs.server, certs.server.key_file), "LoadBalanceSslCa: "},
      {tls_config(certs.server, too_long), "Cannot access CA at \"" + too_long + "\": "},
      {tls_config(certs.server, certs.ca_file, certs.ca_file),
       "Cannot add CRL path \"" + certs.ca_file + "\""},
      {tls_config(certs.server, certs.ca_file, too_long),
       "Cannot access CRL(s) at \"" + too_long + "\": "},
  };
  for (const auto& [config, text] : rows) {
    SCOPED_TRACE(text);
    bk_ssl_settings_t settings(config);
    try {
      settings.prepare();
      ADD_FAILURE() << "prepared";
    } catch (const std::exception& e) {
      // A text ending in ": " is the start of the message, a reason follows.
      const std::string what = e.what();
      if (text.back() == ' ') {
        EXPECT_EQ(what.substr(0, text.size()), text) << what;
        EXPECT_GT(what.size(), text.size()) << "no reason given";
      } else {
        EXPECT_EQ(what, text);
      }
    }
    // A half-built context would trust any peer.
    EXPECT_FALSE(settings.prepared());
  }
}

TEST_F(SslSettingsTest, TrustsOnlyPeersTheCaOrASelfSignedTwinVouchesFor) {
  ssl::context& self_signed = prepared(tls_config(certs.self_signed));
  const struct {
    vl::BrelConfig server, client;
    std::string reason;  // empty: both ends succeed
  } rows[] = {
      {tls_config(certs.server, certs.ca_file, certs.crl_file),
       tls_config(certs.client, certs.ca_file, certs.crl_file), ""},
      {tls_config(certs.server, certs.hashed_dir, certs.hashed_dir),
       tls_config(certs.revoked, certs.hashed_dir), "certificate revoked"},
      {tls_config(certs.server, certs.ca_file), tls_config(certs.stranger, certs.ca_file),
       "unable to get local issuer certificate"},
      {tls_config(certs.server, certs.ca_file), tls_config(certs.self_signed, certs.ca_file),
       "self-signed certificate"},
      {tls_config(certs.self_signed), tls_config(certs.self_signed), ""},
      // A revocation list that does not cover the CA only warns.
      {tls_config(certs.server, certs.ca_file, certs.other_crl_file),
       tls_config(certs.client, certs.ca_file), ""},
      // Trusts the self-signed certificate but presents one of its own.
      {tls_config(certs.self_signed), tls_config(certs.client, certs.self_signed.cert_file),
       "unable to get local issuer certificate"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.client.load_balance_ssl_certificate() + " " +
                 row.server.load_balance_ssl_ca());
    handshake(row.server.load_balance_ssl_ca().empty() ? self_signed : prepared(row.server),
              prepared(row.client));
    EXPECT_EQ(server_end.calls, 1);
    EXPECT_EQ(server_end.text, row.reason);
    EXPECT_EQ(client_end.succeeded(), row.reason.empty()) << client_end.text;
  }
  EXPECT_TRUE(log->has("unable to get certificate CRL"));
}

TEST_F(SslSettingsTest, TrustsTheCaAndItsRevocationListFromFilesOrHashedDirectory) {
  for (const auto& [ca, crl] :
       {std::pair{certs.ca_file, certs.crl_file}, std::pair{certs.hashed_dir, certs.hashed_dir}}) {
    SCOPED_TRACE(ca);
    ssl::context& server_context = prepared(tls_config(certs.server, ca, crl));
    handshake(server_context, prepared(tls_config(certs.client, ca, crl)));
    EXPECT_TRUE(server_end.succeeded()) << server_end.text;
    EXPECT_TRUE(client_end.succeeded()) << client_end.text;

    handshake(server_context, prepared(tls_config(certs.revoked, ca, crl)));
    EXPECT_EQ(server_end.calls, 1);
    EXPECT_TRUE(server_end.code);
    EXPECT_EQ(server_end.text, "certificate revoked");
    EXPECT_FALSE(client_end.succeeded());
  }
  EXPECT_FALSE(log->has("Warning"));
}

TEST_F(SslSettingsTest, MissingRevocationListOnlyWarns) {
  for (const auto& loopback :
       {asio::ip::make_address("127.0.0.1"), asio::ip::make_address("::1")}) {
    SCOPED_TRACE(loopback.to_string());
    ssl::context& server_context =
        prepared(tls_config(certs.server, certs.ca_file, certs.other_crl_file));
    handshake(server_context, prepared(tls_config(certs.client, certs.ca_file)), kBothOurs,
              loopback);
    EXPECT_TRUE(server_end.succeeded()) << server_end.text;
    EXPECT_TRUE(client_end.succeeded()) << client_end.text;
    const std::string address = loopback.is_v6() ? "[::1]" : "127.0.0.1";
    const std::string port = std::to_string(client->next_layer().local_endpoint().port());
    EXPECT_TRUE(log->has_line("Warning: SSL handshake with " + address + ":" + port +
                              ": unable to get certificate CRL"));
  }
}

TEST_F(SslSettingsTest, SelfSignedCertificateWithoutCaIsLogged) {
  prepared(tls_config(certs.self_signed));
  EXPECT_TRUE(log->has_line("Info: LoadBalance: using self-signed certificate without CA"));
}

TEST_F(SslSettingsTest, ServerOnlyCertificateServesAsClient) {
  handshake(prepared(tls_config(certs.server, certs.ca_file)),
            prepared(tls_config(certs.server, certs.ca_file)));
  EXPECT_TRUE(server_end.succeeded()) << server_end.text;
  EXPECT_TRUE(client_end.succeeded()) << client_end.text;
}

TEST_F(SslSettingsTest, SilentPeerTimesOutAndTheCallersCloseAborts) {
  ssl::context& context = prepared(tls_config(certs.server, certs.ca_file));
  tcp::socket silent(io);
  connect(context, silent);
  const auto started = std::chrono::steady_clock::now();
  bk_ssl_handshake(server, ssl::stream_base::server, record_into(server_end),
                   std::chrono::milliseconds(200));
  ASSERT_TRUE(run_until(io, [&] { return server_end.calls > 0; }));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  EXPECT_EQ(server_end.code, asio::error::timed_out);
  EXPECT_EQ(server_end.text, "SSL handshake timed out");
  EXPECT_FALSE(server->next_layer().is_open());
  expect_released();
  EXPECT_EQ(server_end.calls, 1);

  server_end = outcome_t();
  tcp::socket other(io);
  connect(context, other);
  bk_ssl_handshake(server, ssl::stream_base::server, record_into(server_end));
  asio::post(io, [this] { server->next_layer().close(); });
  ASSERT_TRUE(run_until(io, [&] { return server_end.calls > 0; }));
  EXPECT_EQ(server_end.code, asio::error::operation_aborted);
  expect_released();
}

TEST_F(SslSettingsTest, RefusesClientsOutsideTheProtocolRules) {
  ssl::context& server_context = prepared(tls_config(certs.server, certs.ca_file));
  const struct {
    const char* what;
    std::unique_ptr<ssl::context> context;
  } rows[] = {
      {"no certificate", foreign_context(ssl::context::tls_client)},
      {"TLS 1.3 only", foreign_context(ssl::context::tlsv13_client)},
      {"TLS 1.1 only", foreign_context(ssl::context::tlsv11_client, "DEFAULT:@SECLEVEL=0")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    handshake(server_context, *row.context, kForeignClient);
    EXPECT_EQ(server_end.calls, 1);
    EXPECT_TRUE(server_end.code);
    // No certificate was judged, so the text is the handshake error's own.
    EXPECT_EQ(server_end.text, server_end.code.message());
    EXPECT_TRUE(client_end.code);
  }
}

// Where the host's OpenSSL configuration lets anonymous suites through, the cipher
// list alone has to keep them out.
TEST_F(SslSettingsTest, NegotiatesNoAnonymousSuiteEvenWhereTheHostAllowsThem) {
  const security_level_zero_t weak_host(dir);
  // An impostor server without a certificate, with the DH parameters anonymous
  // suites need: a client that accepted one would send its jobs to anybody.
  const auto impostor = foreign_context(ssl::context::tls_server, "aNULL:@SECLEVEL=0");
  SSL_CTX_set_dh_auto(impostor->native_handle(), 1);
  handshake(*impostor, prepared(tls_config(certs.client, certs.ca_file)), kForeignServer);
  EXPECT_TRUE(client_end.code) << "negotiated " << SSL_get_cipher_name(client->native_handle());

  const auto anonymous = foreign_context(ssl::context::tls_client, "aNULL:@SECLEVEL=0");
  handshake(prepared(tls_config(certs.server, certs.ca_file)), *anonymous, kForeignClient);
  EXPECT_TRUE(server_end.code) << "negotiated " << SSL_get_cipher_name(server->native_handle());
}
TEST_F(SslSettingsTest, WarnsAboutShortRsaKeyAndUsesIt) {
  const security_level_zero_t weak_host(dir);
  prepared(tls_config(certs.short_rsa, certs.ca_file));
  EXPECT_TRUE(log->has_line(
      "Warning: LoadBalance: using certificate with RSA key length less than 1024 bits"));
}

}  // namespace
