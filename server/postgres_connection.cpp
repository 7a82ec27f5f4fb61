// The PostgreSQL store's connections: the URI checked (no password in it), the schema made or
// found, the statements prepared on each connection, the pool of the requests' connections,
// and a server that went away: its loss and its return logged once each, a new connection
// tried no more often than every 5 seconds meanwhile, the calls failing at once in between.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "server/log_sink.hpp"
#include "server/postgres_store.hpp"

namespace qserver {

namespace {

constexpr int kPoolSize = 4;
constexpr auto kMaxDelay = std::chrono::milliseconds(5000);
constexpr auto kFirstDelay = std::chrono::milliseconds(250);

// A new random generation for a name's work, never counted from 1 again (see sqlite_schema.cpp).
#define QUORVEL_GENERATION "(random() * 9007199254740991)::bigint"

// The statements every connection prepares. A change and its DNS work are one statement, so
// one round trip and one transaction. The work's row is always taken before the name's: a
// pusher holding a name's work, then marking the name published, never waits for a writer that
// holds the name and waits for its work (a deadlock). The notification goes in the same
// transaction: the other servers hear of the change when, and only if, it is committed.
struct Statement {
  const char* name;
  const char* sql;
};
constexpr Statement kStatements[] = {
    {"add",
     "WITH added AS (INSERT INTO names(label, digest, created, published)"
     " VALUES($1, $2, $3, EXISTS(SELECT 1 FROM pending WHERE label = $1)) ON CONFLICT (label) DO NOTHING"
     " RETURNING label, digest)"
     " SELECT pg_notify('quorvel_names', $4::text || ' a ' || label || ' ' || digest) FROM added"},
    {"remove",
     "WITH work AS (INSERT INTO pending(label, families, generation)"
     " SELECT label, 3, " QUORVEL_GENERATION " FROM names WHERE label = $1 AND $2::boolean"
     " ON CONFLICT (label) DO UPDATE SET families = pending.families | excluded.families,"
     " generation = excluded.generation RETURNING label),"
     " gone AS (DELETE FROM names WHERE label = $1 AND (NOT $2::boolean OR EXISTS(SELECT 1 FROM work))"
     " RETURNING label, digest)"
     " SELECT pg_notify('quorvel_names', $3::text || ' r ' || label || ' ' || digest) FROM gone"},
    {"rekey",
     "WITH changed AS (UPDATE names n SET digest = $2 FROM (SELECT label, digest FROM names WHERE label = $1) o"
     " WHERE n.label = o.label RETURNING n.label, o.digest AS old)"
     " SELECT pg_notify('quorvel_names', $3::text || ' k ' || label || ' ' || old || ' ' || $2::text)"
     " FROM changed"},
    {"record4",
     "WITH work AS (INSERT INTO pending(label, families, generation)"
     " SELECT label, 1, " QUORVEL_GENERATION " FROM names WHERE label = $1 AND $4::boolean"
     " ON CONFLICT (label) DO UPDATE SET families = pending.families | excluded.families,"
     " generation = excluded.generation RETURNING label),"
     " changed AS (UPDATE names SET ipv4 = $2, ipv4_time = $3"
     " WHERE label = $1 AND (NOT $4::boolean OR EXISTS(SELECT 1 FROM work)) RETURNING label, digest)"
     " SELECT pg_notify('quorvel_names', $5::text || ' 4 ' || label || ' ' || digest || ' ' || $2::text)"
     " FROM changed"},
    {"record6",
     "WITH work AS (INSERT INTO pending(label, families, generation)"
     " SELECT label, 2, " QUORVEL_GENERATION " FROM names WHERE label = $1 AND $4::boolean"
     " ON CONFLICT (label) DO UPDATE SET families = pending.families | excluded.families,"
     " generation = excluded.generation RETURNING label),"
     " changed AS (UPDATE names SET ipv6 = $2, ipv6_time = $3"
     " WHERE label = $1 AND (NOT $4::boolean OR EXISTS(SELECT 1 FROM work)) RETURNING label, digest)"
     " SELECT pg_notify('quorvel_names', $5::text || ' 6 ' || label || ' ' || digest || ' ' || $2::text)"
     " FROM changed"},
    {"all",
     "SELECT label, digest, coalesce(ipv4, ''), coalesce(ipv4_time, ''), coalesce(ipv6, ''),"
     " coalesce(ipv6_time, ''), coalesce(created, '') FROM names ORDER BY label"},
    {"by_digest",
     "SELECT label, digest, coalesce(ipv4, ''), coalesce(ipv4_time, ''), coalesce(ipv6, ''),"
     " coalesce(ipv6_time, ''), coalesce(created, '') FROM names WHERE digest = $1"},
    {"count", "SELECT count(*) FROM names"},
    {"pending_count", "SELECT count(*) FROM pending"},
    // The addresses are read by the statement that locks the work: a writer of the same name
    // waits for the lock, so what is pushed is the newest. Rows another server holds are skipped.
    {"pending",
     "SELECT p.label, p.families, p.generation, n.label IS NOT NULL, coalesce(n.ipv4, ''),"
     " coalesce(n.ipv6, ''), coalesce(NOT n.published, false)"
     " FROM pending p LEFT JOIN names n ON n.label = p.label ORDER BY p.queued LIMIT $1"
     " FOR UPDATE OF p SKIP LOCKED"},
    // The work's rows first (the subquery on done makes them go before), then the names.
    {"done",
     "WITH done AS (DELETE FROM pending p USING unnest($1::text[], $2::bigint[]) AS w(label, generation)"
     " WHERE p.label = w.label AND p.generation = w.generation RETURNING p.label)"
     " UPDATE names SET published = true WHERE label = ANY($1::text[]) AND NOT published"
     " AND (SELECT count(*) FROM done) >= 0"},
    {"set_aside", "DELETE FROM pending WHERE label = $1 AND generation = $2"},
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS names(label text COLLATE \"C\" PRIMARY KEY, digest text NOT NULL UNIQUE,"
    " ipv4 text, ipv4_time text, ipv6 text, ipv6_time text, created text,"
    " published boolean NOT NULL DEFAULT true);"
    "CREATE TABLE IF NOT EXISTS pending(label text COLLATE \"C\" PRIMARY KEY, families integer NOT NULL,"
    " generation bigint NOT NULL, queued bigint GENERATED ALWAYS AS IDENTITY);"
    "CREATE TABLE IF NOT EXISTS meta(key text PRIMARY KEY, value text);";

// libpq's messages end with a line feed, some span lines: one line for the log.
std::string OneLine(const char* text) {
  std::string line;
  for (const char* c = text ? text : ""; *c; ++c) {
    const char ch = *c == '\n' || *c == '\t' ? ' ' : *c;
    if (ch != ' ' || (!line.empty() && line.back() != ' ')) line += ch;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line.empty() ? "unknown PostgreSQL error" : line;
}

std::string ResultError(PGresult* r, PGconn* conn) {
  const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return OneLine(primary ? primary : PQerrorMessage(conn));
}

void Quiet(void*, const char*) {}  // NOTICEs (a table already there) are no one's business

}  // namespace

PostgresStore::PostgresStore() {
  std::random_device random;
  const char* hex = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) token_ += hex[random() % 16];
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PostgresStore::~PostgresStore() {
  stop_ = true;
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }
  if (listener_.joinable()) listener_.join();
  if (wake_ >= 0) ::close(wake_);
  // A batch not released rolls back with its connection: the work stays for the next.
}

void PostgresStore::SetLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(healthMutex_);
  log_ = std::move(log);
}

bool PostgresStore::Open(const std::string& uri, bool create, std::string& error) {
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &parseError);
  if (!options) {
    error = "--store " + uri + " is not a PostgreSQL URI: " + OneLine(parseError);
    PQfreemem(parseError);
    return false;
  }
  bool password = false;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (std::string(o->keyword) == "password" && o->val && *o->val) password = true;
  PQconninfoFree(options);
  // A command line is seen by every user of the machine (ps), and kept in shells' histories.
  if (password) {
    error = "the --store URI carries a password: give it in ~/.pgpass or the file PGPASSFILE names";
    return false;
  }
  uri_ = uri;
  auto first = std::make_unique<Connection>();
  if (!Connect(*first, false, error)) {
    error = "cannot connect to the store " + uri + ": " + error;
    return false;
  }
  error = CreateSchema(first->conn, create);
  if (!error.empty()) return false;
  PQfinish(first->conn);
  first->conn = nullptr;
  if (!Connect(*first, true, error)) {
    error = "cannot use " + uri + " as a store: " + error;
    return false;
  }
  GiveBack(std::move(first));
  ++open_;
  return true;
}

std::string PostgresStore::CreateSchema(PGconn* conn, bool create) {
  const auto failed = [&](const PgResult& r, ExecStatusType want) {
    return r.Status() != want ? ResultError(r.get(), conn) : std::string();
  };
  PgResult found(PQexec(conn,
                        "SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema()"
                        " AND tablename IN ('names', 'pending', 'meta')"));
  std::string error = failed(found, PGRES_TUPLES_OK);
  if (!error.empty()) return "cannot use " + uri_ + " as a store: " + error;
  if (found.Number(0, 0) == 3) return "";
  // A database that is not there, or empty, must not look like an empty store (serve would
  // answer notfound to every client, which switches them off).
  if (!create) return "no store at " + uri_ + " (add or import make one, serve --create an empty one)";
  // Two servers started at once with --create: one makes the tables, the other finds them.
  PgResult made(PQexec(conn, (std::string("BEGIN; SELECT pg_advisory_xact_lock(7151247466935011);") + kSchema +
                              "COMMIT")
                                 .c_str()));
  error = failed(made, PGRES_COMMAND_OK);
  if (!error.empty()) {
    PgResult(PQexec(conn, "ROLLBACK"));
    return "cannot make the store's tables in " + uri_ + ": " + error;
  }
  return "";
}

PostgresStore::Lease PostgresStore::Borrow() {
  std::unique_lock lock(poolMutex_);
  poolFree_.wait(lock, [&] { return !idle_.empty() || open_ < kPoolSize; });
  if (idle_.empty()) {
    ++open_;
    return Lease{this, std::make_unique<Connection>()};
  }
  Lease lease{this, std::move(idle_.back())};
  idle_.pop_back();
  return lease;
}

void PostgresStore::GiveBack(std::unique_ptr<Connection> c) {
  if (!c) return;
  {
    std::lock_guard lock(poolMutex_);
    idle_.push_back(std::move(c));
  }
  poolFree_.notify_one();
}

bool PostgresStore::Ready(Connection& c, std::string& error) {
  if (c.conn && PQstatus(c.conn) == CONNECTION_OK) {
    // A connection the server closed while it was idle (a restart) is found now, not by a
    // failed request: an idle connection of ours has nothing to read otherwise.
    pollfd p{PQsocket(c.conn), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return true;
    if (PQconsumeInput(c.conn) && PQstatus(c.conn) == CONNECTION_OK) {
      while (PGnotify* n = PQnotifies(c.conn)) PQfreemem(n);
      return true;
    }
  }
  return Connect(c, true, error);
}

bool PostgresStore::Connect(Connection& c, bool prepare, std::string& error) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(healthMutex_);
    if (down_ && now < nextAttempt_) {
      error = "PostgreSQL is out of reach (" + lastError_ + ")";
      return false;
    }
  }
  if (c.conn) PQfinish(c.conn);
  // Before the URI's own: the URI may name them otherwise. lock_timeout: a change waits for
  // a push of its name (one DNS exchange), never for good.
  const char* keywords[] = {"fallback_application_name", "connect_timeout", "options", "dbname", nullptr};
  const char* values[] = {"quorvel-server", "5", "-c lock_timeout=10s", uri_.c_str(), nullptr};
  c.conn = PQconnectdbParams(keywords, values, 1);
  if (c.conn && PQstatus(c.conn) == CONNECTION_OK) {
    PQsetNoticeProcessor(c.conn, Quiet, nullptr);
    for (const Statement& s : kStatements) {
      if (!prepare) break;
      PgResult r(PQprepare(c.conn, s.name, s.sql, 0, nullptr));
      if (r.Status() != PGRES_COMMAND_OK) {
        // The server answers, the store is not right (its tables gone): not an outage.
        error = ResultError(r.get(), c.conn);
        PQfinish(c.conn);
        c.conn = nullptr;
        return false;
      }
    }
    std::lock_guard lock(healthMutex_);
    if (down_ && log_) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - downSince_).count();
      log_(UtcNow() + " store: PostgreSQL is back after " + std::to_string(seconds) +
           " s; changes are recorded again");
    }
    down_ = false;
    delay_ = std::chrono::milliseconds(0);
    return true;
  }
  error = OneLine(c.conn ? PQerrorMessage(c.conn) : "out of memory");
  if (c.conn) PQfinish(c.conn);
  c.conn = nullptr;
  std::lock_guard lock(healthMutex_);
  if (!down_) {
    down_ = true;
    downSince_ = now;
    if (log_)
      log_(UtcNow() + " store: PostgreSQL lost (" + error +
           "); updates that change an address are denied until it is back, tried again every 5 s at most");
  }
  lastError_ = error;
  delay_ = std::min<std::chrono::milliseconds>(std::max(delay_ * 2, std::chrono::milliseconds(kFirstDelay)),
                                               kMaxDelay);
  nextAttempt_ = now + delay_;
  return false;
}

namespace {

std::vector<const char*> Pointers(const std::vector<std::string>& params) {
  std::vector<const char*> pointers;
  for (const std::string& p : params) pointers.push_back(p.c_str());
  return pointers;
}

std::string Outcome(PgResult& out, PGconn* conn) {
  const ExecStatusType status = out.Status();
  return status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK ? "" : ResultError(out.get(), conn);
}

}  // namespace

std::string PostgresStore::Run(Connection& c, const char* statement, const std::vector<std::string>& params,
                               PgResult& out) {
  const std::vector<const char*> values = Pointers(params);
  out = PgResult(PQexecPrepared(c.conn, statement, static_cast<int>(values.size()), values.data(), nullptr,
                                nullptr, 0));
  return Outcome(out, c.conn);
}

std::string PostgresStore::RunSql(Connection& c, const char* sql, const std::vector<std::string>& params,
                                  PgResult& out) {
  const std::vector<const char*> values = Pointers(params);
  out = PgResult(
      PQexecParams(c.conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
  return Outcome(out, c.conn);
}

Result<PgResult> PostgresStore::Call(const char* statement, const std::vector<std::string>& params) {
  Lease lease = Borrow();
  std::string error;
  if (!Ready(*lease.c, error)) return {PgResult(), error};
  PgResult out;
  error = Run(*lease.c, statement, params, out);
  return {std::move(out), error};
}

std::unique_ptr<NameStore> OpenPostgresStore(const std::string& uri, bool create, std::string& error) {
  auto store = std::make_unique<PostgresStore>();
  if (!store->Open(uri, create, error)) return nullptr;
  return store;
}

}  // namespace qserver
