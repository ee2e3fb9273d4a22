// CDaoWorkspace, CDaoDatabase and CDaoTableDef: the default workspace with its transaction over every open
// database, opening databases and table definitions.
#include <algorithm>

#include "platform/dao/sqlite_internal.h"

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

void Begin(Connection& conn) { conn.Begin(); }

}  // namespace

std::unique_ptr<Connection> OpenConnection(const CString& name, bool readOnly) {
  if (EngineOfName(AfxToUtf8(name)) == Engine::kPostgres) return PostgresEngine().open(name, readOnly);
  return SqliteConnection::Open(name, readOnly);
}

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
  std::vector<Connection*> begun;
  try {
    for (CDaoDatabase* db : ws.databases) {
      Begin(*db->GetConnection());
      begun.push_back(db->GetConnection());
    }
  } catch (...) {
    for (Connection* conn : begun) {
      try {
        conn->Rollback();
      } catch (const CDaoException&) {
        // The failure that ended the loop is the one to report; closing ends the rest.
      }
    }
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
    Connection& conn = *db->GetConnection();
    if (conn.InTransaction()) conn.Commit();
  }
  ws.transaction = false;
}

void WorkspaceRollback() {
  DefaultWorkspace& ws = Workspace();
  if (!ws.transaction) return;
  ws.transaction = false;
  std::optional<CDaoException> failure;
  for (CDaoDatabase* db : ws.databases) {
    Connection& conn = *db->GetConnection();
    if (!conn.InTransaction()) continue;
    try {
      conn.Rollback();
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
  auto conn = OpenConnection(name, bReadOnly != FALSE);
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

}  // namespace

void CDaoDatabase::Execute(LPCWSTR lpszSQL, int /*nOptions: failures always throw*/) {
  const CString sql = lpszSQL != nullptr ? CString(lpszSQL) : CString();
  RequireOpenDatabase(this, sql);
  m_nRecordsAffected = 0;
  m_pConnection->Execute(sql, &m_nRecordsAffected);
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
  m_pStatement = m_pDatabase->GetConnection()->Prepare(sql);
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
  const bool matched = m_pStatement->SetParam(AfxToUtf8(name), varValue);
  if (!matched) {
    ThrowEngine(kErrItemNotFound,
                u"Item not found in this collection: '" + m_strSQL + u"' has no parameter '" + name + u"'.");
  }
}

void CDaoQueryDef::Execute(int /*nOptions: failures always throw*/) {
  if (!m_pStatement)
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the query definition is closed.");
  m_nRecordsAffected = m_pStatement->Run(m_strSQL);
}
