#include "cluster/ssl_settings.h"

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/verify_context.hpp>
#include <boost/asio/ssl/verify_mode.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "framework/error.h"
#include "framework/exception.h"
#include "framework/log.h"
#include "schemas/brel_config.pb.h"

namespace ssl = boost::asio::ssl;
using boost::system::error_code;
using boost::system::system_error;

// Anonymous suites are excluded by name: otherwise only the host's OpenSSL security
// level keeps them out, and a client that accepted one would talk to a server that
// shows no certificate at all.
const char* const bk_ssl_settings_t::kCipherList =
    "TLSv1.2:!RC4:!3DES:!SHA1:!eNULL:!aNULL:@STRENGTH";

namespace {

struct file_closer_t {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct x509_deleter_t {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct pkey_deleter_t {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct bignum_deleter_t {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using file_ptr_t = std::unique_ptr<FILE, file_closer_t>;
using x509_ptr_t = std::unique_ptr<X509, x509_deleter_t>;
using pkey_ptr_t = std::unique_ptr<EVP_PKEY, pkey_deleter_t>;
using bignum_ptr_t = std::unique_ptr<BIGNUM, bignum_deleter_t>;

// OpenSSL reports a failed system call (a missing file, say) as a packed errno that
// its reason strings do not cover; as a system error it reads "No such file or
// directory" instead of no reason at all.
error_code readable(const error_code& error) {
  if (error.category() != boost::asio::error::get_ssl_category()) return error;
  const unsigned long code = static_cast<unsigned int>(error.value());
  if (!ERR_SYSTEM_ERROR(code)) return error;
  return error_code(ERR_GET_REASON(code), boost::system::system_category());
}

// The oldest OpenSSL error of this thread, in the TLS stream's category, as the
// stream and context report theirs. The rest of the queue is dropped so that it
// cannot be mistaken for the reason of a later failure.
error_code openssl_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  return readable(error_code(static_cast<int>(code), boost::asio::error::get_ssl_category()));
}

[[noreturn]] void throw_setting_error(const error_code& error, const char* setting) {
  throw system_error(readable(error), setting);
}

// Null with errno set when the file cannot be opened.
file_ptr_t open_for_reading(const std::string& path) {
  return file_ptr_t(std::fopen(path.c_str(), "r"));
}

x509_ptr_t read_certificate(FILE* file) {
  return x509_ptr_t(PEM_read_X509(file, nullptr, nullptr, nullptr));
}

// Keys shorter than 1024 bits still work, but an operator should hear of it.
void warn_about_short_rsa_key(const std::string& certificate) {
  file_ptr_t file = open_for_reading(certificate);
  if (!file) {
    throw system_error(error_code(errno, boost::system::system_category()),
                       "Cannot read file " + certificate);
  }
  x509_ptr_t cert = read_certificate(file.get());
  if (!cert) {
    ERR_clear_error();
    throw std::runtime_error("Cannot read X.509 data from " + certificate);
  }
  pkey_ptr_t key(X509_get_pubkey(cert.get()));
  if (!key) {
    ERR_clear_error();
    throw std::runtime_error("Cannot get public key from certificate " + certificate);
  }
  const int type = EVP_PKEY_get_base_id(key.get());
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_RSA_PSS) return;
  BIGNUM* modulus = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &modulus) != 1) {
    ERR_clear_error();
    throw std::runtime_error("Bad RSA key");
  }
  const bignum_ptr_t owned_modulus(modulus);
  if (BN_num_bits(modulus) < 1024) {
    CF_LOG(kLogWarning, "LoadBalance: using certificate with RSA key length less than 1024 bits");
  }
}

// A path that does not exist is no status error: loading it reports it.
boost::filesystem::file_status status_of(const std::string& path, error_code& error) {
  const boost::filesystem::file_status status = boost::filesystem::status(path, error);
  if (status.type() != boost::filesystem::status_error) error.clear();
  return status;
}

void load_verify_file(ssl::context& context, const std::string& path, const char* setting) {
  error_code error;
  context.load_verify_file(path, error);
  if (error) throw_setting_error(error, setting);
}

// Without a CA, a self-signed certificate trusts itself, so peers that share it can
// talk; any other certificate is left without a verification location and every
// peer will fail verification.
void trust_own_certificate_if_self_signed(ssl::context& context, const std::string& certificate) {
  file_ptr_t file = open_for_reading(certificate);
  if (!file) {
    throw boost::filesystem::filesystem_error("open", certificate,
                                              error_code(errno, boost::system::system_category()));
  }
  x509_ptr_t cert = read_certificate(file.get());
  if (!cert) throw system_error(openssl_error(), "Reading certificate");
  const X509_NAME* issuer = X509_get_issuer_name(cert.get());
  const X509_NAME* subject = X509_get_subject_name(cert.get());
  if (!issuer || !subject) {
    throw system_error(make_error_code(vl::EC_DATA_CORRUPTED), "LoadBalanceSslCertificate");
  }
  if (X509_NAME_cmp(issuer, subject) != 0) return;
  CF_LOG(kLogInfo, "LoadBalance: using self-signed certificate without CA");
  load_verify_file(context, certificate, "LoadBalanceSslCertificate");
}

void set_verify_locations(ssl::context& context, const std::string& ca,
                          const std::string& certificate) {
  if (ca.empty()) {
    trust_own_certificate_if_self_signed(context, certificate);
    return;
  }
  error_code error;
  const boost::filesystem::file_status status = status_of(ca, error);
  if (error) throw system_error(error, "Cannot access CA at \"" + ca + "\"");
  if (!boost::filesystem::is_directory(status)) {
    load_verify_file(context, ca, "LoadBalanceSslCa");
    return;
  }
  context.add_verify_path(ca, error);
  if (error) throw_setting_error(error, "LoadBalanceSslCa");
}

void add_revocation_lists(ssl::context& context, const std::string& crl) {
  error_code error;
  const boost::filesystem::file_status status = status_of(crl, error);
  if (error) throw system_error(error, "Cannot access CRL(s) at \"" + crl + "\"");
  const std::string failure = "Cannot add CRL path \"" + crl + "\"";
  X509_STORE* store = SSL_CTX_get_cert_store(context.native_handle());
  if (!store) throw std::runtime_error(failure);
  bool added;
  if (boost::filesystem::is_directory(status)) {
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    added = lookup && X509_LOOKUP_add_dir(lookup, crl.c_str(), X509_FILETYPE_PEM) == 1;
  } else {
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file());
    added = lookup && X509_load_crl_file(lookup, crl.c_str(), X509_FILETYPE_PEM) > 0;
  }
  if (!added) {
    ERR_clear_error();
    throw std::runtime_error(failure);
  }
  X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
}

// "address:port", an IPv6 address in brackets.
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
  std::ostringstream text;
  text << endpoint;
  return text.str();
}

// The daemon's verification rules, called by OpenSSL for each certificate of the
// peer's chain. Lives in the stream, so it holds only what it records into.
class verify_rules_t {
 public:
  verify_rules_t(std::shared_ptr<std::string> failure, std::string peer)
      : failure_(std::move(failure)), peer_(std::move(peer)) {}

  bool operator()(bool preverified, ssl::verify_context& context) const noexcept {
    if (preverified) return true;
    const int error = X509_STORE_CTX_get_error(context.native_handle());
    try {
      switch (error) {
        case X509_V_ERR_INVALID_PURPOSE:
          // Every instance is client and server alike, so a certificate marked for
          // one role only serves both.
          return true;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
          // An issuer without a revocation list is an operator's oversight, not an
          // attack: the link goes ahead, and the log says so.
          CF_LOG(kLogWarning,
                 "SSL handshake with " + peer_ + ": " + X509_verify_cert_error_string(error));
          return true;
        case X509_V_OK:
          return false;
        default:
          *failure_ = X509_verify_cert_error_string(error);
          return false;
      }
    } catch (...) {
      // Nothing may leave through OpenSSL; without memory to record, the peer is
      // refused all the same.
      log_out_of_memory();
      return false;
    }
  }

 private:
  std::shared_ptr<std::string> failure_;
  std::string peer_;
};

// One handshake with its time limit. Owned by the outstanding handshake operation;
// the timer holds only a weak reference, so a finished handshake releases the
// stream at once.
class ssl_handshake_t : public std::enable_shared_from_this<ssl_handshake_t> {
 public:
  ssl_handshake_t(std::shared_ptr<cf_ssl_stream_t> stream, bk_ssl_handshake_callback_t completion)
      : stream_(std::move(stream)),
        completion_(std::move(completion)),
        timer_(stream_->get_executor()) {}

  // Throws as bk_ssl_handshake does; nothing is started then.
  void start(ssl::stream_base::handshake_type role, std::chrono::steady_clock::duration timeout) {
    error_code error;
    const boost::asio::ip::tcp::endpoint peer = stream_->next_layer().remote_endpoint(error);
    if (error) throw system_error(error, "remote_endpoint");
    stream_->set_verify_callback(verify_rules_t(failure_, endpoint_text(peer)), error);
    if (error) throw system_error(error, "set_verify_callback");
    stream_->async_handshake(
        role, [self = shared_from_this()](const error_code& code) { self->on_handshake(code); });
    // The timer's clock saturates, so the longest wait never wraps into the past.
    timer_.expires_after(timeout);
    timer_.async_wait([weak_self = weak_from_this()](const error_code& code) {
      if (auto self = weak_self.lock()) self->on_timer(code);
    });
  }

 private:
  void on_timer(const error_code& code) {
    // Cancelled because the handshake completed.
    if (code == boost::asio::error::operation_aborted) return;
    // Completed in the same turn of the loop, before this expiry ran.
    if (done_) return;
    timed_out_ = true;
    // Closing aborts the handshake's pending read or write, whose completion
    // reports the time-out. A failing close releases the descriptor all the same.
    error_code ignored;
    stream_->next_layer().close(ignored);
  }

  void on_handshake(const error_code& code) {
    done_ = true;
    timer_.cancel();
    if (timed_out_) {
      completion_(std::make_exception_ptr(
          cf_exception_t(boost::asio::error::timed_out, "SSL handshake timed out")));
      return;
    }
    if (!code) {
      completion_(nullptr);
      return;
    }
    completion_(std::make_exception_ptr(
        cf_exception_t(code, failure_->empty() ? code.message() : *failure_)));
  }

  const std::shared_ptr<cf_ssl_stream_t> stream_;
  const bk_ssl_handshake_callback_t completion_;
  // Written by the verify callback during the handshake, read at its completion.
  const std::shared_ptr<std::string> failure_ = std::make_shared<std::string>();
  boost::asio::steady_timer timer_;
  bool done_ = false;
  bool timed_out_ = false;
};

}  // namespace

bk_ssl_settings_t::bk_ssl_settings_t(const vl::BrelConfig& config)
    : use_ssl_(config.load_balance_use_ssl()) {
  if (!use_ssl_) return;
  certificate_ = config.load_balance_ssl_certificate();
  key_ = config.load_balance_ssl_key();
  ca_ = config.load_balance_ssl_ca();
  crl_ = config.load_balance_ssl_crl();
}

bk_ssl_settings_t::~bk_ssl_settings_t() = default;

bool bk_ssl_settings_t::differs(const vl::BrelConfig& config) const {
  if (config.load_balance_use_ssl() != use_ssl_) return true;
  if (!use_ssl_) return false;
  using path = boost::filesystem::path;
  return path(config.load_balance_ssl_certificate()) != path(certificate_) ||
         path(config.load_balance_ssl_key()) != path(key_) ||
         path(config.load_balance_ssl_ca()) != path(ca_) ||
         path(config.load_balance_ssl_crl()) != path(crl_);
}

void bk_ssl_settings_t::prepare() {
  if (!use_ssl_) return;
  // The new context is installed only once it is complete: after a failure there
  // is none, rather than one that would trust any peer.
  context_.reset();
  auto context = std::make_unique<ssl::context>(ssl::context::tls);
  SSL_CTX* handle = context->native_handle();
  if (SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(handle, TLS1_2_VERSION) != 1) {
    throw system_error(openssl_error(), "context");
  }
  context->set_options(ssl::context::no_compression);
  if (SSL_CTX_set_cipher_list(handle, kCipherList) != 1) {
    ERR_clear_error();
    throw std::runtime_error(std::string("Cannot set cipher list ") + kCipherList);
  }

  error_code error;
  context->use_certificate_file(certificate_, ssl::context::pem, error);
  if (error) throw_setting_error(error, "LoadBalanceSslCertificate");
  warn_about_short_rsa_key(certificate_);
  context->use_private_key_file(key_, ssl::context::pem, error);
  if (error) throw_setting_error(error, "LoadBalanceSslKey");

  set_verify_locations(*context, ca_, certificate_);
  if (!crl_.empty()) add_revocation_lists(*context, crl_);
  // The context's own verify callback stays; each handshake installs the rules on
  // its stream.
  context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
  context_ = std::move(context);
}

boost::asio::ssl::context& bk_ssl_settings_t::context() {
  if (!context_) throw std::logic_error("No SSL context prepared");
  return *context_;
}

void bk_ssl_handshake(const std::shared_ptr<cf_ssl_stream_t>& stream,
                      boost::asio::ssl::stream_base::handshake_type role,
                      bk_ssl_handshake_callback_t completion,
                      std::chrono::steady_clock::duration timeout) {
  std::make_shared<ssl_handshake_t>(stream, std::move(completion))->start(role, timeout);
}
