// The engine table of the Windows build: SQLite only. A PostgreSQL URI is refused.
#include "platform/dao/dao_internal.h"

namespace mivo::dao {

const ServerEngine& PostgresEngine() {
  ThrowEngine(kErrGeneric,
              u"This build of MivoDB has no PostgreSQL engine: it opens SQLite database files only.");
}

}  // namespace mivo::dao
