// Whether the zone already holds records under a name, as its primary answers an unsigned
// query of type ANY: asked before a label is given out.
#include "server/dns_update.hpp"
#include "server/ldns_packet.hpp"

namespace qserver {

bool DnsUpdater::Holds(const std::string& label, bool& holds, std::string& error) {
  Pkt query(ldns_pkt_query_new(Name(label + "." + zone_ + "."), LDNS_RR_TYPE_ANY, LDNS_RR_CLASS_IN, 0));
  if (!query) {
    error = "cannot build the query";
    return false;
  }
  ldns_pkt_set_random_id(query.get());
  uint8_t* wire = nullptr;
  size_t wireSize = 0;
  if (ldns_pkt2wire(&wire, query.get(), &wireSize) != LDNS_STATUS_OK) {
    error = "cannot encode the query";
    return false;
  }
  std::vector<unsigned char> out(wire, wire + wireSize), in;
  free(wire);
  if (!Exchange(out, in, error)) return false;
  ldns_pkt* raw = nullptr;
  if (ldns_wire2pkt(&raw, in.data(), in.size()) != LDNS_STATUS_OK) {
    fd_.reset();
    error = "an answer that is not DNS";
    return false;
  }
  Pkt answer(raw);
  const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(answer.get());
  if (ldns_pkt_id(answer.get()) != ldns_pkt_id(query.get()) ||
      (rcode != LDNS_RCODE_NOERROR && rcode != LDNS_RCODE_NXDOMAIN)) {
    error = "the primary " + server_.Text() + " did not answer the query (" + RcodeText(answer.get()) + ")";
    return false;
  }
  holds = rcode == LDNS_RCODE_NOERROR && ldns_pkt_ancount(answer.get()) > 0;
  return true;
}

}  // namespace qserver
