#include "server/name_store.hpp"

namespace qserver {

// The engine from the location's form: a file is SQLite (a postgresql:// URI will be the next).
std::unique_ptr<NameStore> OpenStore(const std::string& location, bool create, std::string& error) {
  return OpenSqliteStore(location, create, error);
}

}  // namespace qserver
