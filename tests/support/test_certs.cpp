#include "tests/support/test_certs.h"

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <boost/filesystem/operations.hpp>

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
struct crl_deleter_t {
  void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
struct asn1_time_deleter_t {
  void operator()(ASN1_TIME* time) const { ASN1_TIME_free(time); }
};
using pkey_ptr_t = std::unique_ptr<EVP_PKEY, pkey_deleter_t>;
using x509_ptr_t = std::unique_ptr<X509, x509_deleter_t>;
using bio_ptr_t = std::unique_ptr<BIO, bio_deleter_t>;
using crl_ptr_t = std::unique_ptr<X509_CRL, crl_deleter_t>;
using asn1_time_ptr_t = std::unique_ptr<ASN1_TIME, asn1_time_deleter_t>;

// An authority: its certificate and its signing key.
struct authority_t {
  x509_ptr_t cert;
  pkey_ptr_t key;
};

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

void write_cert(const std::string& path, X509* cert) {
  bio_ptr_t cert_bio(BIO_new_file(path.c_str(), "w"));
  check(cert_bio != nullptr, "opening the certificate file");
  check(PEM_write_bio_X509(cert_bio.get(), cert) == 1, "PEM_write_bio_X509");
}

void write_files(const test_cert_files_t& files, X509* cert, EVP_PKEY* key) {
  write_cert(files.cert_file, cert);
  bio_ptr_t key_bio(BIO_new_file(files.key_file.c_str(), "w"));
  check(key_bio != nullptr, "opening the key file");
  check(PEM_write_bio_PrivateKey(key_bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
}

test_cert_files_t files_for(const std::string& dir, const std::string& stem) {
  return {dir + "/" + stem + ".pem", dir + "/" + stem + ".key"};
}

constexpr const char* kBothRoles = "serverAuth,clientAuth";
constexpr const char* kLoopbackNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

// Issues "<dir>/<stem>.pem" and its key, signed by the authority, for `usage`.
test_cert_files_t issue(const std::string& dir, const std::string& stem,
                        const std::string& common_name, const char* usage, long serial,
                        X509* ca_cert, EVP_PKEY* ca_key, pkey_ptr_t key = make_key()) {
  const test_cert_files_t files = files_for(dir, stem);
  x509_ptr_t cert = make_cert(key.get(), common_name, serial);
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(ca_cert)) == 1,
        "X509_set_issuer_name");
  add_extension(cert.get(), ca_cert, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(cert.get(), ca_cert, NID_key_usage, "critical,digitalSignature,keyAgreement");
  add_extension(cert.get(), ca_cert, NID_ext_key_usage, usage);
  add_extension(cert.get(), ca_cert, NID_subject_alt_name, kLoopbackNames);
  add_extension(cert.get(), ca_cert, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(cert.get(), ca_key, EVP_sha256()) > 0, "X509_sign");
  write_files(files, cert.get(), key.get());
  return files;
}

// A self-signed authority "<dir>/<stem>.pem" with its key beside it.
authority_t make_authority(const std::string& dir, const std::string& stem,
                           const std::string& common_name) {
  authority_t ca{nullptr, make_key()};
  ca.cert = make_cert(ca.key.get(), common_name, 1);
  X509* cert = ca.cert.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1, "X509_set_issuer_name");
  add_extension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert, cert, NID_subject_key_identifier, "hash");
  check(X509_sign(cert, ca.key.get(), EVP_sha256()) > 0, "X509_sign");
  write_files(files_for(dir, stem), cert, ca.key.get());
  return ca;
}

asn1_time_ptr_t time_from_now(long seconds) {
  asn1_time_ptr_t time(X509_gmtime_adj(nullptr, seconds));
  check(time != nullptr, "X509_gmtime_adj");
  return time;
}

// The authority's revocation list, valid from an hour ago for a day, revoking the
// given serial numbers.
crl_ptr_t make_crl(const authority_t& ca, std::initializer_list<long> revoked_serials) {
  crl_ptr_t crl(X509_CRL_new());
  check(crl != nullptr, "X509_CRL_new");
  check(X509_CRL_set_version(crl.get(), 1) == 1, "X509_CRL_set_version");
  check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get())) == 1,
        "X509_CRL_set_issuer_name");
  check(X509_CRL_set1_lastUpdate(crl.get(), time_from_now(-3600).get()) == 1,
        "X509_CRL_set1_lastUpdate");
  check(X509_CRL_set1_nextUpdate(crl.get(), time_from_now(24 * 3600).get()) == 1,
        "X509_CRL_set1_nextUpdate");
  for (long serial : revoked_serials) {
    X509_REVOKED* entry = X509_REVOKED_new();
    check(entry != nullptr, "X509_REVOKED_new");
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    const bool filled = number && ASN1_INTEGER_set(number, serial) == 1 &&
                        X509_REVOKED_set_serialNumber(entry, number) == 1 &&
                        X509_REVOKED_set_revocationDate(entry, time_from_now(-600).get()) == 1;
    ASN1_INTEGER_free(number);
    if (!filled || X509_CRL_add0_revoked(crl.get(), entry) != 1) {
      X509_REVOKED_free(entry);
      check(false, "adding a revoked serial");
    }
  }
  check(X509_CRL_sort(crl.get()) == 1, "X509_CRL_sort");
  check(X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()) > 0, "X509_CRL_sign");
  return crl;
}

void write_crl(const std::string& path, X509_CRL* crl) {
  bio_ptr_t bio(BIO_new_file(path.c_str(), "w"));
  check(bio != nullptr, "opening the CRL file");
  check(PEM_write_bio_X509_CRL(bio.get(), crl) == 1, "PEM_write_bio_X509_CRL");
}

// A certificate that is its own issuer, like one made with "openssl req -x509".
test_cert_files_t make_self_signed(const std::string& dir, const std::string& stem) {
  const test_cert_files_t files = files_for(dir, stem);
  pkey_ptr_t key = make_key();
  x509_ptr_t cert = make_cert(key.get(), "Brelkin Self-Signed", 1);
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1,
        "X509_set_issuer_name");
  add_extension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  add_extension(cert.get(), cert.get(), NID_subject_alt_name, kLoopbackNames);
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
  write_files(files, cert.get(), key.get());
  return files;
}

// "<dir>/hashed" with the authority's certificate and list under the names a hashed
// lookup asks for.
std::string make_hashed_dir(const std::string& dir, const authority_t& ca, X509_CRL* crl) {
  const std::string hashed = dir + "/hashed";
  boost::filesystem::create_directories(hashed);
  char name[16];
  std::snprintf(name, sizeof name, "%08lx", X509_subject_name_hash(ca.cert.get()));
  write_cert(hashed + "/" + name + ".0", ca.cert.get());
  write_crl(hashed + "/" + name + ".r0", crl);
  return hashed;
}

}  // namespace

test_certs_t make_test_certs(const std::string& dir) {
  const authority_t ca = make_authority(dir, "ca", "Brelkin Test CA");
  X509* ca_cert = ca.cert.get();
  EVP_PKEY* ca_key = ca.key.get();
  test_certs_t certs;
  certs.ca_file = files_for(dir, "ca").cert_file;
  certs.server = issue(dir, "server", "localhost", "serverAuth", 2, ca_cert, ca_key);
  certs.client = issue(dir, "client", "Brelkin Test Client", "clientAuth", 3, ca_cert, ca_key);
  certs.revoked = issue(dir, "revoked", "Brelkin Revoked", kBothRoles, 4, ca_cert, ca_key);
  pkey_ptr_t rsa_key(EVP_RSA_gen(512));
  check(rsa_key != nullptr, "EVP_RSA_gen");
  certs.short_rsa = issue(dir, "short_rsa", "Brelkin Short RSA", kBothRoles, 5, ca_cert, ca_key,
                          std::move(rsa_key));
  const crl_ptr_t crl = make_crl(ca, {4});
  certs.crl_file = dir + "/ca.crl.pem";
  write_crl(certs.crl_file, crl.get());
  certs.hashed_dir = make_hashed_dir(dir, ca, crl.get());

  certs.self_signed = make_self_signed(dir, "self_signed");

  const authority_t other_ca = make_authority(dir, "other_ca", "Brelkin Other CA");
  certs.other_crl_file = dir + "/other_ca.crl.pem";
  write_crl(certs.other_crl_file, make_crl(other_ca, {}).get());
  certs.stranger = issue(dir, "stranger", "Brelkin Stranger", kBothRoles, 2, other_ca.cert.get(),
                         other_ca.key.get());
  return certs;
}
