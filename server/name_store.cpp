#include "server/name_store.hpp"

namespace qserver {

bool IsPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

// The engine from the location's form: a postgresql:// URI is PostgreSQL, anything else a file.
std::unique_ptr<NameStore> OpenStore(const std::string& location, bool create, std::string& error) {
  if (IsPostgresLocation(location)) return OpenPostgresStore(location, create, error);
  return OpenSqliteStore(location, create, error);
}

}  // namespace qserver
