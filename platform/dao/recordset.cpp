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
  source_ = source;
  bool own = false;
  if (m_pDatabase == nullptr) {
    auto db = std::make_unique<CDaoDatabase>();
    db->Open(GetDefaultDBName().c_str(), FALSE, FALSE, u"");
    ownDatabase_ = std::move(db);
    m_pDatabase = ownDatabase_.get();
    own = true;
  } else if (!m_pDatabase->IsOpen()) {
    ThrowEngine(kErrObjectClosed, u"Object invalid or no longer set: the database of the recordset on '" +
                                      source + u"' is not open.");
  }
  try {
    CDaoFieldExchange fx(CDaoFieldExchange::BindField);
    DoFieldExchange(&fx);
    const Connection& conn = *m_pDatabase->connection();
    if (nOpenType == dbOpenTable) {
      if (!fx.params.empty()) {
        ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the table '" +
                                          StripBrackets(source) + u"' has no parameter '" +
                                          StripBrackets(fx.params.front().name) + u"'.");
      }
      cursor_ = OpenTableCursor(conn, StripBrackets(source), fx.fields);
    } else {
      const CString query = fromTableDef ? u"[" + source + u"]" : source;
      cursor_ = OpenQueryCursor(conn, query, fx.fields, fx.params);
    }
  } catch (...) {
    if (own) {
      m_pDatabase = nullptr;
      ownDatabase_.reset();
    }
    throw;
  }
  attachedTo_ = m_pDatabase;
  attachedTo_->Attach(this);
}

void CDaoRecordset::Close() {
  cursor_.reset();
  if (attachedTo_ != nullptr) {
    attachedTo_->Detach(this);
    attachedTo_ = nullptr;
  }
  if (ownDatabase_) {
    ownDatabase_.reset();
    m_pDatabase = nullptr;
  }
}

void CDaoRecordset::DetachFromDatabase() {
  cursor_.reset();
  attachedTo_ = nullptr;
}

BOOL CDaoRecordset::IsOpen() const { return cursor_ != nullptr ? TRUE : FALSE; }

void CDaoRecordset::RequireOpen() const {
  if (!cursor_) {
    ThrowEngine(kErrObjectClosed,
                u"Object invalid or no longer set: the recordset on '" + source_ + u"' is closed.");
  }
}

BOOL CDaoRecordset::IsBOF() const {
  RequireOpen();
  return cursor_->bof() ? TRUE : FALSE;
}

BOOL CDaoRecordset::IsEOF() const {
  RequireOpen();
  return cursor_->eof() ? TRUE : FALSE;
}

void CDaoRecordset::MoveFirst() {
  RequireOpen();
  cursor_->MoveFirst();
}

void CDaoRecordset::MoveNext() {
  RequireOpen();
  cursor_->MoveNext();
}

COleVariant CDaoRecordset::GetFieldValue(int nIndex) {
  RequireOpen();
  return cursor_->GetFieldValue(nIndex);
}

void CDaoRecordset::SetFieldValue(int nIndex, const COleVariant& varValue) {
  RequireOpen();
  cursor_->SetFieldValue(nIndex, varValue);
}

short CDaoRecordset::GetFieldCount() const {
  RequireOpen();
  return static_cast<short>(cursor_->FieldCount());
}

BOOL CDaoRecordset::CanAppend() const {
  RequireOpen();
  return cursor_->CanAppend() ? TRUE : FALSE;
}

BOOL CDaoRecordset::CanUpdate() const {
  RequireOpen();
  return cursor_->CanUpdate() ? TRUE : FALSE;
}

void CDaoRecordset::AddNew() {
  RequireOpen();
  cursor_->AddNew();
}

void CDaoRecordset::Edit() {
  RequireOpen();
  cursor_->Edit();
}

void CDaoRecordset::Update() {
  RequireOpen();
  cursor_->Update();
}

void CDaoRecordset::CancelUpdate() {
  RequireOpen();
  cursor_->CancelUpdate();
}

CString CDaoRecordset::GetDefaultDBName() { return CString(); }

CString CDaoRecordset::GetDefaultSQL() { return CString(); }

void CDaoRecordset::DoFieldExchange(CDaoFieldExchange* /*pFX*/) {}

namespace {

std::vector<CDaoFieldExchange::Binding>& ListFor(CDaoFieldExchange* pFX) {
  return pFX->m_nFieldType == CDaoFieldExchange::param ? pFX->params : pFX->fields;
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
