// One TLS client session as the connection core drives it: records in and out of memory
// buffers, never the socket itself. Each edge brings its engine (Schannel on Windows, GnuTLS
// on Linux); the core decides when to call it and what the service is told.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

class TlsEngine {
 public:
  enum class Step {
    kMore,    // waits for more of the peer's bytes
    kDone,    // the handshake is over: the peer is verified
    kClosed,  // the peer sent its close_notify
    kFailed,  // the session is over; Verdict says why
  };

  virtual ~TlsEngine() = default;

  // A new session with the host as the user gave it: its name is sent (SNI) unless it is an
  // address, and the peer's certificate must name it. False: see Verdict.
  virtual bool Begin(const std::string& host) = 0;
  // One step of the handshake: takes what it can of `in` (the peer's bytes) and appends to
  // `out` what must be sent.
  virtual Step Handshake(std::string& in, std::string& out) = 0;
  // The plaintext as records, appended to `out`.
  virtual bool Encrypt(std::string_view plain, std::string& out) = 0;
  // Takes the whole records of `in` and appends their plaintext; an incomplete record is left
  // in `in`. Anything the session must answer is appended to `out`.
  virtual Step Decrypt(std::string& in, std::string& plain, std::string& out) = 0;
  // The close_notify alert, appended to `out`.
  virtual void CloseNotify(std::string& out) = 0;
  // Drops the session, if any.
  virtual void End() = 0;
  // Why the session failed, in a few words; a refused certificate says "certificate".
  virtual std::string Verdict() const = 0;
};

}  // namespace quorvel
