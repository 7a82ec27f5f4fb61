// /creer.php6: the creation page (GET) and its form (POST: nom, jeton), which makes a name
// and shows its new identifier once. Closed unless --open-creation. Only this run's own form,
// reached under one of the server's own Host names, creates; a peer (an IPv6 /64) creates a
// few a minute and a hundredth of --max-names a day (10 at least), the store holds so many.
#include "server/commands.hpp"
#include "server/identity.hpp"
#include "server/pages.hpp"
#include "server/peer_rules.hpp"
#include "server/query.hpp"
#include "server/route.hpp"

namespace qserver {

namespace {

Reply Refused(int status, const std::string& outcome, std::string_view explanation) {
  Reply reply;
  reply.status = status;
  reply.body = RefusedPage(explanation);
  reply.outcome = "creation refused: " + outcome;
  return reply;
}

bool IsOwnHost(const Site& site, std::string_view host) {
  for (const auto* hosts : {&site.ownHosts, &site.options.allowHosts})
    for (const std::string& own : *hosts)
      if (EqualsNoCase(own, host)) return true;
  return false;
}

// Compared in a time that does not tell how much of it matched.
bool SameToken(std::string_view given, std::string_view token) {
  unsigned char differ = given.size() != token.size();
  for (std::size_t i = 0; i < given.size() && i < token.size(); ++i) differ |= given[i] ^ token[i];
  return differ == 0;
}

}  // namespace

Reply CreateOrRefuse(Site& site, const Request& request) {
  const Options& options = site.options;
  if (!options.openCreation) return Refused(403, "closed", "Ce serveur ne crée pas d'identifiant.");
  if (request.client.empty())
    return Refused(400, "malformed X-Forwarded-For", "Votre adresse n'a pas pu être lue.");
  if (!request.host || !IsOwnHost(site, *request.host)) {
    std::string host = "none";
    if (request.host) host.assign(1, '"').append(Printable(*request.host)).append(1, '"');
    return Refused(403, "Host " + host + " is not this server's",
                   "Ouvrez la page de création à l'adresse de ce serveur.");
  }
  if (request.method == kGet) {
    Reply reply;
    reply.body = CreationForm(site.token, options.zone);
    reply.outcome = "creation page";
    return reply;
  }
  // Any page a browser shows can post a form here: only this run's own form is taken.
  if (!SameToken(Field(request.body, "jeton"), site.token)) {
    return Refused(403, "no valid form token",
                   "Ce formulaire ne vient pas de la page de création de ce serveur. "
                   "Rechargez la page de création et réessayez.");
  }
  if (options.maxCreationsPerMinute == 0)  // the older way to close it
    return Refused(403, "turned off", "Ce serveur ne crée pas d'identifiant.");
  const std::string label = Lower(Field(request.body, "nom"));
  if (!IsLabel(label)) {
    return Refused(400, "invalid name \"" + Printable(label) + "\"",
                   "Le nom doit faire de 1 à 63 caractères : lettres minuscules, chiffres et traits "
                   "d'union (pas au début ni à la fin).");
  }
  const std::string peer = PeerKey(request.client, kLimitsIpv6Prefix);
  const auto now = SlidingWindow::Clock::now();
  if (!site.creations.Allows(peer, now) || !site.creationsDaily.Allows(peer, now)) {
    return Refused(429, "too many from " + request.client + " this minute",
                   "Trop d'identifiants ont été créés depuis votre adresse. Réessayez dans une minute.");
  }
  const std::size_t count = site.store.Count().value;
  if (count >= static_cast<std::size_t>(options.maxNames)) {
    return Refused(507, "store full (" + std::to_string(count) + " names)",
                   "Ce serveur n'accepte plus de nouvel identifiant.");
  }
  // A name the zone already holds (its name server, its web site) is never handed out
  // (asked after the limits: each asking is a connection to the primary).
  if (std::string why; ZoneHolds(options, label, why))
    return Refused(409, "name " + label + " is the zone's own: " + why, "Ce nom est déjà pris : choisissez-en un autre.");
  const std::string id = NewIdentifier();
  const Result<NameStore::Added> added = site.registry.Add(label, IdentifierDigest(id));
  if (!added.ok()) {
    Reply reply;
    reply.status = 500;
    reply.body =
        Page("Quorvel : erreur",
             "<h1>Erreur</h1>\n<p>L'identifiant n'a pas pu être enregistré. Réessayez plus tard.</p>\n");
    reply.outcome = "creation failed (store: " + added.error + ")";
    return reply;
  }
  if (added.value == NameStore::Added::kTaken)
    return Refused(409, "name " + label + " taken", "Ce nom est déjà pris : choisissez-en un autre.");
  site.creations.Add(peer, now);
  site.creationsDaily.Add(peer, now);
  Reply reply;
  reply.body = CreatedPage(id, FullName(label, options.zone));
  // Never the identifier: the log is not a secret. Behind a proxy, the client it names.
  reply.outcome = "created " + label + (request.client != request.peer ? " for " + request.client : "");
  return reply;
}

Reply CreationEndpoint(Site& site, const Request& request) {
  Reply reply = CreateOrRefuse(site, request);
  if (request.method == kPost) ++(reply.status == 200 ? site.metrics.creations : site.metrics.creationsRefused);
  return reply;
}

}  // namespace qserver
