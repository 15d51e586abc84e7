// Certificates for TLS tests, made at run time with OpenSSL and written as PEM files
// into a directory the caller owns (usually a temp_dir_t), so nothing is committed
// and nothing expires between runs. Keys are EC P-256 (fast to make).
#pragma once

#include <string>

// A certificate and its unencrypted private key.
struct test_cert_files_t {
  std::string cert_file;
  std::string key_file;
};

// A test certificate authority "ca.pem" and the certificates it issued: "server"
// (for localhost, 127.0.0.1 and ::1) and "client". Throws std::runtime_error when
// OpenSSL fails.
struct test_certs_t {
  std::string ca_file;
  test_cert_files_t server;
  test_cert_files_t client;
};

test_certs_t make_test_certs(const std::string& dir);
