// CDaoWorkspace, CDaoDatabase and CDaoTableDef: the default workspace with its transaction over every open
// database, opening databases and table definitions.
#include <algorithm>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {
namespace {

struct DefaultWorkspace {
  std::vector<CDaoDatabase*> databases;  // open databases, in the order they were opened
  bool transaction = false;
};

DefaultWorkspace& Workspace() {
  static DefaultWorkspace workspace;
  return workspace;
}

void Begin(const Connection& conn) {
  conn.Exec(conn.read_only() ? "BEGIN" : "BEGIN IMMEDIATE", CString(), Access::kWrite);
}

}  // namespace

void JoinWorkspace(CDaoDatabase* db) {
  DefaultWorkspace& ws = Workspace();
  if (ws.transaction) Begin(*db->GetConnection());
  ws.databases.push_back(db);
}

void LeaveWorkspace(CDaoDatabase* db) {
  auto& list = Workspace().databases;
  list.erase(std::remove(list.begin(), list.end(), db), list.end());
}

bool WorkspaceInTransaction() { return Workspace().transaction; }

void WorkspaceBegin() {
  DefaultWorkspace& ws = Workspace();
  if (ws.transaction) ThrowEngine(kErrGeneric, u"A transaction is already running in the default workspace.");
  std::vector<const Connection*> begun;
  try {
    for (CDaoDatabase* db : ws.databases) {
      Begin(*db->GetConnection());
      begun.push_back(db->GetConnection());
    }
  } catch (...) {
    for (const Connection* conn : begun) sqlite3_exec(conn->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  ws.transaction = true;
}

void WorkspaceCommit() {
  DefaultWorkspace& ws = Workspace();
  if (!ws.transaction) ThrowEngine(kErrCommitWithoutBegin, u"CommitTrans without BeginTrans.");
  // A database whose COMMIT fails (locked by a reader) stays in the transaction, so that a Rollback
  // afterwards still ends it.
  for (CDaoDatabase* db : ws.databases) {
    const Connection& conn = *db->GetConnection();
    if (conn.InTransaction()) conn.Exec("COMMIT", CString(), Access::kWrite);
  }
  ws.transaction = false;
}

void WorkspaceRollback() {
  DefaultWorkspace& ws = Workspace();
  if (!ws.transaction) return;
  ws.transaction = false;
  std::optional<CDaoException> failure;
  for (CDaoDatabase* db : ws.databases) {
    const Connection& conn = *db->GetConnection();
    if (!conn.InTransaction()) continue;
    try {
      conn.Exec("ROLLBACK", CString(), Access::kWrite);
    } catch (const CDaoException& e) {
      if (!failure) failure = e;
    }
  }
  if (failure) throw *failure;
}

}  // namespace mivo::dao

using namespace mivo::dao;

// ---------------------------------------------------------------------------------------------------
// CDaoWorkspace

CDaoWorkspace::CDaoWorkspace() = default;

CDaoWorkspace::~CDaoWorkspace() {
  try {
    Close();
  } catch (const CDaoException&) {
    // A destructor cannot report; the databases end their transactions when they close.
  }
}

void CDaoWorkspace::Open(LPCWSTR lpszName) {
  if (lpszName != nullptr && *lpszName != u'\0') {
    ThrowEngine(kErrGeneric, u"Only the default workspace is available, not '" + CString(lpszName) + u"'.");
  }
  m_bOpen = true;
}

void CDaoWorkspace::Close() {
  if (!m_bOpen) return;
  m_bOpen = false;
  if (m_bBeganTrans) {
    m_bBeganTrans = false;
    WorkspaceRollback();
  }
}

void CDaoWorkspace::BeginTrans() {
  if (!m_bOpen) ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the workspace is not open.");
  WorkspaceBegin();
  m_bBeganTrans = true;
}

void CDaoWorkspace::CommitTrans() {
  if (!m_bOpen) ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the workspace is not open.");
  WorkspaceCommit();
  m_bBeganTrans = false;
}

void CDaoWorkspace::Rollback() {
  if (!m_bOpen) ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the workspace is not open.");
  m_bBeganTrans = false;
  WorkspaceRollback();
}

// ---------------------------------------------------------------------------------------------------
// CDaoDatabase

CDaoDatabase::CDaoDatabase(CDaoWorkspace* /*pWorkspace: there is only the default workspace*/) {}

CDaoDatabase::~CDaoDatabase() { Close(); }

void CDaoDatabase::Open(LPCWSTR lpszName, BOOL bExclusive, BOOL bReadOnly, LPCWSTR lpszConnect) {
  const CString name = lpszName != nullptr ? CString(lpszName) : CString();
  if (bExclusive) ThrowEngine(kErrGeneric, u"Exclusive access to '" + name + u"' is not supported.");
  if (lpszConnect != nullptr && *lpszConnect != u'\0') {
    ThrowEngine(kErrGeneric, u"Connect strings are not supported (opening '" + name + u"').");
  }
  Close();
  auto conn = Connection::Open(name, bReadOnly != FALSE);
  m_pConnection = std::move(conn);
  m_strName = name;
  try {
    JoinWorkspace(this);
  } catch (...) {
    m_pConnection.reset();
    throw;
  }
}

void CDaoDatabase::Close() {
  if (!m_pConnection) return;
  // Recordsets and table definitions first: their statements must be gone before the connection.
  std::vector<CDaoRecordset*> recordsets;
  recordsets.swap(m_Recordsets);
  for (CDaoRecordset* rs : recordsets) rs->DetachFromDatabase();
  std::vector<CDaoTableDef*> tabledefs;
  tabledefs.swap(m_TableDefs);
  for (CDaoTableDef* td : tabledefs) {
    td->m_bOpen = false;
    td->m_pAttachedTo = nullptr;
  }
  std::vector<CDaoQueryDef*> querydefs;
  querydefs.swap(m_QueryDefs);
  for (CDaoQueryDef* qd : querydefs) {
    qd->m_pStatement.reset();
    qd->m_pAttachedTo = nullptr;
  }
  LeaveWorkspace(this);
  m_pConnection.reset();  // closing ends this database's part of a running transaction without its changes
}

BOOL CDaoDatabase::CanUpdate() const { return m_pConnection && !m_pConnection->read_only() ? TRUE : FALSE; }

void CDaoDatabase::Attach(CDaoRecordset* rs) { m_Recordsets.push_back(rs); }

void CDaoDatabase::Detach(CDaoRecordset* rs) {
  m_Recordsets.erase(std::remove(m_Recordsets.begin(), m_Recordsets.end(), rs), m_Recordsets.end());
}

void CDaoDatabase::Attach(CDaoTableDef* td) { m_TableDefs.push_back(td); }

void CDaoDatabase::Detach(CDaoTableDef* td) {
  m_TableDefs.erase(std::remove(m_TableDefs.begin(), m_TableDefs.end(), td), m_TableDefs.end());
}

// ---------------------------------------------------------------------------------------------------
// CDaoTableDef

CDaoTableDef::CDaoTableDef(CDaoDatabase* pDatabase) : m_pDatabase(pDatabase) {}

CDaoTableDef::~CDaoTableDef() { Close(); }

void CDaoTableDef::Open(LPCWSTR lpszName) {
  Close();
  const CString name = lpszName != nullptr ? CString(lpszName) : CString();
  if (m_pDatabase == nullptr || !m_pDatabase->IsOpen()) {
    ThrowEngine(kErrObjectClosed,
                u"Object invalid or no longer set: the database of table '" + name + u"' is not open.");
  }
  std::string realName;
  if (!m_pDatabase->GetConnection()->FindTable(AfxToUtf8(StripBrackets(name)), false, &realName)) {
    ThrowEngine(kErrObjectNotFound,
                u"Could not find table '" + name + u"' in '" + m_pDatabase->GetName() + u"'.");
  }
  m_strName = AfxFromUtf8(realName);
  m_bOpen = true;
  m_pAttachedTo = m_pDatabase;
  m_pAttachedTo->Attach(this);
}

void CDaoTableDef::Close() {
  m_bOpen = false;
  if (m_pAttachedTo != nullptr) {
    m_pAttachedTo->Detach(this);
    m_pAttachedTo = nullptr;
  }
}

// ---------------------------------------------------------------------------------------------------
// CDaoDatabase::Execute and CDaoQueryDef

namespace {

void RequireOpenDatabase(const CDaoDatabase* db, const CString& what) {
  if (db == nullptr || !db->IsOpen()) {
    ThrowEngine(kErrObjectClosed,
                u"Object invalid or no longer set: the database for '" + what + u"' is not open.");
  }
}

// Runs a prepared statement to its end; the number of rows it changed.
long RunToEnd(const Connection& conn, sqlite3_stmt* stmt, const CString& object) {
  while (conn.Step(stmt, object, Access::kWrite)) {
  }
  return static_cast<long>(sqlite3_changes(conn.handle()));
}

}  // namespace

void CDaoDatabase::Execute(LPCWSTR lpszSQL, int /*nOptions: failures always throw*/) {
  const CString sql = lpszSQL != nullptr ? CString(lpszSQL) : CString();
  RequireOpenDatabase(this, sql);
  const std::string utf8 = AfxToUtf8(sql);
  std::string_view rest = utf8;
  m_nRecordsAffected = 0;
  while (!rest.empty()) {
    const char* tail = nullptr;
    Stmt stmt = m_pConnection->Prepare(rest, sql, Access::kWrite, &tail);
    rest.remove_prefix(tail != nullptr ? static_cast<std::size_t>(tail - rest.data()) : rest.size());
    if (!stmt) continue;
    if (sqlite3_bind_parameter_count(stmt.get()) > 0) {
      const char* name = sqlite3_bind_parameter_name(stmt.get(), 1);
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter '" +
                                        AfxFromUtf8(name != nullptr ? name : "?") + u"' of '" + sql +
                                        u"' has no value (use a query definition).");
    }
    m_nRecordsAffected = RunToEnd(*m_pConnection, stmt.get(), sql);
  }
}

long CDaoDatabase::GetRecordsAffected() const { return m_nRecordsAffected; }

void CDaoDatabase::Attach(CDaoQueryDef* qd) { m_QueryDefs.push_back(qd); }

void CDaoDatabase::Detach(CDaoQueryDef* qd) {
  m_QueryDefs.erase(std::remove(m_QueryDefs.begin(), m_QueryDefs.end(), qd), m_QueryDefs.end());
}

CDaoQueryDef::CDaoQueryDef(CDaoDatabase* pDatabase) : m_pDatabase(pDatabase) {}

CDaoQueryDef::~CDaoQueryDef() { Close(); }

void CDaoQueryDef::Create(LPCWSTR lpszName, LPCWSTR lpszSQL) {
  Close();
  const CString sql = lpszSQL != nullptr ? CString(lpszSQL) : CString();
  if (lpszName != nullptr && *lpszName != u'\0') {
    ThrowEngine(kErrGeneric, u"Stored query definitions are not supported ('" + CString(lpszName) + u"').");
  }
  RequireOpenDatabase(m_pDatabase, sql);
  const Connection& conn = *m_pDatabase->GetConnection();
  const std::string utf8 = AfxToUtf8(sql);
  const char* tail = nullptr;
  Stmt stmt = conn.Prepare(utf8, sql, Access::kWrite, &tail);
  bool one = stmt != nullptr;
  if (one && tail != nullptr && *tail != '\0') {
    sqlite3_stmt* next = nullptr;
    if (sqlite3_prepare_v2(conn.handle(), tail, -1, &next, nullptr) != SQLITE_OK || next != nullptr)
      one = false;
    sqlite3_finalize(next);
  }
  if (!one) ThrowEngine(kErrGeneric, u"The query definition '" + sql + u"' is not one SQL statement.");
  auto statement = std::make_unique<Statement>();
  statement->set.assign(sqlite3_bind_parameter_count(stmt.get()) + 1, false);
  statement->stmt = std::move(stmt);
  m_pStatement = std::move(statement);
  m_strSQL = sql;
  m_nRecordsAffected = 0;
  m_pAttachedTo = m_pDatabase;
  m_pAttachedTo->Attach(this);
}

void CDaoQueryDef::Close() {
  m_pStatement.reset();
  if (m_pAttachedTo != nullptr) {
    m_pAttachedTo->Detach(this);
    m_pAttachedTo = nullptr;
  }
}

void CDaoQueryDef::SetParamValue(LPCWSTR lpszName, const COleVariant& varValue) {
  const CString name = StripBrackets(lpszName != nullptr ? CString(lpszName) : CString());
  if (!m_pStatement)
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the query definition is closed.");
  sqlite3_stmt* stmt = m_pStatement->stmt.get();
  const std::string wanted = AfxToUtf8(name);
  bool matched = false;
  for (int i = 1; i < static_cast<int>(m_pStatement->set.size()); ++i) {
    const char* have = sqlite3_bind_parameter_name(stmt, i);
    if (have == nullptr || *have != ':' || !SameName(have + 1, wanted)) continue;
    BindValue(stmt, i, varValue);
    m_pStatement->set[i] = true;
    matched = true;
  }
  if (!matched) {
    ThrowEngine(kErrItemNotFound,
                u"Item not found in this collection: '" + m_strSQL + u"' has no parameter '" + name + u"'.");
  }
}

void CDaoQueryDef::Execute(int /*nOptions: failures always throw*/) {
  if (!m_pStatement)
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the query definition is closed.");
  sqlite3_stmt* stmt = m_pStatement->stmt.get();
  for (int i = 1; i < static_cast<int>(m_pStatement->set.size()); ++i) {
    if (m_pStatement->set[i]) continue;
    const char* have = sqlite3_bind_parameter_name(stmt, i);
    ThrowEngine(kErrItemNotFound,
                u"Item not found in this collection: the parameter '" +
                    AfxFromUtf8(have != nullptr ? (have[0] == ':' ? have + 1 : have) : "?") + u"' of '" +
                    m_strSQL + u"' was not given.");
  }
  m_nRecordsAffected = RunToEnd(*m_pDatabase->GetConnection(), stmt, m_strSQL);
}
