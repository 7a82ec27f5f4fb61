// The test authority into LocalMachine ROOT: the file read whole, then added (replacing any
// earlier copy, so a rerun in the same prefix is harmless).
#include "test_authority.hpp"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

namespace quorvel_test {

bool TrustAuthority(const wchar_t* file, std::size_t* bytes) {
  std::string der;
  if (FILE* in = _wfopen(file, L"rb")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) der.append(chunk, got);
    std::fclose(in);
  }
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  const bool added = root != nullptr && !der.empty() &&
                     CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (root != nullptr) CertCloseStore(root, 0);
  if (bytes != nullptr) *bytes = der.size();
  return added;
}

}  // namespace quorvel_test
