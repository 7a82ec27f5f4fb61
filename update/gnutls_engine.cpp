#include "update/gnutls_engine.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorvel {

namespace {

// The library's functions, found once by name. The headers give the types only: quorveld is
// not linked with GnuTLS, so that a plain run never loads it and its dependencies.
struct GnuTls {
#define QUORVEL_GNUTLS(name) decltype(&::name) name = nullptr;
#define QUORVEL_GNUTLS_FUNCTIONS                                                                            \
  QUORVEL_GNUTLS(gnutls_certificate_allocate_credentials)                                                   \
  QUORVEL_GNUTLS(gnutls_certificate_set_x509_system_trust)                                                  \
  QUORVEL_GNUTLS(gnutls_certificate_set_x509_trust_file)                                                    \
  QUORVEL_GNUTLS(gnutls_init)                                                                               \
  QUORVEL_GNUTLS(gnutls_deinit)                                                                             \
  QUORVEL_GNUTLS(gnutls_set_default_priority)                                                               \
  QUORVEL_GNUTLS(gnutls_credentials_set)                                                                    \
  QUORVEL_GNUTLS(gnutls_server_name_set)                                                                    \
  QUORVEL_GNUTLS(gnutls_session_set_verify_function)                                                        \
  QUORVEL_GNUTLS(gnutls_certificate_verify_peers3)                                                          \
  QUORVEL_GNUTLS(gnutls_session_set_ptr)                                                                    \
  QUORVEL_GNUTLS(gnutls_session_get_ptr)                                                                    \
  QUORVEL_GNUTLS(gnutls_certificate_verification_status_print)                                              \
  QUORVEL_GNUTLS(gnutls_transport_set_ptr)                                                                  \
  QUORVEL_GNUTLS(gnutls_transport_set_push_function)                                                        \
  QUORVEL_GNUTLS(gnutls_transport_set_pull_function)                                                        \
  QUORVEL_GNUTLS(gnutls_transport_set_errno)                                                                \
  QUORVEL_GNUTLS(gnutls_handshake)                                                                          \
  QUORVEL_GNUTLS(gnutls_record_send)                                                                        \
  QUORVEL_GNUTLS(gnutls_record_recv)                                                                        \
  QUORVEL_GNUTLS(gnutls_bye)                                                                                \
  QUORVEL_GNUTLS(gnutls_error_is_fatal)                                                                     \
  QUORVEL_GNUTLS(gnutls_strerror)
  QUORVEL_GNUTLS_FUNCTIONS
#undef QUORVEL_GNUTLS
  gnutls_free_function* free = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;
  // The system's store joins QUORVEL_CA_FILE's authorities only when a peer is not trusted
  // without it: reading it costs some 30 ms, more than a whole exchange with a private CA.
  bool systemTrustLoaded = false;
  // Why the library or the trust anchors cannot be used; empty when they can.
  std::string problem;
};

constexpr char kLibrary[] = "libgnutls.so.30";

// Loaded with the trust anchors on the first session, kept for the process's life.
GnuTls& Library() {
  static GnuTls tls = [] {
    GnuTls loaded;
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      loaded.problem = std::string("TLS is not available: ") + (why != nullptr ? why : kLibrary);
      return loaded;
    }
    bool found = true;
#define QUORVEL_GNUTLS(name)                                                          \
  loaded.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));            \
  found = found && loaded.name != nullptr;
    QUORVEL_GNUTLS_FUNCTIONS
#undef QUORVEL_GNUTLS
    loaded.free = static_cast<gnutls_free_function*>(dlsym(handle, "gnutls_free"));
    if (!found || loaded.free == nullptr) {
      loaded.problem = std::string("TLS is not available: ") + kLibrary + " lacks a function";
      return loaded;
    }
    if (loaded.gnutls_certificate_allocate_credentials(&loaded.credentials) < 0) {
      loaded.problem = "TLS is not available: no memory for the trust anchors";
      return loaded;
    }
    if (const char* file = std::getenv("QUORVEL_CA_FILE"); file != nullptr && *file != '\0') {
      if (loaded.gnutls_certificate_set_x509_trust_file(loaded.credentials, file, GNUTLS_X509_FMT_PEM) <= 0) {
        loaded.problem = std::string("QUORVEL_CA_FILE ") + file + ": no certificate could be read from it";
      }
    }
    return loaded;
  }();
  return tls;
}

bool IsAddress(const std::string& host) {
  unsigned char raw[16];
  return inet_pton(AF_INET, host.c_str(), raw) == 1 || inet_pton(AF_INET6, host.c_str(), raw) == 1;
}

class GnutlsEngine final : public TlsEngine {
 public:
  ~GnutlsEngine() override { End(); }

  bool Begin(const std::string& host) override {
    End();
    verdict_.clear();
    firstBytes_.clear();
    certificateStatus_ = 0;
    GnuTls& tls = Library();
    if (!tls.problem.empty()) return Fail(tls.problem);
    host_ = host;  // the library keeps the pointer for the session's life
    if (tls.gnutls_init(&session_, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0) {
      session_ = nullptr;
      return Fail("TLS session could not be made");
    }
    if (tls.gnutls_set_default_priority(session_) < 0 ||
        tls.gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, tls.credentials) < 0) {
      return Fail("TLS session could not be made");
    }
    // A name is sent (SNI); an address is not, but the certificate must name it all the same.
    if (!IsAddress(host_) &&
        tls.gnutls_server_name_set(session_, GNUTLS_NAME_DNS, host_.data(), host_.size()) < 0) {
      return Fail("TLS session could not be made");
    }
    tls.gnutls_session_set_ptr(session_, this);
    tls.gnutls_session_set_verify_function(session_, &Verify);
    tls.gnutls_transport_set_ptr(session_, this);
    tls.gnutls_transport_set_push_function(session_, &Push);
    tls.gnutls_transport_set_pull_function(session_, &Pull);
    return true;
  }

  Step Handshake(std::string& in, std::string& out) override {
    if (session_ == nullptr) return Step::kFailed;
    if (firstBytes_.size() < 5) firstBytes_ += in.substr(0, 5 - firstBytes_.size());
    Buffers buffers(*this, in, out);
    // A warning alert is not the end; a peer that sends nothing else is, after a few.
    int result = 0;
    for (int tries = 0; tries < 8; ++tries) {
      result = Library().gnutls_handshake(session_);
      if (result >= 0 || result == GNUTLS_E_AGAIN || Library().gnutls_error_is_fatal(result)) break;
    }
    if (result == 0) return Step::kDone;
    if (result == GNUTLS_E_AGAIN) return Step::kMore;
    Explain(result);
    return Step::kFailed;
  }

  bool Encrypt(std::string_view plain, std::string& out) override {
    if (session_ == nullptr) return false;
    std::string none;
    Buffers buffers(*this, none, out);
    while (!plain.empty()) {
      const ssize_t sent = Library().gnutls_record_send(session_, plain.data(), plain.size());
      if (sent <= 0) {
        verdict_ = std::string("TLS: ") + Library().gnutls_strerror(static_cast<int>(sent));
        return false;
      }
      plain.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  Step Decrypt(std::string& in, std::string& plain, std::string& out) override {
    if (session_ == nullptr) return Step::kFailed;
    Buffers buffers(*this, in, out);
    char chunk[16 * 1024];
    int warnings = 0;
    int idle = 0;
    for (;;) {
      const std::size_t before = in.size();
      const ssize_t got = Library().gnutls_record_recv(session_, chunk, sizeof chunk);
      if (got > 0) {
        plain.append(chunk, static_cast<std::size_t>(got));
        idle = 0;
        continue;
      }
      if (got == 0) return Step::kClosed;
      if (got == GNUTLS_E_AGAIN) {
        // A message the library takes itself (TLS 1.3's session tickets, which most servers
        // send after the handshake) ends in E_AGAIN too, with what came behind it in the same
        // read still to take: the reply and the server's close would otherwise wait for bytes
        // the socket never brings. Done once the calls take nothing more.
        if (in.size() < before) {
          idle = 0;
          continue;
        }
        if (++idle < 2) continue;
        return Step::kMore;
      }
      // A warning (a renegotiation the client ignores, a warning alert) is not the end.
      if (!Library().gnutls_error_is_fatal(static_cast<int>(got)) && ++warnings < 8) continue;
      verdict_ = std::string("TLS: ") + Library().gnutls_strerror(static_cast<int>(got));
      return Step::kFailed;
    }
  }

  void CloseNotify(std::string& out) override {
    if (session_ == nullptr) return;
    std::string none;
    Buffers buffers(*this, none, out);
    (void)Library().gnutls_bye(session_, GNUTLS_SHUT_WR);
  }

  void End() override {
    if (session_ != nullptr) Library().gnutls_deinit(session_);
    session_ = nullptr;
  }

  std::string Verdict() const override { return verdict_; }

 private:
  // The buffers the library reads and writes during one call.
  struct Buffers {
    Buffers(GnutlsEngine& engine, std::string& in, std::string& out) : engine_(engine) {
      engine.in_ = &in;
      engine.out_ = &out;
    }
    ~Buffers() {
      engine_.in_ = nullptr;
      engine_.out_ = nullptr;
    }
    GnutlsEngine& engine_;
  };

  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t size) {
    auto* engine = static_cast<GnutlsEngine*>(self);
    engine->out_->append(static_cast<const char*>(data), size);
    return static_cast<ssize_t>(size);
  }

  // Nothing more from the peer yet: the core comes back when the socket has more.
  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t size) {
    auto* engine = static_cast<GnutlsEngine*>(self);
    std::string& in = *engine->in_;
    if (in.empty()) {
      Library().gnutls_transport_set_errno(engine->session_, EAGAIN);
      return -1;
    }
    const size_t count = std::min(size, in.size());
    std::memcpy(data, in.data(), count);
    in.erase(0, count);
    return static_cast<ssize_t>(count);
  }

  // The peer's chain, when it comes: to a root of QUORVEL_CA_FILE or of the system's store,
  // and for the host. Nonzero ends the handshake.
  static int Verify(gnutls_session_t session) {
    GnuTls& tls = Library();
    auto* engine = static_cast<GnutlsEngine*>(tls.gnutls_session_get_ptr(session));
    unsigned status = 0;
    if (tls.gnutls_certificate_verify_peers3(session, engine->host_.c_str(), &status) < 0) {
      status = GNUTLS_CERT_INVALID;
    }
    if (status != 0 && !tls.systemTrustLoaded) {
      // No system store is not fatal by itself: a private CA may be all there is.
      tls.systemTrustLoaded = true;
      (void)tls.gnutls_certificate_set_x509_system_trust(tls.credentials);
      if (tls.gnutls_certificate_verify_peers3(session, engine->host_.c_str(), &status) < 0) {
        status = GNUTLS_CERT_INVALID;
      }
    }
    engine->certificateStatus_ = status;
    return status == 0 ? 0 : -1;
  }

  bool Fail(const std::string& why) {
    verdict_ = why;
    End();
    return false;
  }

  void Explain(int result) {
    GnuTls& tls = Library();
    if (certificateStatus_ != 0) {
      gnutls_datum_t text{};
      if (tls.gnutls_certificate_verification_status_print(certificateStatus_, GNUTLS_CRT_X509, &text, 0) == 0) {
        std::string why = reinterpret_cast<const char*>(text.data);
        (*tls.free)(text.data);
        while (!why.empty() && why.back() == ' ') why.pop_back();
        verdict_ = "certificate refused for " + host_ + ": " + why;
      } else {
        verdict_ = "certificate refused for " + host_;
      }
      return;
    }
    // A server that answers a TLS hello with an HTTP reply speaks plain HTTP there.
    if (firstBytes_.rfind("HTTP/", 0) == 0) {
      verdict_ = "the server answered in plain HTTP, not TLS; nothing was sent";
      return;
    }
    verdict_ = std::string("TLS handshake failed: ") + tls.gnutls_strerror(result);
  }

  gnutls_session_t session_ = nullptr;
  std::string host_;
  std::string verdict_;
  // What the check of the peer's chain found (GnuTLS's status bits); 0 when it passed.
  unsigned certificateStatus_ = 0;
  // The peer's first bytes, to tell a plain HTTP server from a broken TLS one.
  std::string firstBytes_;
  std::string* in_ = nullptr;
  std::string* out_ = nullptr;
};

}  // namespace

std::unique_ptr<TlsEngine> NewGnutlsEngine() { return std::make_unique<GnutlsEngine>(); }

}  // namespace quorvel
