// The TLS engine of the Linux programs, over GnuTLS. The library is loaded on the first TLS
// session only (dlopen of libgnutls.so.30): a plain server never loads it. The peer must
// present a chain to a root of the PEM file named by QUORVEL_CA_FILE or of the system's store,
// for the host asked for; there is no way to skip that.
#pragma once

#include <memory>

#include "update/tls_engine.hpp"

namespace quorvel {

std::unique_ptr<TlsEngine> NewGnutlsEngine();

}  // namespace quorvel
