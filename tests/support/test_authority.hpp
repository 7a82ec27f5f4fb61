// The tests' own certificate authority, made trusted inside the Wine prefix, for the https
// end-to-end test and the TLS bench alike.
#pragma once

#include <cstddef>

namespace quorvel_test {

// Adds the DER certificate in `file` to the LocalMachine ROOT store, so that every program in
// the prefix trusts it from now on. Whether it was added; the bytes read go to *bytes if given.
bool TrustAuthority(const wchar_t* file, std::size_t* bytes = nullptr);

}  // namespace quorvel_test
