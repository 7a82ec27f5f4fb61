// Who a request comes from, as every limit and record sees it: the address as text, the peer
// key the limits count by, and the client's address behind a trusted proxy. One place for
// these rules (fuzz/fuzz_forwarded_for.cpp feeds them hostile headers).
#pragma once

#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "server/store_types.hpp"

namespace qserver {

// The address as the rules see it: an IPv4-mapped IPv6 address becomes IPv4.
std::string AddressText(const sockaddr* address);

// A valid IPv4 or IPv6 address as text, normalised as AddressText writes it; empty otherwise.
std::string NormalAddress(std::string_view text);

Family FamilyOf(std::string_view address);
bool IsLoopback(std::string_view address);
// An address a name may point to: not unspecified, broadcast, multicast, loopback or link-local.
bool IsUnicast(std::string_view address);

// The key a per-peer limit counts by: every loopback address is one peer ("loopback"); an IPv6
// address by its first ipv6PrefixBits bits, its /64 by default (one subscriber's network, as
// DNS servers' rate limits group them); IPv4 and anything else as it is.
std::string PeerKey(std::string_view address, int ipv6PrefixBits = 64);

// The limits count an IPv6 peer by its /64 (one address each would let a subscriber's
// network take every place), and every X-Forwarded-For line is read, in order (a proxy that
// adds its own line would otherwise let the client choose its address).
inline constexpr int kLimitsIpv6Prefix = 64;
inline constexpr bool kForwardedForEveryLine = true;

// The --trusted-proxy addresses, normalised once.
class TrustedProxies {
 public:
  explicit TrustedProxies(const std::vector<std::string>& addresses);
  bool Trusts(std::string_view peer) const;

 private:
  std::vector<std::string> addresses_;
};

// The client's address: the peer's, or from a trusted proxy the last entry of its
// X-Forwarded-For lines (given in the order received). Empty when that entry is not an
// address: the request is refused rather than recorded at the proxy's address.
std::string ClientAddress(const std::string& peer, const std::vector<std::string_view>& forwardedFor,
                          const TrustedProxies& proxies, bool everyLine = kForwardedForEveryLine);

}  // namespace qserver
