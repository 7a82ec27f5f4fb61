// The PostgreSQL store's change feed: a connection of its own LISTENs on the store's channel,
// on a thread of its own, and queues each change another server or command committed (a name
// added, removed, re-keyed, an address recorded) for the copy in memory: a change costs the
// other servers its own name, never a reload. Its own additions, removals and new identifiers are
// left out (the copy has them already); its own addresses are not: applied in commit order with
// the others', the copy ends at the address the store kept when two servers record one name
// within moments, whichever wrote its copy last. After a lost
// connection, the copy is read again once the store is back (what was missed meanwhile).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "server/postgres_store.hpp"

namespace qserver {

namespace {

constexpr std::size_t kMaxQueued = 100000;  // beyond: one reload instead

}  // namespace

long long PostgresStore::ChangeMark() {
  std::call_once(listening_, [this] { StartListening(); });
  return mark_.load();
}

std::vector<StoreChange> PostgresStore::TakeChanges() {
  std::lock_guard lock(changesMutex_);
  std::vector<StoreChange> taken;
  taken.swap(changes_);
  return taken;
}

void PostgresStore::Enqueue(StoreChange change) {
  {
    std::lock_guard lock(changesMutex_);
    changes_.push_back(std::move(change));
    // A copy that is not asking (a long stall): one reload says it all.
    if (changes_.size() >= kMaxQueued) changes_ = {StoreChange{}};
  }
  ++mark_;
}

bool PostgresStore::Subscribe(Connection& c, std::string& error) {
  if (!Connect(c, false, error)) return false;
  PgResult r(PQexec(c.conn, (std::string("LISTEN ") + kChannel).c_str()));
  if (r.Status() == PGRES_COMMAND_OK) return true;
  error = PQerrorMessage(c.conn);
  PQfinish(c.conn);
  c.conn = nullptr;
  return false;
}

// The first subscription is made before the caller reads the store (Registry::Load): a change
// committed after it is heard, one before it is in what is read.
void PostgresStore::StartListening() {
  auto c = std::make_unique<Connection>();
  std::string error;
  Subscribe(*c, error);
  // A failed subscription leaves no connection: the thread tries again with the backoff.
  listener_ = std::thread([this, c = std::move(c)]() mutable { Listen(std::move(c)); });
}

void PostgresStore::Listen(std::unique_ptr<Connection> c) {
  while (!stop_) {
    if (!c->conn) {
      std::string error;
      if (Subscribe(*c, error)) {
        // Notifications were missed while it was away: the copy is read again.
        Enqueue(StoreChange{});
        continue;
      }
      // Out of reach: the next attempt when the backoff allows (or as soon as a request's
      // connection has found the store back), or at once when stopped.
      int wait;
      {
        std::lock_guard lock(healthMutex_);
        wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    nextAttempt_ - std::chrono::steady_clock::now())
                                    .count());
      }
      pollfd p{wake_, POLLIN, 0};
      ::poll(&p, 1, std::clamp(wait, 50, 250));
      continue;
    }
    pollfd p[2] = {{PQsocket(c->conn), POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 || (p[1].revents & POLLIN)) continue;
    if (!PQconsumeInput(c->conn) || PQstatus(c->conn) != CONNECTION_OK) {
      PQfinish(c->conn);
      c->conn = nullptr;
      continue;
    }
    while (PGnotify* n = PQnotifies(c->conn)) {
      Heard(n->extra ? n->extra : "");
      PQfreemem(n);
    }
  }
}

// "TOKEN KIND LABEL ..." as the statements write it (postgres_connection.cpp).
void PostgresStore::Heard(const std::string& payload) {
  std::istringstream in(payload);
  std::string token, kind;
  in >> token >> kind;
  if (token == token_ && kind != "4" && kind != "6") return;  // its own: the copy has it already
  StoreChange change;
  if (kind == "*") {
    Enqueue(StoreChange{});
    return;
  }
  in >> change.label >> change.digest;
  if (change.label.empty() || change.digest.empty()) return;
  if (kind == "a") {
    change.kind = StoreChange::Kind::kAdded;
  } else if (kind == "r") {
    change.kind = StoreChange::Kind::kRemoved;
  } else if (kind == "k") {
    change.kind = StoreChange::Kind::kRekeyed;
    change.oldDigest = change.digest;
    in >> change.digest;
  } else if (kind == "4" || kind == "6") {
    change.kind = StoreChange::Kind::kRecorded;
    change.family = kind == "4" ? kFamilyV4 : kFamilyV6;
    in >> change.address;
  } else {
    return;
  }
  Enqueue(std::move(change));
}

}  // namespace qserver
