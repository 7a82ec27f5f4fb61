#include "server/peer_rules.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>

namespace qserver {

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a))
      ::inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  return text;
}

std::string NormalAddress(std::string_view text) {
  const std::string s(text);
  sockaddr_in6 a6{};
  sockaddr_in a4{};
  if (::inet_pton(AF_INET, s.c_str(), &a4.sin_addr) == 1) {
    a4.sin_family = AF_INET;
    return AddressText(reinterpret_cast<sockaddr*>(&a4));
  }
  if (::inet_pton(AF_INET6, s.c_str(), &a6.sin6_addr) == 1) {
    a6.sin6_family = AF_INET6;
    return AddressText(reinterpret_cast<sockaddr*>(&a6));
  }
  return "";
}

Family FamilyOf(std::string_view address) {
  return address.find(':') == std::string_view::npos ? kFamilyV4 : kFamilyV6;
}

bool IsLoopback(std::string_view address) { return address == "::1" || address.substr(0, 4) == "127."; }

bool IsUnicast(std::string_view address) {
  const std::string text(address);
  in_addr a4{};
  in6_addr a6{};
  if (::inet_pton(AF_INET, text.c_str(), &a4) == 1) {
    const std::uint32_t a = ntohl(a4.s_addr);
    return a != 0 && a != 0xffffffffu && (a >> 24) != 127 && (a >> 28) != 0xe && (a >> 16) != 0xa9fe;
  }
  if (::inet_pton(AF_INET6, text.c_str(), &a6) != 1) return false;
  return !IN6_IS_ADDR_UNSPECIFIED(&a6) && !IN6_IS_ADDR_LOOPBACK(&a6) && !IN6_IS_ADDR_MULTICAST(&a6) &&
         !IN6_IS_ADDR_LINKLOCAL(&a6);
}

std::string PeerKey(std::string_view address, int ipv6PrefixBits) {
  if (IsLoopback(address)) return "loopback";
  in6_addr a{};
  if (ipv6PrefixBits >= 128 || ::inet_pton(AF_INET6, std::string(address).c_str(), &a) != 1)
    return std::string(address);
  const int bits = std::max(ipv6PrefixBits, 0);
  for (int i = 0; i < 16; ++i) {
    const int keep = std::clamp(bits - 8 * i, 0, 8);
    a.s6_addr[i] &= static_cast<unsigned char>(0xff00 >> keep);
  }
  char text[INET6_ADDRSTRLEN];
  ::inet_ntop(AF_INET6, &a, text, sizeof text);
  return std::string(text) + "/" + std::to_string(bits);
}

TrustedProxies::TrustedProxies(const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) addresses_.push_back(NormalAddress(address));
}

bool TrustedProxies::Trusts(std::string_view peer) const {
  return std::find(addresses_.begin(), addresses_.end(), peer) != addresses_.end();
}

std::string ClientAddress(const std::string& peer, const std::vector<std::string_view>& forwardedFor,
                          const TrustedProxies& proxies, bool everyLine) {
  if (forwardedFor.empty() || !proxies.Trusts(peer)) return peer;
  std::string list(forwardedFor.front());
  for (std::size_t i = 1; everyLine && i < forwardedFor.size(); ++i) list.append(",").append(forwardedFor[i]);
  std::string_view last = list;
  if (const std::size_t comma = last.rfind(','); comma != std::string_view::npos)
    last.remove_prefix(comma + 1);
  while (!last.empty() && last.front() == ' ') last.remove_prefix(1);
  while (!last.empty() && last.back() == ' ') last.remove_suffix(1);
  return NormalAddress(last);
}

}  // namespace qserver
