// GET /nic/update?hostname=NAME[&myip=ADDR[,ADDR]] with Basic authentication: the dyndns2
// protocol of routers, ddclient and inadyn. The user is the label or the full name, the
// password the name's identifier; the answer is one word and the addresses, in plain text.
#include "server/identity.hpp"
#include "server/peer_rules.hpp"
#include "server/query.hpp"
#include "server/route.hpp"

namespace qserver {

namespace {

Reply Answer(const std::string& word, std::string_view detail = "") {
  Reply reply;
  reply.type = kPlain;
  reply.body = word + "\n";
  reply.protocol = "dyndns2";
  reply.result = word.substr(0, word.find(' '));
  reply.outcome = "dyndns2 " + word + std::string(detail);
  return reply;
}

// myip: an IPv4 and an IPv6 address at most, separated by commas, the first of each family;
// one that does not parse or that no name should point to (unspecified, broadcast, multicast,
// loopback, link-local) is left out, and with none left the connection's address is used, as
// the common dyndns2 servers do.
std::vector<std::pair<Family, std::string>> Addresses(std::string_view myip, const std::string& client) {
  std::vector<std::pair<Family, std::string>> addresses;
  bool seen[2] = {false, false};
  while (!myip.empty() && !(seen[0] && seen[1])) {
    const std::size_t comma = myip.find(',');
    const std::string address = NormalAddress(myip.substr(0, comma));
    if (!address.empty() && IsUnicast(address) && !seen[FamilyOf(address) == kFamilyV6]) {
      seen[FamilyOf(address) == kFamilyV6] = true;
      addresses.emplace_back(FamilyOf(address), address);
    }
    if (comma == std::string_view::npos) break;
    myip.remove_prefix(comma + 1);
  }
  if (addresses.empty()) addresses.emplace_back(FamilyOf(client), client);
  return addresses;
}

}  // namespace

Reply DynDns2Endpoint(Site& site, const Request& request) {
  if (!request.credentials) {
    Reply reply = Answer("badauth", " (no credentials)");
    reply.status = 401;
    reply.askCredentials = true;
    return reply;
  }
  const std::string& zone = site.options.zone;
  const std::string userLabel(LabelOf(Lower(request.credentials->user), zone));
  const std::string& secret = request.credentials->password;
  if (!IsLabel(userLabel) || !IsSafeIdentifier(secret)) return Answer("badauth");

  std::string hostname = Lower(Field(request.query, "hostname"));
  if (!hostname.empty() && hostname.back() == '.') hostname.pop_back();
  if (hostname.find(',') != std::string::npos) return Answer("numhost");
  const std::size_t dot = hostname.find('.');
  if (dot == std::string::npos) return Answer("notfqdn");
  if (!zone.empty() && hostname != FullName(hostname.substr(0, dot), zone)) return Answer("nohost");
  // One name's credentials move that name only.
  if (hostname.substr(0, dot) != userLabel) return Answer("nohost", " (not " + userLabel + ")");
  if (request.client.empty()) return Answer("911", " (malformed X-Forwarded-For)");
  const std::string peer = PeerKey(request.client, kLimitsIpv6Prefix);
  const auto now = SlidingWindow::Clock::now();
  if (!site.failures.Allows(peer, now))
    return Answer("abuse", ", more than " + std::to_string(site.options.maxFailuresPerHour) +
                               " unknown identifiers from " + peer + " within an hour");

  const auto addresses = Addresses(Field(request.query, "myip"), request.client);
  std::string shown;
  for (const auto& [family, address] : addresses) shown += (shown.empty() ? "" : ",") + address;
  const Registry::Updated updated = site.registry.Update(IdentifierDigest(secret), userLabel, addresses);
  const std::string& label = updated.label;
  switch (updated.outcome) {
    case Registry::Outcome::kChanged:
      return Answer("good " + shown, " for " + label);
    case Registry::Outcome::kUnchanged:
      return Answer("nochg " + shown, " for " + label);
    case Registry::Outcome::kNotFound:
      break;
    case Registry::Outcome::kDenied:
      return Answer("abuse", ", more than " + std::to_string(site.options.maxUpdatesPerMinute) +
                                 " updates of " + label + " within a minute");
    case Registry::Outcome::kStoreError:
      return Answer("911", " (store: " + updated.error + ")");
  }
  site.failures.Add(peer, now);
  return Answer("badauth");
}

}  // namespace qserver
