#include "server/tls_pair.hpp"

#include <gnutls/x509.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace qserver {

namespace {

std::atomic<TlsPair*> served{nullptr};  // the one Retrieve answers with

// A PEM file whole; false with why when it cannot be read or holds no PEM block.
bool ReadPem(const std::string& path, const char* option, std::string& pem, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  pem = text.str();
  if (!in || pem.find("-----BEGIN ") == std::string::npos) {
    error = std::string(option) + " " + path + ": " +
            (in ? "no PEM block in it" : std::string("cannot read it: ") + std::strerror(errno));
    return false;
  }
  return true;
}

gnutls_datum_t Datum(const std::string& text) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
}

// The key's identity, to tell whether a certificate and a key belong together.
std::string KeyId(gnutls_pubkey_t key) {
  unsigned char id[64];
  size_t size = sizeof id;
  if (gnutls_pubkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, id, &size) < 0) return {};
  return std::string(reinterpret_cast<char*>(id), size);
}

}  // namespace

struct TlsPair::Loaded {
  std::string certPem, keyPem;  // as read, to tell an unchanged pair
  std::vector<gnutls_pcert_st> chain;
  gnutls_privkey_t key = nullptr;
  std::string description;
  ~Loaded() {
    for (gnutls_pcert_st& cert : chain) gnutls_pcert_deinit(&cert);
    if (key) gnutls_privkey_deinit(key);
  }
};

TlsPair::TlsPair() { served = this; }

TlsPair::~TlsPair() {
  TlsPair* self = this;
  served.compare_exchange_strong(self, nullptr);
}

bool TlsPair::Load(const std::string& certPath, const std::string& keyPath, std::string& error, bool* same) {
  auto pair = std::make_unique<Loaded>();
  if (!ReadPem(certPath, "--tls-cert", pair->certPem, error) || !ReadPem(keyPath, "--tls-key", pair->keyPem, error))
    return false;
  {
    std::lock_guard lock(mutex_);
    const Loaded* now = current_.load();
    if (same) *same = now && now->certPem == pair->certPem && now->keyPem == pair->keyPem;
    if (same && *same) return true;
  }
  gnutls_x509_crt_t* certs = nullptr;
  unsigned count = 0;
  const gnutls_datum_t certText = Datum(pair->certPem), keyText = Datum(pair->keyPem);
  int status = gnutls_x509_crt_list_import2(&certs, &count, &certText, GNUTLS_X509_FMT_PEM, 0);
  if (status < 0 || count == 0) {
    error = "--tls-cert " + certPath + ": not a PEM certificate: " +
            (status < 0 ? gnutls_strerror(status) : "no certificate in it");
    return false;
  }
  // The certificates are the chain's until they are handed to pcert, then freed here.
  struct Certs {
    gnutls_x509_crt_t* list;
    unsigned count;
    ~Certs() {
      for (unsigned i = 0; i < count; ++i) gnutls_x509_crt_deinit(list[i]);
      gnutls_free(list);
    }
  } owned{certs, count};

  if ((status = gnutls_privkey_init(&pair->key)) < 0 ||
      (status = gnutls_privkey_import_x509_raw(pair->key, &keyText, GNUTLS_X509_FMT_PEM, nullptr, 0)) < 0) {
    error = "--tls-key " + keyPath + ": not a PEM private key: " + gnutls_strerror(status);
    return false;
  }
  gnutls_pubkey_t ofCert = nullptr, ofKey = nullptr;
  gnutls_pubkey_init(&ofCert);
  gnutls_pubkey_init(&ofKey);
  const bool match = gnutls_pubkey_import_x509(ofCert, certs[0], 0) >= 0 &&
                     gnutls_pubkey_import_privkey(ofKey, pair->key, 0, 0) >= 0 && !KeyId(ofCert).empty() &&
                     KeyId(ofCert) == KeyId(ofKey);
  gnutls_pubkey_deinit(ofCert);
  gnutls_pubkey_deinit(ofKey);
  if (!match) {
    error = "--tls-cert " + certPath + " and --tls-key " + keyPath +
            ": the certificate and the key do not match (the key is another certificate's)";
    return false;
  }
  pair->chain.resize(count);
  unsigned imported = count;
  if ((status = gnutls_pcert_import_x509_list(pair->chain.data(), certs, &imported, 0)) < 0) {
    pair->chain.clear();
    error = "--tls-cert " + certPath + ": " + gnutls_strerror(status);
    return false;
  }
  pair->chain.resize(imported);

  gnutls_datum_t dn{};
  std::string subject = "(no subject)";
  if (gnutls_x509_crt_get_dn3(certs[0], &dn, 0) >= 0) {
    subject.assign(reinterpret_cast<char*>(dn.data), dn.size);
    gnutls_free(dn.data);
  }
  unsigned char serial[40];
  size_t serialSize = sizeof serial;
  std::string serialHex;
  if (gnutls_x509_crt_get_serial(certs[0], serial, &serialSize) >= 0)
    for (size_t i = 0; i < serialSize; ++i) {
      static const char kHex[] = "0123456789ABCDEF";
      serialHex += kHex[serial[i] >> 4];
      serialHex += kHex[serial[i] & 15];
    }
  const std::time_t until = gnutls_x509_crt_get_expiration_time(certs[0]);
  char untilText[32] = "?";
  std::tm tm{};
  if (until != static_cast<std::time_t>(-1) && gmtime_r(&until, &tm))
    std::strftime(untilText, sizeof untilText, "%Y-%m-%d %H:%M UTC", &tm);
  pair->description = subject + ", serial " + serialHex + ", valid until " + untilText +
                      (until != static_cast<std::time_t>(-1) && until < std::time(nullptr) ? " (EXPIRED)" : "");

  std::lock_guard lock(mutex_);
  kept_.push_back(std::move(pair));
  current_ = kept_.back().get();
  return true;
}

std::string TlsPair::Describe() const {
  const Loaded* now = current_.load();
  return now ? now->description : "no certificate";
}

int TlsPair::Retrieve(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
                      gnutls_pcert_st** chain, unsigned int* chainLength, gnutls_privkey_t* key) {
  const TlsPair* self = served.load();
  const Loaded* now = self ? self->current_.load() : nullptr;
  if (!now) return -1;  // the handshake fails: no certificate to offer
  *chain = const_cast<gnutls_pcert_st*>(now->chain.data());
  *chainLength = static_cast<unsigned>(now->chain.size());
  *key = now->key;
  return 0;
}

}  // namespace qserver
