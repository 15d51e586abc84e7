// Certificates for TLS tests, made at run time with OpenSSL: a test certificate
// authority and the certificates it issues, written as PEM files into a directory
// the caller owns (usually a temp_dir_t), so nothing is committed and nothing
// expires between runs.
//
// Keys are EC P-256 (fast to make). Every function throws std::runtime_error when
// OpenSSL fails. Plain objects, usable on any one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

// A certificate and its unencrypted private key.
struct test_cert_files_t {
  std::string cert_file;
  std::string key_file;
};

enum class test_cert_usage_t { server, client, both };

class test_ca_t {
 public:
  // Makes a fresh key and a self-signed CA certificate "<dir>/<stem>.pem"
  // (with its key "<dir>/<stem>.key").
  test_ca_t(const std::string& dir, const std::string& stem = "ca",
            const std::string& common_name = "Brelkin Test CA");
  ~test_ca_t();
  test_ca_t(const test_ca_t&) = delete;
  test_ca_t& operator=(const test_ca_t&) = delete;

  const std::string& cert_file() const { return files_.cert_file; }
  const std::string& key_file() const { return files_.key_file; }

  // Issues "<dir>/<stem>.pem" and "<dir>/<stem>.key" for `common_name`, with the
  // subject alternative names DNS:localhost, IP:127.0.0.1 and IP:::1, valid from now
  // plus `not_before` to now plus `not_after` (negative offsets lie in the past, so
  // a certificate can be made expired or not yet valid).
  test_cert_files_t issue(const std::string& stem, const std::string& common_name,
                          test_cert_usage_t usage,
                          std::chrono::seconds not_before = std::chrono::hours(-1),
                          std::chrono::seconds not_after = std::chrono::hours(24));

 private:
  struct impl_t;
  std::string dir_;
  test_cert_files_t files_;
  std::unique_ptr<impl_t> impl_;
  long next_serial_ = 2;
};

// The usual set: a CA, a server and a client certificate signed by it.
struct test_certs_t {
  std::string ca_file;
  test_cert_files_t server;
  test_cert_files_t client;
};

test_certs_t make_test_certs(const std::string& dir);
