// The certificate and key that --listen-https hands out, replaceable while the server runs:
// libmicrohttpd asks for them at each handshake (its certificate callback), so a renewed pair
// read on SIGHUP reaches every new connection without a restart, and one that does not read
// leaves the running pair in place.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qserver {

class TlsPair {
 public:
  TlsPair();
  ~TlsPair();
  TlsPair(const TlsPair&) = delete;
  TlsPair& operator=(const TlsPair&) = delete;

  // Reads the PEM certificate (chain) and its key and, when both read and belong together,
  // makes them the pair of the next handshakes. Otherwise false with why, the pair unchanged.
  // `same` is set when the files hold the pair already served (nothing is replaced).
  bool Load(const std::string& certPath, const std::string& keyPath, std::string& error, bool* same = nullptr);
  // "CN=..., serial 0A1B..., valid until 2027-03-01 12:00 UTC": the pair served, for the log.
  std::string Describe() const;

  // libmicrohttpd's MHD_OPTION_HTTPS_CERT_CALLBACK: the pair of the latest Load. It has no
  // context argument, so the pair it answers with is the process's one (a server has one).
  static int Retrieve(gnutls_session_t session, const gnutls_datum_t* caNames, int caCount,
                      const gnutls_pk_algorithm_t* algorithms, int algorithmCount, gnutls_pcert_st** chain,
                      unsigned int* chainLength, gnutls_privkey_t* key);

 private:
  struct Loaded;
  // Every pair ever served stays until the end: a handshake begun with the old one may still
  // be signing with it while SIGHUP installs the next (a renewal every few weeks, a few KB).
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Loaded>> kept_;
  std::atomic<const Loaded*> current_{nullptr};
};

}  // namespace qserver
