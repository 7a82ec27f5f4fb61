// The store of names, as the rest of the server sees it: one interface over each engine
// (SQLite in the sqlite_*.cpp files, PostgreSQL in the postgres_*.cpp files). Every call gives
// its own result and error, so a thread never reads another's; an engine is safe to call from
// several threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/store_types.hpp"

namespace qserver {

// What a store call gives back: its value, or why it failed (value then as the call says).
struct NoValue {};
template <typename T = NoValue>
struct Result {
  Result() = default;
  Result(T v, std::string e = {}) : value(std::move(v)), error(std::move(e)) {}
  T value{};
  std::string error;  // empty: done
  bool ok() const { return error.empty(); }
};

class NameStore {
 public:
  virtual ~NameStore() = default;

  enum class Added { kAdded, kTaken };
  virtual Result<Added> Add(const std::string& label, const std::string& digest, const std::string& now) = 0;
  // Takes the name out; with dns, leaves work to remove its records. false: there was none.
  virtual Result<bool> Remove(const std::string& label, bool dns) = 0;
  // A new identifier for the name, its addresses and records kept. false: there was none.
  virtual Result<bool> Rekey(const std::string& label, const std::string& digest) = 0;
  virtual Result<std::vector<NameRow>> All() = 0;  // by label
  virtual Result<std::optional<NameRow>> FindByDigest(const std::string& digest) = 0;
  virtual Result<std::size_t> Count() = 0;

  // Records the address of one family; with dns, also the work to publish it, in the same
  // transaction. An error when it could not be written (or the name is gone).
  virtual Result<> Record(const std::string& label, Family family, const std::string& address,
                          const std::string& now, bool dns) = 0;

  // A batch of the work, oldest first. Where several servers share the store, the rows are
  // held for this caller until Release (the others skip them, a change of those names waits),
  // so that no work is done twice at once and an older address never follows a newer one.
  virtual Result<std::vector<PendingRow>> Pending(int limit) = 0;
  // Drops the work once done, unless it has changed since it was read; the names are then
  // published (no longer first).
  virtual Result<> Done(const std::vector<PendingRow>& rows) = 0;
  // Drops the work of a row the primary refused, the name left as it was (first stays first).
  virtual Result<> SetAside(const PendingRow& row) = 0;
  // Ends the batch Pending took: what Done and SetAside did is kept, the rest given back.
  // Called as soon as a push ends, also a failed one, so nothing stays held while it waits.
  virtual Result<> Release() { return {}; }
  virtual Result<long long> PendingCount() = 0;  // -1 on error

  // The first time the store is served into this zone (a store recorded without DNS, or for
  // another zone): every recorded address becomes DNS work. How many names; -1 on error.
  virtual Result<long long> PublishAllInto(const std::string& zone) = 0;

  // A consistent copy of the whole store into a new file of its owner's alone, while others
  // read and write it.
  virtual Result<> Backup(const std::string& path) = 0;

  // A number that moves when another process has changed the store (add, remove, import while
  // serving), cheap enough to ask at every miss; exact at least once a second. The first call
  // starts following the others' changes (serve asks; a command never does).
  virtual long long ChangeMark() = 0;
  // What others changed since the last call, for the copy in memory: each name's change where
  // the engine is told them (PostgreSQL), or one kReload where it cannot tell (SQLite), also
  // after changes may have been missed.
  virtual std::vector<StoreChange> TakeChanges() { return {StoreChange{}}; }

  // Everything the store holds, read at one moment (migrate; a PostgreSQL store's backup).
  virtual Result<StoreContents> Contents() = 0;
  // Writes contents into the store in one transaction. A store with names or work is refused
  // unless replace, which drops what it held first.
  virtual Result<> Fill(const StoreContents& contents, bool replace) = 0;

  // Where the engine tells of its connection lost and back (serve's log); none by default.
  virtual void SetLog(std::function<void(const std::string&)> log) { (void)log; }
};

// A PostgreSQL location (postgresql:// or postgres:// URI) rather than a file.
bool IsPostgresLocation(const std::string& location);

// Opens the store at `location` (a file: SQLite; a postgresql:// URI: PostgreSQL); with create, makes it when it is not there,
// readable by its owner only. Without, a missing store is an error: a volume that failed to
// mount must not look like an empty store. Null with a message in error.
std::unique_ptr<NameStore> OpenStore(const std::string& location, bool create, std::string& error);

// The engines.
std::unique_ptr<NameStore> OpenSqliteStore(const std::string& path, bool create, std::string& error);
std::unique_ptr<NameStore> OpenPostgresStore(const std::string& uri, bool create, std::string& error);

}  // namespace qserver
