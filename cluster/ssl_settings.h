// bk_ssl_settings_t: the TLS side of the peer links, built from one configuration:
// whether TLS is on, the four PEM files (certificate, private key, CA file or hashed
// directory, CRL file or hashed directory) and, once prepared, the one TLS context
// both handshake roles use (TLS 1.2 only, mutual certificates, revocation checks).
// bk_ssl_handshake runs one handshake on a connected stream with the daemon's
// verification rules and a bounded wait, and reports the outcome as an exception
// pointer.
//
// The peer acceptor and the peer connector each own one settings object and replace
// it as a whole when differs() reports a change. Main thread only: contexts are built
// during configuration, and handshakes complete on the event loop.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>

#include "framework/socket_types.h"

namespace vl {
class BrelConfig;
}

class bk_ssl_settings_t {
 public:
  // The cipher list of every context: TLS 1.2 suites without RC4, 3DES, SHA-1 MACs,
  // null encryption or anonymous (certificate-less) key exchange.
  static const char* const kCipherList;

  // Copies `load_balance_use_ssl` and, when it is on, the four paths. Touches no file.
  explicit bk_ssl_settings_t(const vl::BrelConfig& config);
  ~bk_ssl_settings_t();
  bk_ssl_settings_t(const bk_ssl_settings_t&) = delete;
  bk_ssl_settings_t& operator=(const bk_ssl_settings_t&) = delete;

  bool use_ssl() const { return use_ssl_; }
  // True when `config` switches TLS on or off, or both have it on and any of the
  // four paths differs (compared lexically as paths).
  bool differs(const vl::BrelConfig& config) const;
  // Builds the context (replacing an earlier one); nothing when TLS is off. Throws on
  // any file problem, with the configuration key in the text
  // ("LoadBalanceSslCertificate", "LoadBalanceSslKey", "LoadBalanceSslCa", ...);
  // no context is left then, not even the earlier one, so that a half-built context
  // (one that would verify no peer) is never used.
  void prepare();
  // True once prepare has built a context.
  bool prepared() const { return context_ != nullptr; }
  // The prepared context. Throws std::logic_error "No SSL context prepared" when
  // there is none.
  boost::asio::ssl::context& context();

 private:
  // Constant after construction.
  bool use_ssl_ = false;
  std::string certificate_;
  std::string key_;
  std::string ca_;
  std::string crl_;
  // Set by prepare.
  std::unique_ptr<boost::asio::ssl::context> context_;
};

// How long a handshake may take before it fails (a peer that connects and stays
// silent must not hold its slot).
constexpr std::chrono::seconds kSslHandshakeTimeout{30};

// Called once, on the event loop: null on success, else an exception pointer to a
// cf_exception_t whose text is the certificate verification failure when there was
// one, "SSL handshake timed out" (code boost::asio::error::timed_out) when the wait
// ran out, and otherwise the error code's message.
using bk_ssl_handshake_callback_t = std::function<void(const std::exception_ptr&)>;

// Starts the handshake of `stream` (connected TCP beneath) in `role` (client for the
// connector, server for the acceptor) with the verification rules: a certificate
// not marked for this role is accepted; a missing CRL for an issuer is accepted with
// a Warning "SSL handshake with <address:port>: <reason>"; any other verification
// failure fails the handshake with OpenSSL's text. When `timeout` passes first, the
// TCP socket is closed and the completion reports the time-out. A caller's own close
// or cancel makes the completion report operation_aborted. Throws
// boost::system::system_error "remote_endpoint" (the peer's address cannot be read)
// or "set_verify_callback" to the caller; the completion is not called then.
// REQUIRES: the stream's context is a prepared bk_ssl_settings_t context.
void bk_ssl_handshake(const std::shared_ptr<cf_ssl_stream_t>& stream,
                      boost::asio::ssl::stream_base::handshake_type role,
                      bk_ssl_handshake_callback_t completion,
                      std::chrono::steady_clock::duration timeout = kSslHandshakeTimeout);
