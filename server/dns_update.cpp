// The UPDATE messages: each name's records as update-section records, as many names as fit in
// one signed message, the primary's answer read into what to do with the rows.
#include "server/dns_update.hpp"

#include <cstring>
#include <memory>

#include "server/ldns_packet.hpp"

namespace qserver {

namespace {

// An update-section record. No rdata and class ANY: delete the RRset. Null when the owner
// is not a DNS name (too long) or the address is not one.
ldns_rr* UpdateRecord(const std::string& owner, ldns_rr_type type, ldns_rr_class cls, uint32_t ttl,
                      const std::string& address) {
  ldns_rdf* name = Name(owner);
  if (!name) return nullptr;
  ldns_rr* rr = ldns_rr_new();
  ldns_rr_set_owner(rr, name);
  ldns_rr_set_type(rr, type);
  ldns_rr_set_class(rr, cls);
  ldns_rr_set_ttl(rr, ttl);
  if (!address.empty()) {
    ldns_rdf* data =
        ldns_rdf_new_frm_str(type == LDNS_RR_TYPE_A ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA, address.c_str());
    if (!data) {
      ldns_rr_free(rr);
      return nullptr;
    }
    ldns_rr_push_rdf(rr, data);
  }
  return rr;
}

// One row's update records, pushed onto list; their size in the message (uncompressed, so at
// least what they take). 0 when one of them cannot be made: nothing is pushed then.
std::size_t PushRow(const PendingRow& row, const std::string& zone, int ttl, ldns_rr_list* list) {
  const std::string owner = row.label + "." + zone + ".";
  RrList mine(ldns_rr_list_new());
  for (Family family : {kFamilyV4, kFamilyV6}) {
    if (!(row.families & family)) continue;
    const ldns_rr_type type = family == kFamilyV4 ? LDNS_RR_TYPE_A : LDNS_RR_TYPE_AAAA;
    const std::string& address = family == kFamilyV4 ? row.ipv4 : row.ipv6;
    ldns_rr* remove = UpdateRecord(owner, type, LDNS_RR_CLASS_ANY, 0, "");
    if (!remove) return 0;
    ldns_rr_list_push_rr(mine.get(), remove);
    if (row.exists && !address.empty()) {
      ldns_rr* add = UpdateRecord(owner, type, LDNS_RR_CLASS_IN, static_cast<uint32_t>(ttl), address);
      if (!add) return 0;
      ldns_rr_list_push_rr(mine.get(), add);
    }
  }
  std::size_t size = 0;
  for (std::size_t i = 0; i < ldns_rr_list_rr_count(mine.get()); ++i)
    size += ldns_rr_uncompressed_size(ldns_rr_list_rr(mine.get(), i));
  if (size == 0) return 0;
  // The records move to the message's list; the emptied list is freed alone.
  for (std::size_t i = 0; i < ldns_rr_list_rr_count(mine.get()); ++i)
    ldns_rr_list_push_rr(list, ldns_rr_list_rr(mine.get(), i));
  ldns_rr_list_set_rr_count(mine.get(), 0);
  return size;
}

// The fixed part of a signed message: header, zone section, TSIG record (key name, algorithm,
// times, a SHA-256 MAC, ids).
std::size_t Overhead(const std::string& zone, const std::string& keyName) {
  return 12 + (zone.size() + 2 + 4) + (keyName.size() + 2 + 10) + (13 + 6 + 2 + 2 + 32 + 2 + 2 + 2);
}

}  // namespace

bool DnsUpdater::Send(const std::vector<PendingRow>& rows, std::string& error) {
  std::vector<PendingRow> left = rows;
  while (!left.empty()) {
    std::size_t taken = 0;
    switch (SendFitting(left, kMaxMessage, taken, error)) {
      case Outcome::kDone:
        left.erase(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(taken));
        break;
      case Outcome::kBadRow:
        error = left.front().label + " cannot be published: " + error;
        return false;
      default:
        return false;
    }
  }
  return true;
}

void DnsUpdater::Reload(TsigKey key, int ttl) {
  std::lock_guard lock(keyMutex_);
  key_ = std::move(key);
  ttl_ = ttl;
}

DnsUpdater::Outcome DnsUpdater::SendFitting(const std::vector<PendingRow>& rows, std::size_t budget,
                                            std::size_t& taken, std::string& error) {
  taken = 0;
  TsigKey key;
  int ttl;
  {
    std::lock_guard lock(keyMutex_);
    key = key_;
    ttl = ttl_;
  }
  RrList updates(ldns_rr_list_new());
  RrList prerequisites(ldns_rr_list_new());
  std::size_t size = Overhead(zone_, key.name);
  for (const PendingRow& row : rows) {
    // A first publication carries the prerequisite that its name holds nothing in the zone.
    // It holds for the whole message: refused (YXDOMAIN), the message is sent again in
    // halves until the name that is in use goes alone and is set aside.
    std::unique_ptr<ldns_rr, void (*)(ldns_rr*)> unused(nullptr, ldns_rr_free);
    std::size_t unusedSize = 0;
    if (row.first && row.exists) {
      unused.reset(UpdateRecord(row.label + "." + zone_ + ".", LDNS_RR_TYPE_ANY, LDNS_RR_CLASS_NONE, 0, ""));
      if (!unused) {
        if (taken > 0) break;
        error = "its records cannot be encoded";
        return Outcome::kBadRow;
      }
      unusedSize = ldns_rr_uncompressed_size(unused.get());
    }
    // The list's length before the row: a row that does not fit is taken out again and left
    // for the next message.
    const std::size_t before = ldns_rr_list_rr_count(updates.get());
    const std::size_t rowSize = PushRow(row, zone_, ttl, updates.get());
    if (rowSize == 0) {
      if (taken > 0) break;  // sent without it; alone, it is set aside
      error = "its records cannot be encoded";
      return Outcome::kBadRow;
    }
    if (taken > 0 && size + rowSize + unusedSize > budget) {
      while (ldns_rr_list_rr_count(updates.get()) > before) ldns_rr_free(ldns_rr_list_pop_rr(updates.get()));
      break;
    }
    if (unused) ldns_rr_list_push_rr(prerequisites.get(), unused.release());
    size += rowSize + unusedSize;
    ++taken;
  }
  lastSize_ = size;
  // A row is a few hundred bytes at most, so this never happens; if it did, ldns would abort
  // signing it.
  if (size > LDNS_MAX_PACKETLEN / 2 + 4096) {
    error = "a message of " + std::to_string(size) + " bytes";
    return taken == 1 ? Outcome::kBadRow : Outcome::kTooLarge;
  }
  const ldns_rr_list* required = ldns_rr_list_rr_count(prerequisites.get()) ? prerequisites.get() : nullptr;
  Pkt query(ldns_update_pkt_new(Name(zone_ + "."), LDNS_RR_CLASS_IN, required, updates.get(), nullptr));
  if (!query) {
    error = "cannot build the update";
    return Outcome::kFailed;
  }
  ldns_pkt_set_random_id(query.get());
  ldns_status status = ldns_pkt_tsig_sign(query.get(), (key.name + ".").c_str(), key.secret.c_str(), 300,
                                          "hmac-sha256.", nullptr);
  if (status != LDNS_STATUS_OK) {
    error = std::string("cannot sign the update: ") + ldns_get_errorstr_by_id(status);
    return Outcome::kFailed;
  }
  uint8_t* wire = nullptr;
  size_t wireSize = 0;
  if (ldns_pkt2wire(&wire, query.get(), &wireSize) != LDNS_STATUS_OK) {
    error = "cannot encode the update";
    return Outcome::kFailed;
  }
  std::vector<unsigned char> out(wire, wire + wireSize), in;
  free(wire);
  if (!Exchange(out, in, error)) return Outcome::kFailed;
  ldns_pkt* raw = nullptr;
  if (ldns_wire2pkt(&raw, in.data(), in.size()) != LDNS_STATUS_OK) {
    error = "an answer that is not DNS";
    fd_.reset();
    return Outcome::kFailed;
  }
  Pkt answer(raw);
  if (ldns_pkt_id(answer.get()) != ldns_pkt_id(query.get())) {
    error = "an answer to another message";
    fd_.reset();
    return Outcome::kFailed;
  }
  const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(answer.get());
  // A key the primary does not know or whose signature it refuses: its answer cannot be
  // signed with that key, so it is believed unsigned (it only keeps the work pending).
  if (rcode == LDNS_RCODE_NOTAUTH) {
    error = "key refused by the primary " + server_.Text() + " (NOTAUTH)";
    return Outcome::kFailed;
  }
  // A message the primary could not read is answered unsigned too; it is sent again smaller.
  const bool unreadable = rcode == LDNS_RCODE_FORMERR || ldns_pkt_tc(answer.get());
  if (unreadable && !ldns_pkt_tsig(answer.get())) {
    error = "the primary could not read a message of " + std::to_string(wireSize) + " bytes (" +
            RcodeText(answer.get()) + ")";
    return taken == 1 ? Outcome::kBadRow : Outcome::kTooLarge;
  }
  if (!ldns_pkt_tsig_verify(answer.get(), in.data(), in.size(), (key.name + ".").c_str(),
                            key.secret.c_str(), ldns_rr_rdf(ldns_pkt_tsig(query.get()), 3))) {
    error = "the answer's signature does not verify (rcode " + RcodeText(answer.get()) + ")";
    return Outcome::kFailed;
  }
  if (rcode == LDNS_RCODE_YXDOMAIN) {
    error = taken == 1 ? "the zone already holds records named " + rows.front().label + "." + zone_ + " (YXDOMAIN)"
                       : "the zone already holds records under a name published the first time (YXDOMAIN)";
    return taken == 1 ? Outcome::kBadRow : Outcome::kTooLarge;
  }
  if (unreadable || rcode == LDNS_RCODE_NOTZONE) {
    error = "refused by " + server_.Text() + ": " + RcodeText(answer.get());
    return taken == 1 ? Outcome::kBadRow : Outcome::kTooLarge;
  }
  if (rcode != LDNS_RCODE_NOERROR) {
    error = "refused by " + server_.Text() + ": " + RcodeText(answer.get());
    return Outcome::kFailed;
  }
  return Outcome::kDone;
}

}  // namespace qserver
