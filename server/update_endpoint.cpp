// GET /update?ip_key=ID: Quorvel's own update, answered by a page that ends in the marker and
// one status word.
#include "server/identity.hpp"
#include "server/peer_rules.hpp"
#include "server/route.hpp"

namespace qserver {

namespace {

using quorvel::protocol::Status;

Reply Answer(Status word, std::string result, std::string outcome) {
  Reply reply;
  reply.word = word;
  reply.protocol = "update";
  reply.result = std::move(result);
  reply.outcome = std::move(outcome);
  return reply;
}

}  // namespace

Reply UpdateEndpoint(Site& site, const Request& request) {
  // The client sends one parameter and never escapes it: whatever follows "ip_key=" is the
  // identifier as typed, so a second parameter or an escape makes it malformed.
  constexpr std::string_view kKey = "ip_key=";
  const bool hasKey = request.query.substr(0, kKey.size()) == kKey;
  const std::string_view id = hasKey ? request.query.substr(kKey.size()) : std::string_view();
  if (!hasKey || !IsSafeIdentifier(id)) return Answer(Status::kIncorrect, "incorrect", "incorrect");
  const std::string& client = request.client;
  if (client.empty()) return Answer(Status::kDenied, "denied", "denied, malformed X-Forwarded-For");
  // Guessing identifiers costs a peer its updates for a while: the budget is spent on
  // unknown ones, and once spent even a good one is not looked up.
  const std::string peer = PeerKey(client, kLimitsIpv6Prefix);
  const auto now = SlidingWindow::Clock::now();
  if (!site.failures.Allows(peer, now))
    return Answer(Status::kDenied, "denied",
                  "denied, more than " + std::to_string(site.options.maxFailuresPerHour) +
                      " unknown identifiers from " + peer + " within an hour");
  const Registry::Updated updated =
      site.registry.Update(IdentifierDigest(id), "", {{FamilyOf(client), client}});
  const std::string& label = updated.label;
  switch (updated.outcome) {
    case Registry::Outcome::kChanged:
      return Answer(Status::kFound, "found", "found, recorded " + client + " for " + label);
    case Registry::Outcome::kUnchanged:
      return Answer(Status::kFound, "found_unchanged", "found, unchanged " + client + " for " + label);
    case Registry::Outcome::kNotFound:
      break;
    case Registry::Outcome::kDenied:
      return Answer(Status::kDenied, "denied",
                    "denied, more than " + std::to_string(site.options.maxUpdatesPerMinute) + " updates of " +
                        label + " within a minute");
    case Registry::Outcome::kStoreError:
      // Not "found": the client would take it as done. "denied" has it try again later.
      return Answer(Status::kDenied, "store_error",
                    "store_error, denied: NOT recorded (" + updated.error + ")");
  }
  site.failures.Add(peer, now);
  return Answer(Status::kNotFound, "notfound", "notfound");
}

}  // namespace qserver
