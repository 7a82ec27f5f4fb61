// The TLS engine of the window, over Schannel (SSPI). secur32 and crypt32 are loaded on the
// first TLS session only: a window with a plain server never loads them. The peer's chain is
// checked by the engine itself after the handshake, against the Windows trust store and for
// the host asked for, so that a refusal can say why; there is no way to skip that.
// Verdict() is the window's own line, in French (UTF-8).
#pragma once

#include <memory>

#include "update/tls_engine.hpp"

namespace quorvel {

std::unique_ptr<TlsEngine> NewSchannelEngine();

}  // namespace quorvel
