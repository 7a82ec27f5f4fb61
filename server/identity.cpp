#include "server/identity.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include <ldns/sha2.h>

namespace qserver {

namespace {

void RandomBytes(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random source");
    done += static_cast<std::size_t>(n);
  }
}

bool IsSafeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

bool IsLabel(std::string_view label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
  for (char c : label) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

bool IsSafeIdentifier(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdentifierLength) return false;
  for (char c : id) {
    if (!IsSafeChar(c)) return false;
  }
  return true;
}

std::string NewIdentifier() {
  // Read out over the phone: no 0 O 1 l I and one case, 32 symbols (5 bits each, no bias);
  // 27 of them carry 135 bits, more than the 132 of the older 22-character form, which still
  // passes IsSafeIdentifier with imported ones.
  static constexpr char kAlphabet[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
  static_assert(sizeof kAlphabet - 1 == 32);
  unsigned char bytes[27];
  RandomBytes(bytes, sizeof bytes);
  std::string id;
  for (unsigned char b : bytes) id += kAlphabet[b & 31];
  return id;
}

std::string NewToken() {
  unsigned char bytes[16];
  RandomBytes(bytes, sizeof bytes);
  std::string token;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

std::string IdentifierDigest(std::string_view id) {
  unsigned char digest[32];
  ldns_sha256(reinterpret_cast<const unsigned char*>(id.data()), static_cast<unsigned>(id.size()), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(64, '0');
  for (int i = 0; i < 32; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  return text;
}

}  // namespace qserver
