// No database of the Windows build is shared: SQLite files have no change feed.
#include "platform/dao/changes.h"

std::unique_ptr<CDaoChangeFeed> CDaoChangeFeed::Open(const CString&) { return nullptr; }
