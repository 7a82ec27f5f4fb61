// The TSIG key file, as BIND's tsig-keygen writes it: read, checked, and signed with once so
// that a key ldns would refuse stops the server at its start.
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "server/dns_update.hpp"
#include "server/ldns_packet.hpp"

namespace qserver {

namespace {

// The whole file, or nothing when it cannot be read.
std::optional<std::string> Contents(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

bool LoadTsigKey(const std::string& path, TsigKey& key, std::string& error) {
  const std::optional<std::string> contents = Contents(path);
  if (!contents) {
    error = "cannot read the TSIG key " + path;
    return false;
  }
  const std::string& all = *contents;
  std::smatch m;
  static const std::regex kKey(R"re(key\s+"?([A-Za-z0-9._-]+)"?\s*\{([^}]*)\})re");
  static const std::regex kAlgorithm(R"re(algorithm\s+"?([A-Za-z0-9-]+)"?\s*;)re");
  static const std::regex kSecret(R"re(secret\s+"([A-Za-z0-9+/=]+)"\s*;)re");
  if (!std::regex_search(all, m, kKey)) {
    error = path + " holds no key \"NAME\" { ... }; (as tsig-keygen writes)";
    return false;
  }
  key.name = m[1];
  if (key.name.size() > 1 && key.name.back() == '.') key.name.pop_back();  // written absolute
  // A name ldns cannot read makes its signing fail on a path that leaks: refused here instead.
  static const std::regex kName(R"re(^[A-Za-z0-9_-]{1,63}(\.[A-Za-z0-9_-]{1,63})*$)re");
  if (key.name.size() > 253 || !std::regex_match(key.name, kName)) {
    error = path + ": the key's name \"" + key.name + "\" is not a domain name";
    return false;
  }
  const std::string body = m[2];
  if (!std::regex_search(body, m, kAlgorithm) || m[1] != "hmac-sha256") {
    error = path + ": the key's algorithm must be hmac-sha256";
    return false;
  }
  if (!std::regex_search(body, m, kSecret)) {
    error = path + ": the key has no secret \"BASE64\";";
    return false;
  }
  key.secret = m[1];
  // Canonical base64: the bits a padded end leaves over are zero, as ldns reads it (its refusal
  // would come only at signing, on a path that leaks).
  static const std::regex kBase64(
      "^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/][AQgw]==|[A-Za-z0-9+/]{2}[AEIMQUYcgkosw048]=)?$");
  if (!std::regex_match(key.secret, kBase64)) {
    error = path + ": the key's secret is not base64";
    return false;
  }
  // A message signed once now: what ldns would refuse at the first push is refused at start.
  Pkt probe(ldns_pkt_new());
  ldns_pkt_set_opcode(probe.get(), LDNS_PACKET_UPDATE);
  const ldns_status status =
      ldns_pkt_tsig_sign(probe.get(), (key.name + ".").c_str(), key.secret.c_str(), 300, "hmac-sha256.", nullptr);
  if (status != LDNS_STATUS_OK) {
    error = path + ": the key cannot sign: " + ldns_get_errorstr_by_id(status);
    return false;
  }
  return true;
}

}  // namespace qserver
