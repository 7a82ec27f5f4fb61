// The PostgreSQL engine of the store, shared by several servers: a few connections for the
// requests' calls, one for the DNS work (its batch held in a transaction, the rows locked, until
// the push ends) and one that listens to the others' changes. Seen only by the engine's own
// files, the only ones that include libpq's header.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/name_store.hpp"

namespace qserver {

// A statement's result, cleared however the caller leaves.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* r) : r_(r) {}
  PgResult(PgResult&& other) noexcept : r_(other.r_) { other.r_ = nullptr; }
  PgResult& operator=(PgResult&& other) noexcept {
    std::swap(r_, other.r_);
    return *this;
  }
  ~PgResult() {
    if (r_) PQclear(r_);
  }
  PGresult* get() const { return r_; }
  ExecStatusType Status() const { return r_ ? PQresultStatus(r_) : PGRES_FATAL_ERROR; }
  int Rows() const { return r_ ? PQntuples(r_) : 0; }
  std::string At(int row, int column) const { return PQgetvalue(r_, row, column); }
  bool True(int row, int column) const { return At(row, column) == "t"; }
  long long Number(int row, int column) const { return std::stoll(At(row, column)); }
  long long Changed() const {
    const char* n = PQcmdTuples(r_);
    return n && *n ? std::stoll(n) : 0;
  }

 private:
  PGresult* r_ = nullptr;
};

class PostgresStore final : public NameStore {
 public:
  PostgresStore();
  ~PostgresStore() override;
  bool Open(const std::string& uri, bool create, std::string& error);

  Result<Added> Add(const std::string& label, const std::string& digest, const std::string& now) override;
  Result<bool> Remove(const std::string& label, bool dns) override;
  Result<bool> Rekey(const std::string& label, const std::string& digest) override;
  Result<std::vector<NameRow>> All() override;
  Result<std::optional<NameRow>> FindByDigest(const std::string& digest) override;
  Result<std::size_t> Count() override;
  Result<> Record(const std::string& label, Family family, const std::string& address, const std::string& now,
                  bool dns) override;
  Result<std::vector<PendingRow>> Pending(int limit) override;
  Result<> Done(const std::vector<PendingRow>& rows) override;
  Result<> SetAside(const PendingRow& row) override;
  Result<> Release() override;
  Result<long long> PendingCount() override;
  Result<long long> PublishAllInto(const std::string& zone) override;
  Result<> Backup(const std::string& path) override;
  long long ChangeMark() override;
  std::vector<StoreChange> TakeChanges() override;
  Result<StoreContents> Contents() override;
  Result<> Fill(const StoreContents& contents, bool replace) override;
  void SetLog(std::function<void(const std::string&)> log) override;

  // The channel every server of a store listens on.
  static constexpr const char* kChannel = "quorvel_names";

 private:
  struct Connection {
    PGconn* conn = nullptr;
    ~Connection() {
      if (conn) PQfinish(conn);
    }
  };
  // A connection of the pool, given back when the call ends.
  struct Lease {
    Lease(PostgresStore* s, std::unique_ptr<Connection> connection) : store(s), c(std::move(connection)) {}
    Lease(Lease&&) = default;
    ~Lease() { store->GiveBack(std::move(c)); }
    PostgresStore* store;
    std::unique_ptr<Connection> c;
  };
  Lease Borrow();
  void GiveBack(std::unique_ptr<Connection> c);

  // Connected (again, when the backoff allows) with the statements prepared; false with why.
  bool Ready(Connection& c, std::string& error);
  bool Connect(Connection& c, bool prepare, std::string& error);
  std::string CreateSchema(PGconn* conn, bool create);
  // A prepared statement, or any SQL with parameters; the error, empty when done.
  std::string Run(Connection& c, const char* statement, const std::vector<std::string>& params, PgResult& out);
  std::string RunSql(Connection& c, const char* sql, const std::vector<std::string>& params, PgResult& out);
  Result<PgResult> Call(const char* statement, const std::vector<std::string>& params);
  std::string EndBatch(const char* how);  // under workMutex_

  void StartListening();
  void Listen(std::unique_ptr<Connection> c);
  bool Subscribe(Connection& c, std::string& error);
  void Heard(const std::string& payload);
  void Enqueue(StoreChange change);

  std::string uri_;
  std::string token_;  // this store object's mark in its notifications, to know its own

  std::mutex poolMutex_;
  std::condition_variable poolFree_;
  std::vector<std::unique_ptr<Connection>> idle_;
  int open_ = 0;

  std::mutex workMutex_;  // the DNS work's connection and its batch
  Connection work_;
  bool inBatch_ = false;

  // The server's reach: lost once, back once, and attempts no more often than the backoff.
  std::mutex healthMutex_;
  bool down_ = false;
  std::chrono::steady_clock::time_point downSince_, nextAttempt_;
  std::chrono::milliseconds delay_{0};
  std::string lastError_;
  std::function<void(const std::string&)> log_;

  std::once_flag listening_;
  std::thread listener_;
  int wake_ = -1;  // eventfd: ends the listener at once
  std::atomic<bool> stop_{false};
  std::mutex changesMutex_;
  std::vector<StoreChange> changes_;
  std::atomic<long long> mark_{0};
};

}  // namespace qserver
