// The engine table of the Linux build: SQLite (the default for every name that is no URI) and PostgreSQL.
#include "platform/dao/pg_internal.h"

namespace mivo::dao {

const ServerEngine& PostgresEngine() {
  static const ServerEngine engine{
      "PostgreSQL",
      [](const CString& uri, bool readOnly) -> std::unique_ptr<Connection> {
        return PgConnection::Open(uri, readOnly);
      },
      PgCreateStandardDatabase,
      PgCreateEmptyDatabase,
      PgCreateStandardIndexes,
  };
  return engine;
}

}  // namespace mivo::dao
