#include "update/schannel_engine.hpp"

#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <string>

#include "common/text.hpp"

namespace quorvel {

namespace {

// The system's functions, found once by name: the program is not linked with secur32 or
// crypt32, so that its start-up with a plain server does not load them.
struct Sspi {
  PSecurityFunctionTableW table = nullptr;
  decltype(&::CertGetCertificateChain) getChain = nullptr;
  decltype(&::CertVerifyCertificateChainPolicy) verifyPolicy = nullptr;
  decltype(&::CertFreeCertificateChain) freeChain = nullptr;
  decltype(&::CertFreeCertificateContext) freeCertificate = nullptr;
  decltype(&::CertGetNameStringW) nameOf = nullptr;
  decltype(&::CertFindExtension) findExtension = nullptr;
  decltype(&::CryptDecodeObjectEx) decode = nullptr;
  CredHandle credentials{};
  // Why TLS cannot be used; empty when it can.
  std::wstring problem;
};

// A status as Windows documents it, 0x800b010f. (No printf: it would bring its own into the
// program file.)
std::wstring Hex(long value) {
  std::wstring text = L"0x00000000";
  auto bits = static_cast<unsigned long>(value);
  for (std::size_t at = text.size(); at > 2; bits >>= 4) text[--at] = L"0123456789abcdef"[bits & 0xf];
  return text;
}

template <typename Function>
bool Find(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

// Loaded with the credentials on the first session, kept for the process's life.
Sspi& Library() {
  static Sspi sspi = [] {
    Sspi loaded;
    const HMODULE secur32 = LoadLibraryW(L"secur32.dll");
    const HMODULE crypt32 = LoadLibraryW(L"crypt32.dll");
    INIT_SECURITY_INTERFACE_W init = nullptr;
    if (secur32 == nullptr || crypt32 == nullptr || !Find(secur32, "InitSecurityInterfaceW", init) ||
        (loaded.table = init()) == nullptr || !Find(crypt32, "CertGetCertificateChain", loaded.getChain) ||
        !Find(crypt32, "CertVerifyCertificateChainPolicy", loaded.verifyPolicy) ||
        !Find(crypt32, "CertFreeCertificateChain", loaded.freeChain) ||
        !Find(crypt32, "CertFreeCertificateContext", loaded.freeCertificate) ||
        !Find(crypt32, "CertGetNameStringW", loaded.nameOf) ||
        !Find(crypt32, "CertFindExtension", loaded.findExtension) ||
        !Find(crypt32, "CryptDecodeObjectEx", loaded.decode)) {
      loaded.problem = L"Connexion TLS impossible: Schannel n'est pas disponible";
      return loaded;
    }
    // The chain is checked here after the handshake, by hand, so that a refusal says why.
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status =
        loaded.table->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                                nullptr, nullptr, &loaded.credentials, &expiry);
    if (status != SEC_E_OK) {
      loaded.problem = L"Connexion TLS impossible: pas de certificats Schannel (" + Hex(status) + L")";
    }
    return loaded;
  }();
  return sspi;
}

// The host's bytes when it is an IP address; empty for a name.
std::string AddressBytes(const std::string& host) {
  unsigned char raw[16];
  if (inet_pton(AF_INET, host.c_str(), raw) == 1) return std::string(reinterpret_cast<char*>(raw), 4);
  if (inet_pton(AF_INET6, host.c_str(), raw) == 1) return std::string(reinterpret_cast<char*>(raw), 16);
  return {};
}

// Whether the certificate names this address among its IP addresses (Wine's SSL policy looks
// at DNS names only).
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
  Sspi& sspi = Library();
  const CERT_INFO& info = *certificate->pCertInfo;
  PCERT_EXTENSION extension = sspi.findExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!sspi.decode(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found =
        entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
        std::string(reinterpret_cast<const char*>(entry.IPAddress.pbData), entry.IPAddress.cbData) == address;
  }
  LocalFree(names);
  return found;
}

std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
  }
  return bytes;
}

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

constexpr wchar_t kRefused[] = L"Certificat du serveur refusé: ";

class SchannelEngine final : public TlsEngine {
 public:
  ~SchannelEngine() override { End(); }

  bool Begin(const std::string& host) override {
    End();
    verdict_.clear();
    firstBytes_.clear();
    Sspi& sspi = Library();
    if (!sspi.problem.empty()) {
      (void)Fail(sspi.problem);
      return false;
    }
    host_ = FromAnsi(host);
    address_ = AddressBytes(host);
    // A name is sent (SNI); the certificate must name the host either way.
    sni_ = address_.empty() ? host_ : std::wstring();
    started_ = false;
    return true;
  }

  Step Handshake(std::string& in, std::string& out) override {
    if (!started_) {
      started_ = true;
      const Step first = Exchange(nullptr, out);
      if (first != Step::kMore) return first;
    }
    if (firstBytes_.size() < 5) firstBytes_ += in.substr(0, 5 - firstBytes_.size());
    while (!in.empty()) {
      const Step step = Exchange(&in, out);
      if (step != Step::kMore || waiting_) return step;
    }
    return Step::kMore;
  }

  bool Encrypt(std::string_view plain, std::string& out) override {
    if (!context_) return false;
    std::string record;
    while (!plain.empty()) {
      const std::size_t size = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
      record.assign(sizes_.cbHeader + size + sizes_.cbTrailer, '\0');
      std::copy_n(plain.data(), size, record.data() + sizes_.cbHeader);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<ULONG>(size), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + size},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = Library().table->EncryptMessage(&context_handle_, 0, &description, 0);
      if (status != SEC_E_OK) {
        verdict_ = Utf8(L"Connexion TLS interrompue (" + Hex(status) + L")");
        return false;
      }
      out.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      plain.remove_prefix(size);
    }
    return true;
  }

  Step Decrypt(std::string& in, std::string& plain, std::string& out) override {
    if (!context_) return Step::kFailed;
    while (!in.empty()) {
      SecBuffer buffers[4] = {{static_cast<ULONG>(in.size()), SECBUFFER_DATA, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status =
          Library().table->DecryptMessage(&context_handle_, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::kMore;
      if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        verdict_ = Utf8(L"Connexion TLS interrompue (" + Hex(status) + L")");
        return Step::kFailed;
      }
      // The buffers point into `in`, decrypted in place: the plaintext and the rest are taken
      // out before `in` changes.
      std::string extra;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer != nullptr) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
          extra.assign(in, in.size() - buffer.cbBuffer, buffer.cbBuffer);
        }
      }
      in.swap(extra);
      if (status == SEC_I_CONTEXT_EXPIRED) {
        in.clear();
        return Step::kClosed;
      }
      if (status == SEC_I_RENEGOTIATE) {
        // A post-handshake message (a TLS 1.3 ticket or key update): the session takes it and
        // may answer; the records after it follow.
        if (in.empty()) continue;
        const Step step = Exchange(&in, out, /*renegotiating=*/true);
        if (step == Step::kFailed) return step;
        if (waiting_) return Step::kMore;
      }
    }
    return Step::kMore;
  }

  void CloseNotify(std::string& out) override {
    if (!context_) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (Library().table->ApplyControlToken(&context_handle_, &description) != SEC_E_OK) return;
    (void)Exchange(nullptr, out, /*renegotiating=*/true);
  }

  void End() override {
    if (context_) Library().table->DeleteSecurityContext(&context_handle_);
    context_ = false;
    waiting_ = false;
  }

  std::string Verdict() const override { return verdict_; }

 private:
  // One call of InitializeSecurityContext with the peer's bytes (none for the first), what it
  // asks to send appended to `out`. kMore: more is to come (waiting_: more bytes are needed
  // before calling again); kDone: the session is up and its peer verified.
  Step Exchange(std::string* in, std::string& out, bool renegotiating = false) {
    Sspi& sspi = Library();
    SecBuffer input[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_EMPTY, nullptr}};
    if (in != nullptr) {
      input[0].cbBuffer = static_cast<ULONG>(in->size());
      input[0].pvBuffer = in->data();
    }
    SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, output};
    ULONG attributes = 0;
    std::wstring target = sni_;
    const SECURITY_STATUS status = sspi.table->InitializeSecurityContextW(
        &sspi.credentials, context_ ? &context_handle_ : nullptr, target.empty() ? nullptr : target.data(),
        kRequest, 0, 0, in != nullptr ? &inputDescription : nullptr, 0, &context_handle_, &outputDescription,
        &attributes, nullptr);
    if (output[0].pvBuffer != nullptr) {
      out.append(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
      sspi.table->FreeContextBuffer(output[0].pvBuffer);
    }
    waiting_ = status == SEC_E_INCOMPLETE_MESSAGE;
    if (waiting_) return Step::kMore;
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) context_ = true;
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        return Fail(L"Connexion TLS refusée: le serveur demande un certificat client");
      if (firstBytes_.rfind("HTTP/", 0) == 0)
        return Fail(L"Connexion TLS refusée: le serveur répond en HTTP simple");
      return Fail(L"Connexion TLS refusée: négociation échouée (" + Hex(status) + L")");
    }
    if (in != nullptr) {
      // What the call did not take is the start of the next message or record.
      std::string extra;
      if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0) {
        extra.assign(*in, in->size() - input[1].cbBuffer, input[1].cbBuffer);
      }
      in->swap(extra);
    }
    if (status == SEC_I_CONTINUE_NEEDED || renegotiating) return Step::kMore;
    // The handshake is over: only now is the peer looked at.
    if (!Verified()) return Step::kFailed;
    if (sspi.table->QueryContextAttributesW(&context_handle_, SECPKG_ATTR_STREAM_SIZES, &sizes_) !=
            SEC_E_OK ||
        sizes_.cbMaximumMessage == 0) {
      return Fail(L"Connexion TLS impossible: tailles d'enregistrement inconnues");
    }
    return Step::kDone;
  }

  // The peer's chain leads to a root the system trusts and names the host asked for.
  bool Verified() {
    Sspi& sspi = Library();
    PCCERT_CONTEXT certificate = nullptr;
    if (sspi.table->QueryContextAttributesW(&context_handle_, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                            &certificate) != SEC_E_OK ||
        certificate == nullptr) {
      (void)Fail(std::wstring(kRefused) + L"aucun certificat");
      return false;
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::wstring why;
    if (!sspi.getChain(nullptr, certificate, nullptr, certificate->hCertStore, &parameters, 0, nullptr,
                       &chain)) {
      why = L"chaîne illisible";
    } else {
      const DWORD trust = chain->TrustStatus.dwErrorStatus;
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
      extra.cbSize = sizeof extra;
      extra.dwAuthType = AUTHTYPE_SERVER;
      extra.pwszServerName = host_.data();
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.pvExtraPolicyPara = &extra;
      CERT_CHAIN_POLICY_STATUS result{};
      result.cbSize = sizeof result;
      const bool checked = sspi.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) != FALSE;
      const auto error = static_cast<HRESULT>(result.dwError);
      // Wine shows a root it does not trust as a partial chain, and its SSL policy may pass it.
      if ((trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) != 0 ||
          error == CERT_E_UNTRUSTEDROOT || error == CERT_E_CHAINING) {
        why = L"autorité inconnue";
      } else if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0 || error == CERT_E_EXPIRED) {
        why = L"certificat expiré";
      } else if ((trust & CERT_TRUST_IS_REVOKED) != 0 || error == CRYPT_E_REVOKED) {
        why = L"certificat révoqué";
      } else if (error == CERT_E_CN_NO_MATCH && !(!address_.empty() && NamesAddress(certificate, address_))) {
        wchar_t name[256] = L"";
        sspi.nameOf(certificate, CERT_NAME_DNS_TYPE, 0, nullptr, name, 256);
        why = std::wstring(L"nom différent (") + name + L")";
      } else if (!checked || (error != 0 && error != CERT_E_CN_NO_MATCH)) {
        why = L"refusé (" + Hex(checked ? error : static_cast<long>(GetLastError())) + L")";
      } else if ((trust & ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                              CERT_TRUST_IS_OFFLINE_REVOCATION)) != 0) {
        why = L"chaîne invalide (" + Hex(static_cast<long>(trust)) + L")";
      }
      sspi.freeChain(chain);
    }
    sspi.freeCertificate(certificate);
    if (why.empty()) return true;
    (void)Fail(kRefused + why);
    return false;
  }

  // The session is over, and why.
  Step Fail(const std::wstring& why) {
    verdict_ = Utf8(why);
    End();
    return Step::kFailed;
  }

  CtxtHandle context_handle_{};
  bool context_ = false;
  bool started_ = false;
  // The last call needs more of the peer's bytes.
  bool waiting_ = false;
  std::wstring host_;
  std::wstring sni_;
  // The host's bytes when it is an address.
  std::string address_;
  SecPkgContext_StreamSizes sizes_{};
  std::string verdict_;
  // The peer's first bytes, to tell a plain HTTP server from a broken TLS one.
  std::string firstBytes_;
};

}  // namespace

std::unique_ptr<TlsEngine> NewSchannelEngine() { return std::make_unique<SchannelEngine>(); }

}  // namespace quorvel
