// The tests' PostgreSQL: the one the CTest fixture started (tests/support/postgres.sh, its
// folder in QUORVEL_TEST_POSTGRES), a fresh database of it for each test, SQL run as the test's
// own client would, and a private server of a test's own that it may stop and start again.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace qserver_test {

inline std::string PostgresFolder() {
  const char* folder = std::getenv("QUORVEL_TEST_POSTGRES");
  return folder ? folder : "";
}

inline std::string PostgresUri(const std::string& folder, const std::string& database = "quorvel") {
  return "postgresql:///" + database + "?host=" + folder;
}

// Runs sql on the database; the first row's first value, or "ERROR: ..." when it failed.
inline std::string Sql(const std::string& uri, const std::string& sql) {
  PGconn* c = PQconnectdb(uri.c_str());
  std::string answer;
  if (PQstatus(c) != CONNECTION_OK) {
    answer = std::string("ERROR: ") + PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
      answer = std::string("ERROR: ") + PQresultErrorMessage(r);
    else if (PQntuples(r) > 0)
      answer = PQgetvalue(r, 0, 0);
    PQclear(r);
  }
  PQfinish(c);
  return answer;
}

// A database of its own for one test, dropped with it (the servers' connections cut).
class TestDatabase {
 public:
  explicit TestDatabase(std::string folder = PostgresFolder()) : folder_(std::move(folder)) {
    if (folder_.empty()) {
      ADD_FAILURE() << "QUORVEL_TEST_POSTGRES is not set: run through ctest, whose fixture starts PostgreSQL";
      return;
    }
    std::random_device random;
    name_ = "test_" + std::to_string(::getpid()) + "_" + std::to_string(random());
    const std::string made = Sql(PostgresUri(folder_), "CREATE DATABASE " + name_);
    EXPECT_EQ(made, "") << made;
  }
  ~TestDatabase() {
    if (!name_.empty()) Sql(PostgresUri(folder_), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  }
  std::string Uri() const { return PostgresUri(folder_, name_); }
  std::string Run(const std::string& sql) const { return Sql(Uri(), sql); }

 private:
  std::string folder_, name_;
};

// A PostgreSQL server of a test's own in folder, through the same script.
inline int PostgresScript(const std::string& action, const std::string& folder) {
  const std::string command =
      "bash '" QUORVEL_SOURCE_DIR "/tests/support/postgres.sh' " + action + " '" + folder + "' >/dev/null";
  return std::system(command.c_str());
}

}  // namespace qserver_test
