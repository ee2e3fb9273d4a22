// Test support: a private PostgreSQL server for the tests of one process, started from the binaries of
// `pg_config --bindir` with its data folder and Unix socket in a fresh temporary folder (no TCP, trust
// authentication, fsync off), as the unprivileged user 65534 when the tests run as root. Linux only.
#pragma once

#include <memory>
#include <string>

#include "support/TestEnv.h"

namespace mivo::test {

class PgCluster {
 public:
  // The server of this process, started on first use and stopped (its folder removed) at exit. Throws
  // std::runtime_error, naming what is missing, when it cannot start (also when the PostgreSQL binaries
  // are not installed: CI installs the Debian packages postgresql and libpq-dev).
  static PgCluster& Shared();
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // Creates a new, empty database with a name of its own (prefix plus a number) and gives the name.
  std::string CreateDatabase(const std::string& prefix);
  // The URI of a database (postgresql:///NAME?host=SOCKETDIR&port=PORT&user=USER), as the superuser or as
  // `user`.
  std::string Uri(const std::string& database, const std::string& user = kSuperuser) const;
  // Runs SQL with psql as the superuser on `database`; the rows as "a|b" lines. A failure fails the test.
  std::string Psql(const std::string& database, const std::string& sql) const;
  // Adds texts to a database in the standard layout as MakeStandardDb (support/TestEnv.h) does: one item
  // per text, in the order given.
  void AddTexts(const std::string& database, const std::vector<Text>& texts) const;

  static constexpr const char* kSuperuser = "postgres";
  static constexpr int kPort = 5432;  // the socket is in a folder of its own: no other server shares it

 private:
  PgCluster() = default;
  void Start();
  std::vector<std::string> AsServerUser(std::vector<std::string> argv) const;
  std::string bin_;
  std::unique_ptr<TempDir> dir_;
  bool started_ = false;
  int databases_ = 0;
};

}  // namespace mivo::test
