#include "server/dns_update.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include <ldns/ldns.h>

namespace qserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIoTime = std::chrono::seconds(3);

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

ldns_rdf* Name(const std::string& text) { return ldns_dname_new_frm_str(text.c_str()); }

std::string RcodeText(const ldns_pkt* p) {
  char* name = ldns_pkt_rcode2str(ldns_pkt_get_rcode(p));
  std::string text = name ? name : "?";
  free(name);
  return text;
}

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

// Waits until fd is ready for events, or the deadline, or the stop flag (checked every
// tenth of a second so that the server ends promptly).
bool WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* stop) {
  while (true) {
    if (stop && *stop) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

struct RrListFree {
  void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
using RrList = std::unique_ptr<ldns_rr_list, RrListFree>;

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

bool LoadTsigKey(const std::string& path, TsigKey& key, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the TSIG key " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  std::smatch m;
  static const std::regex kKey(R"re(key\s+"?([A-Za-z0-9._-]+)"?\s*\{([^}]*)\})re");
  static const std::regex kAlgorithm(R"re(algorithm\s+"?([A-Za-z0-9-]+)"?\s*;)re");
  static const std::regex kSecret(R"re(secret\s+"([A-Za-z0-9+/=]+)"\s*;)re");
  if (!std::regex_search(all, m, kKey)) {
    error = path + " holds no key \"NAME\" { ... }; (as tsig-keygen writes)";
    return false;
  }
  key.name = m[1];
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
  static const std::regex kBase64("^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$");
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

bool FrameForTcp(const std::vector<unsigned char>& message, std::string& framed, std::string& error) {
  if (message.size() > 0xffff) {
    error =
        "the update is " + std::to_string(message.size()) + " bytes, more than DNS over TCP carries (65535)";
    return false;
  }
  framed.assign(1, static_cast<char>(message.size() >> 8));
  framed += static_cast<char>(message.size() & 0xff);
  framed.append(message.begin(), message.end());
  return true;
}

bool DnsUpdater::Connect(std::string& error) {
  sockaddr_storage address;
  const socklen_t length = server_.ToSockaddr(address);
  quorvel::UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
    error = "cannot connect to " + server_.Text() + ": " + std::strerror(errno);
    return false;
  }
  if (!WaitFor(fd.get(), POLLOUT, Clock::now() + kIoTime, stop_)) {
    error = "no connection to " + server_.Text() + " (timed out)";
    return false;
  }
  int soError = 0;
  socklen_t size = sizeof soError;
  ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &size);
  if (soError) {
    error = "cannot connect to " + server_.Text() + ": " + std::strerror(soError);
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

bool DnsUpdater::Exchange(const std::vector<unsigned char>& query, std::vector<unsigned char>& answer,
                          std::string& error) {
  // A connection kept from before may have been closed by the primary meanwhile: one more
  // try on a new one.
  std::string out;
  if (!FrameForTcp(query, out, error)) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool reused = static_cast<bool>(fd_);
    if (!fd_ && !Connect(error)) return false;
    const auto deadline = Clock::now() + kIoTime;
    std::size_t sent = 0;
    bool ok = true;
    while (ok && sent < out.size()) {
      ssize_t n = ::send(fd_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (n < 0 && (errno == EAGAIN || errno == EINTR))
        ok = WaitFor(fd_.get(), POLLOUT, deadline, stop_);
      else
        ok = false;
    }
    std::string in;
    std::size_t want = 2;
    while (ok && in.size() < want) {
      char buffer[4096];
      ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        in.append(buffer, static_cast<std::size_t>(n));
        if (in.size() >= 2)
          want = 2 + ((static_cast<unsigned char>(in[0]) << 8) | static_cast<unsigned char>(in[1]));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        ok = WaitFor(fd_.get(), POLLIN, deadline, stop_);
      } else {
        ok = false;
      }
    }
    if (ok) {
      answer.assign(in.begin() + 2, in.begin() + static_cast<std::ptrdiff_t>(want));
      return true;
    }
    fd_.reset();
    error = "no answer from " + server_.Text();
    if (!reused || (stop_ && *stop_)) return false;
  }
  return false;
}

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
