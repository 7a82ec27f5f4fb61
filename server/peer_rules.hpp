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

// The key a per-peer limit counts by: every loopback address is one peer ("loopback"); an IPv6
// address by its first ipv6PrefixBits bits, its /64 by default (one subscriber's network, as
// DNS servers' rate limits group them); IPv4 and anything else as it is.
std::string PeerKey(std::string_view address, int ipv6PrefixBits = 64);

// The switches the limits use today, kept as they were: each IPv6 address counts apart (128)
// and only the first X-Forwarded-For line is read. Grouping by /64 and reading every line, in
// order, are the public service's hardening, one change each here.
inline constexpr int kLimitsIpv6Prefix = 128;
inline constexpr bool kForwardedForEveryLine = false;

// The --trusted-proxy addresses, normalised once.
class TrustedProxies {
 public:
  explicit TrustedProxies(const std::vector<std::string>& addresses);
  bool Trusts(std::string_view peer) const;

 private:
  std::vector<std::string> addresses_;
};

// The client's address: the peer's, or from a trusted proxy the last entry of its
// X-Forwarded-For lines (given in the order received) when that entry is an address.
std::string ClientAddress(const std::string& peer, const std::vector<std::string_view>& forwardedFor,
                          const TrustedProxies& proxies, bool everyLine = kForwardedForEveryLine);

}  // namespace qserver
