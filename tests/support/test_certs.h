// Certificates for TLS tests, made at run time with OpenSSL and written as PEM files
// into a directory the caller owns (usually a temp_dir_t), so nothing is committed
// and nothing expires between runs. Keys are EC P-256 (fast to make) unless said
// otherwise.
#pragma once

#include <string>

// A certificate and its unencrypted private key.
struct test_cert_files_t {
  std::string cert_file;
  std::string key_file;
};

// A test certificate authority "ca.pem" with the certificates it issued and its
// revocation list, and what lies outside it. Every certificate but the two CAs'
// names localhost, 127.0.0.1 and ::1. Throws std::runtime_error when OpenSSL fails.
struct test_certs_t {
  std::string ca_file;
  // Extended key usage serverAuth only.
  test_cert_files_t server;
  // Extended key usage clientAuth only.
  test_cert_files_t client;
  // Issued by the CA for both roles, and revoked by crl_file.
  test_cert_files_t revoked;
  // The CA's revocation list.
  std::string crl_file;
  // The CA certificate and its revocation list under their hash names ("<hash>.0",
  // "<hash>.r0"), as OpenSSL looks them up in a hashed directory.
  std::string hashed_dir;
  // Its own issuer, for both roles.
  test_cert_files_t self_signed;
  // A 512-bit RSA key, issued by the CA for both roles.
  test_cert_files_t short_rsa;
  // An unrelated authority's revocation list (revoking nothing) and a certificate
  // it issued for both roles.
  std::string other_crl_file;
  test_cert_files_t stranger;
};

test_certs_t make_test_certs(const std::string& dir);
