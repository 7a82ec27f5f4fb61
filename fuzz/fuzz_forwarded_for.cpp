// Any X-Forwarded-For lines from a trusted proxy, and any peer: the client's address is the
// peer's or a normalised address, never the header's text as it came; every address has a
// peer key, IPv6 ones by their network.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/peer_rules.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  // Lines split at NUL bytes; the first is the peer.
  std::vector<std::string_view> lines;
  while (!rest.empty()) {
    const size_t cut = rest.find('\0');
    lines.push_back(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  static const qserver::TrustedProxies kProxies({"127.0.0.2", "2001:db8::53"});
  const std::string peer = lines.empty() ? "127.0.0.2" : std::string(lines.front());
  if (!lines.empty()) lines.erase(lines.begin());
  for (const bool everyLine : {false, true}) {
    const std::string client = qserver::ClientAddress(peer, lines, kProxies, everyLine);
    if (client != peer && qserver::NormalAddress(client) != client) std::abort();
    if (client != peer && !kProxies.Trusts(peer)) std::abort();
  }
  for (const std::string_view line : lines) {
    const std::string address = qserver::NormalAddress(line);
    if (address.empty()) continue;
    if (qserver::NormalAddress(address) != address) std::abort();  // normal once and for all
    const std::string key = qserver::PeerKey(address);
    if (qserver::FamilyOf(address) == qserver::kFamilyV6 && key != "loopback" &&
        key.compare(key.size() - 3, 3, "/64") != 0)
      std::abort();
    if (qserver::PeerKey(address, qserver::kLimitsIpv6Prefix) != key) std::abort();
  }
  return 0;
}
