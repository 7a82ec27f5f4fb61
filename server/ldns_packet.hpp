// ldns's packets and record lists owned as values, and the few words every DNS file uses.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include <ldns/ldns.h>

namespace qserver {

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

inline ldns_rdf* Name(const std::string& text) { return ldns_dname_new_frm_str(text.c_str()); }

inline std::string RcodeText(const ldns_pkt* p) {
  char* name = ldns_pkt_rcode2str(ldns_pkt_get_rcode(p));
  std::string text = name ? name : "?";
  free(name);
  return text;
}

struct RrListFree {
  void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
using RrList = std::unique_ptr<ldns_rr_list, RrListFree>;

}  // namespace qserver
