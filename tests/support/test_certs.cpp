#include "tests/support/test_certs.h"

#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

struct pkey_deleter_t {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct x509_deleter_t {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct bio_deleter_t {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using pkey_ptr_t = std::unique_ptr<EVP_PKEY, pkey_deleter_t>;
using x509_ptr_t = std::unique_ptr<X509, x509_deleter_t>;
using bio_ptr_t = std::unique_ptr<BIO, bio_deleter_t>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what + " failed");
}

pkey_ptr_t make_key() {
  pkey_ptr_t key(EVP_EC_gen("P-256"));
  check(key != nullptr, "EVP_EC_gen");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(extension != nullptr, "X509V3_EXT_conf_nid");
  const int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  check(added == 1, "X509_add_ext");
}

// An unsigned certificate for `key` with the given subject and serial, valid from an
// hour ago for a day.
x509_ptr_t make_cert(EVP_PKEY* key, const std::string& common_name, long serial) {
  x509_ptr_t cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
  check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "ASN1_INTEGER_set");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "X509_gmtime_adj");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) != nullptr, "X509_gmtime_adj");
  check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(cert.get());
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                   -1, 0) == 1,
        "X509_NAME_add_entry_by_txt");
  return cert;
}

void write_files(const test_cert_files_t& files, X509* cert, EVP_PKEY* key) {
  bio_ptr_t cert_bio(BIO_new_file(files.cert_file.c_str(), "w"));
  check(cert_bio != nullptr, "opening the certificate file");
  check(PEM_write_bio_X509(cert_bio.get(), cert) == 1, "PEM_write_bio_X509");
  bio_ptr_t key_bio(BIO_new_file(files.key_file.c_str(), "w"));
  check(key_bio != nullptr, "opening the key file");
  check(PEM_write_bio_PrivateKey(key_bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
}

test_cert_files_t files_for(const std::string& dir, const std::string& stem) {
  return {dir + "/" + stem + ".pem", dir + "/" + stem + ".key"};
}

// Issues "<dir>/<stem>.pem" and its key, signed by the authority, for `usage`.
test_cert_files_t issue(const std::string& dir, const std::string& stem,
                        const std::string& common_name, const char* usage, long serial,
                        X509* ca_cert, EVP_PKEY* ca_key) {
  const test_cert_files_t files = files_for(dir, stem);
  pkey_ptr_t key = make_key();
  x509_ptr_t cert = make_cert(key.get(), common_name, serial);
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(ca_cert)) == 1,
        "X509_set_issuer_name");
  add_extension(cert.get(), ca_cert, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(cert.get(), ca_cert, NID_key_usage, "critical,digitalSignature,keyAgreement");
  add_extension(cert.get(), ca_cert, NID_ext_key_usage, usage);
  add_extension(cert.get(), ca_cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
  add_extension(cert.get(), ca_cert, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(cert.get(), ca_key, EVP_sha256()) > 0, "X509_sign");
  write_files(files, cert.get(), key.get());
  return files;
}

}  // namespace

test_certs_t make_test_certs(const std::string& dir) {
  const test_cert_files_t ca_files = files_for(dir, "ca");
  pkey_ptr_t ca_key = make_key();
  x509_ptr_t ca_cert = make_cert(ca_key.get(), "Brelkin Test CA", 1);
  X509* cert = ca_cert.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1, "X509_set_issuer_name");
  add_extension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert, cert, NID_subject_key_identifier, "hash");
  check(X509_sign(cert, ca_key.get(), EVP_sha256()) > 0, "X509_sign");
  write_files(ca_files, cert, ca_key.get());

  test_certs_t certs;
  certs.ca_file = ca_files.cert_file;
  certs.server = issue(dir, "server", "localhost", "serverAuth", 2, cert, ca_key.get());
  certs.client = issue(dir, "client", "Brelkin Test Client", "clientAuth", 3, cert, ca_key.get());
  return certs;
}
