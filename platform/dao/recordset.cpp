// CDaoRecordset and the DFX binding functions.
#include "platform/dao/dao_internal.h"

using namespace mivo::dao;

IMPLEMENT_DYNAMIC(CDaoRecordset, CObject)

CDaoRecordset::CDaoRecordset(CDaoDatabase* pDatabase) : m_pDatabase(pDatabase) {}

CDaoRecordset::~CDaoRecordset() { Close(); }

void CDaoRecordset::Open(int nOpenType, LPCWSTR lpszSQL, int /*nOptions*/) {
  Close();
  const CString source = lpszSQL != nullptr ? CString(lpszSQL) : GetDefaultSQL();
  OpenCursor(nOpenType == AFX_DAO_USE_DEFAULT_TYPE ? m_nDefaultType : nOpenType, source, false);
}

void CDaoRecordset::Open(CDaoTableDef* pTableDef, int nOpenType, int /*nOptions: dbAppendOnly still reads*/) {
  Close();
  if (pTableDef == nullptr || !pTableDef->IsOpen()) {
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the table definition is not open.");
  }
  m_pDatabase = pTableDef->m_pDatabase;
  OpenCursor(nOpenType == AFX_DAO_USE_DEFAULT_TYPE ? dbOpenTable : nOpenType, pTableDef->GetName(), true);
}

void CDaoRecordset::OpenCursor(int nOpenType, const CString& source, bool fromTableDef) {
  m_strSource = source;
  bool own = false;
  if (m_pDatabase == nullptr) {
    auto db = std::make_unique<CDaoDatabase>();
    db->Open(GetDefaultDBName().c_str(), FALSE, FALSE, u"");
    m_pOwnDatabase = std::move(db);
    m_pDatabase = m_pOwnDatabase.get();
    own = true;
  } else if (!m_pDatabase->IsOpen()) {
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the database of the recordset on '" +
                                      source + u"' is not open.");
  }
  try {
    CDaoFieldExchange fx(CDaoFieldExchange::BindField);
    DoFieldExchange(&fx);
    const Connection& conn = *m_pDatabase->GetConnection();
    if (nOpenType == dbOpenTable) {
      if (!fx.m_Params.empty()) {
        ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the table '" +
                                          StripBrackets(source) + u"' has no parameter '" +
                                          StripBrackets(fx.m_Params.front().name) + u"'.");
      }
      m_pCursor = conn.OpenTable(StripBrackets(source), fx.m_Fields, m_strFilter);
    } else {
      const CString query = fromTableDef ? u"[" + source + u"]" : source;
      m_pCursor = conn.OpenQuery(query, fx.m_Fields, fx.m_Params, m_strFilter);
    }
  } catch (...) {
    if (own) {
      m_pDatabase = nullptr;
      m_pOwnDatabase.reset();
    }
    throw;
  }
  m_pAttachedTo = m_pDatabase;
  m_pAttachedTo->Attach(this);
}

void CDaoRecordset::Close() {
  m_pCursor.reset();
  if (m_pAttachedTo != nullptr) {
    m_pAttachedTo->Detach(this);
    m_pAttachedTo = nullptr;
  }
  if (m_pOwnDatabase) {
    m_pOwnDatabase.reset();
    m_pDatabase = nullptr;
  }
}

void CDaoRecordset::DetachFromDatabase() {
  m_pCursor.reset();
  m_pAttachedTo = nullptr;
}

BOOL CDaoRecordset::IsOpen() const { return m_pCursor != nullptr ? TRUE : FALSE; }

void CDaoRecordset::RequireOpen() const {
  if (!m_pCursor) {
    ThrowEngine(kErrObjectClosed,
                u"Object invalid or no longer set: the recordset on '" + m_strSource + u"' is closed.");
  }
}

BOOL CDaoRecordset::IsBOF() const {
  RequireOpen();
  return m_pCursor->bof() ? TRUE : FALSE;
}

BOOL CDaoRecordset::IsEOF() const {
  RequireOpen();
  return m_pCursor->eof() ? TRUE : FALSE;
}

void CDaoRecordset::MoveFirst() {
  RequireOpen();
  m_pCursor->MoveFirst();
}

void CDaoRecordset::MoveNext() {
  RequireOpen();
  m_pCursor->MoveNext();
}

COleVariant CDaoRecordset::GetBookmark() {
  RequireOpen();
  return m_pCursor->GetBookmark();
}

void CDaoRecordset::SetBookmark(const COleVariant& varBookmark) {
  RequireOpen();
  m_pCursor->SetBookmark(varBookmark);
}

COleVariant CDaoRecordset::GetFieldValue(int nIndex) {
  RequireOpen();
  return m_pCursor->GetFieldValue(nIndex);
}

void CDaoRecordset::SetFieldValue(int nIndex, const COleVariant& varValue) {
  RequireOpen();
  m_pCursor->SetFieldValue(nIndex, varValue);
}

short CDaoRecordset::GetFieldCount() const {
  RequireOpen();
  return static_cast<short>(m_pCursor->FieldCount());
}

void CDaoRecordset::GetFieldInfo(int nIndex, CDaoFieldInfo& fieldinfo) const {
  RequireOpen();
  if (nIndex < 0 || nIndex >= m_pCursor->FieldCount()) {
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: '" + m_strSource +
                                      u"' has no column at position " + AfxFromUtf8(std::to_string(nIndex)) +
                                      u".");
  }
  fieldinfo.m_strName = m_pCursor->FieldName(nIndex);
}

BOOL CDaoRecordset::CanAppend() const {
  RequireOpen();
  return m_pCursor->CanAppend() ? TRUE : FALSE;
}

BOOL CDaoRecordset::CanUpdate() const {
  RequireOpen();
  return m_pCursor->CanUpdate() ? TRUE : FALSE;
}

void CDaoRecordset::AddNew() {
  RequireOpen();
  m_pCursor->AddNew();
}

void CDaoRecordset::Edit() {
  RequireOpen();
  m_pCursor->Edit();
}

void CDaoRecordset::Update() {
  RequireOpen();
  m_pCursor->Update();
}

void CDaoRecordset::CancelUpdate() {
  RequireOpen();
  m_pCursor->CancelUpdate();
}

CString CDaoRecordset::GetDefaultDBName() { return CString(); }

CString CDaoRecordset::GetDefaultSQL() { return CString(); }

void CDaoRecordset::DoFieldExchange(CDaoFieldExchange* /*pFX*/) {}

namespace {

std::vector<CDaoFieldExchange::Binding>& ListFor(CDaoFieldExchange* pFX) {
  return pFX->m_nFieldType == CDaoFieldExchange::param ? pFX->m_Params : pFX->m_Fields;
}

}  // namespace

void DFX_Text(CDaoFieldExchange* pFX, LPCWSTR lpszName, CString& value, int nPreAllocSize,
              DWORD /*dwBindOptions*/) {
  if (pFX == nullptr) return;
  if (nPreAllocSize > 0 && pFX->m_nFieldType == CDaoFieldExchange::outputColumn) {
    value.reserve(static_cast<std::size_t>(nPreAllocSize));
  }
  ListFor(pFX).push_back({lpszName != nullptr ? CString(lpszName) : CString(), &value, nullptr});
}

void DFX_Short(CDaoFieldExchange* pFX, LPCWSTR lpszName, short& value, DWORD /*dwBindOptions*/) {
  if (pFX == nullptr) return;
  ListFor(pFX).push_back({lpszName != nullptr ? CString(lpszName) : CString(), nullptr, &value});
}
