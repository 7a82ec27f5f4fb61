// Any key file: it is read or refused with a reason, never more; a key read has a name and a
// secret of the characters the format allows.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/dns_update.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kPath = "/tmp/quorvel-fuzz-tsig-" + std::to_string(::getpid()) + ".key";
  FILE* file = std::fopen(kPath.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  qserver::TsigKey key;
  std::string error;
  const bool read = qserver::LoadTsigKey(kPath, key, error);
  if (read != error.empty()) std::abort();
  if (read &&
      (key.name.empty() || key.secret.empty() ||
       key.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") !=
           std::string::npos ||
       key.secret.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
           std::string::npos))
    std::abort();
  return 0;
}
