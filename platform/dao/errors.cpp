// CDaoException, engine errors, and the translation of SQLite result codes into them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

#include "platform/dao/sqlite_internal.h"

BOOL CDaoException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
  if (pnHelpContext != nullptr) *pnHelpContext = 0;
  if (lpszError == nullptr || nMaxError == 0) return FALSE;
  const std::size_t n = std::min<std::size_t>(m_strMessage.size(), nMaxError - 1);
  std::copy_n(m_strMessage.data(), n, lpszError);
  lpszError[n] = u'\0';
  return n == m_strMessage.size() ? TRUE : FALSE;
}

namespace mivo::dao {
namespace {

std::atomic<int> g_busyTimeoutMs{5000};

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

}  // namespace

void SetBusyTimeoutForTesting(int milliseconds) { g_busyTimeoutMs = std::max(0, milliseconds); }

int BusyTimeoutMs() { return g_busyTimeoutMs; }

void ThrowEngine(int engineError, const CString& message) {
  throw CDaoException(MakeDaoScode(engineError), message);
}

void ThrowSqlite(int rc, const std::string& detail, const CString& file, const CString& object,
                 Access access) {
  const CString what = object.empty() ? Quoted(file) : Quoted(object) + u" in " + Quoted(file);
  const CString why = AfxFromUtf8(detail);
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      if (access == Access::kWrite) {
        ThrowEngine(kErrLockedUpdate,
                    u"Could not update " + what + u": the database is locked by another user or process.");
      }
      ThrowEngine(kErrLocked,
                  u"Could not read " + what + u": the database is locked by another user or process.");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
      ThrowEngine(kErrNotADatabase, u"Unrecognized database format " + Quoted(file) +
                                        u": the file is not a database, or it is damaged (" + why + u").");
    case SQLITE_READONLY:
      ThrowEngine(kErrReadOnly, u"Cannot update " + what + u": the database is read-only (" + why + u").");
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      ThrowEngine(kErrNoPermission, u"Could not open " + Quoted(file) + u" (" + why + u").");
    case SQLITE_CONSTRAINT:
      if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE ||
          rc == SQLITE_CONSTRAINT_ROWID) {
        ThrowEngine(kErrDuplicateKey,
                    u"The change to " + what + u" was refused: it would duplicate a key (" + why + u").");
      }
      ThrowEngine(kErrGeneric, u"The change to " + what + u" was refused (" + why + u").");
    case SQLITE_ERROR: {
      static constexpr char kNoTable[] = "no such table: ";
      if (detail.rfind(kNoTable, 0) == 0) {
        std::string table = detail.substr(sizeof(kNoTable) - 1);
        if (const auto dot = table.find('.');
            dot != std::string::npos && table.compare(0, dot, "main") == 0) {
          table.erase(0, dot + 1);
        }
        CString message =
            u"Could not find table or query " + Quoted(AfxFromUtf8(table)) + u" in " + Quoted(file);
        if (!object.empty() && AfxFromUtf8(table) != object)
          message += u" (needed by " + Quoted(object) + u")";
        ThrowEngine(kErrObjectNotFound, message + u".");
      }
      break;
    }
    default:
      break;
  }
  ThrowEngine(kErrGeneric, u"Database engine error in " + what + u": " + why + u".");
}

std::string QuoteIdent(const std::string& utf8Name) {
  std::string out = "\"";
  for (char c : utf8Name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool SameName(const char* a, const std::string& b) {
  if (a == nullptr) return false;
  const std::size_t n = std::strlen(a);
  if (n != b.size()) return false;
  for (std::size_t i = 0; i < n; ++i) {
    auto lower = [](unsigned char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
    };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

CString StripBrackets(const CString& name) {
  if (name.size() >= 2 && name.front() == u'[' && name.back() == u']') return name.substr(1, name.size() - 2);
  return name;
}

std::string FilteredSql(std::string sql, const CString& filter) {
  if (filter.empty()) return sql;
  while (!sql.empty() && (sql.back() == ';' || std::isspace(static_cast<unsigned char>(sql.back())))) {
    sql.pop_back();
  }
  return "SELECT * FROM (\n" + sql + "\n) AS mivo_filtered WHERE " + AfxToUtf8(filter);
}

}  // namespace mivo::dao
