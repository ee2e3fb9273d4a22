#include <cstdio>

#include "platform/ole/afxdisp.h"
#include "platform/ole/server.h"

IMPLEMENT_DYNAMIC(COleObjectFactory, CCmdTarget)

namespace {

// The list is made by the first factory's construction, so it ends after every static factory.
std::vector<COleObjectFactory*>& FactoryList() {
  static std::vector<COleObjectFactory*> list;
  return list;
}

}  // namespace

CString StringFromCLSID(const CLSID& clsid) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6],
                clsid.Data4[7]);
  return AfxFromUtf8(buffer);
}

COleObjectFactory::COleObjectFactory(const CLSID& clsid, const CRuntimeClass* pRuntimeClass,
                                     BOOL bMultiInstance, LPCWSTR lpszProgID)
    : m_clsid(clsid),
      m_pRuntimeClass(pRuntimeClass),
      m_bMultiInstance(bMultiInstance),
      m_strProgID(lpszProgID ? lpszProgID : u"") {
  FactoryList().push_back(this);
}

COleObjectFactory::~COleObjectFactory() {
  Revoke();
  auto& list = FactoryList();
  std::erase(list, this);
}

const std::vector<COleObjectFactory*>& COleObjectFactory::Factories() { return FactoryList(); }

CCmdTarget* COleObjectFactory::CreateObject() {
  if (m_pRuntimeClass == nullptr || !m_pRuntimeClass->IsDerivedFrom(RUNTIME_CLASS(CCmdTarget)))
    return nullptr;
  CObject* object = m_pRuntimeClass->CreateObject();
  return object ? static_cast<CCmdTarget*>(object) : nullptr;
}

BOOL COleObjectFactory::Register() { return mivo::ole::RegisterFactory(this); }

void COleObjectFactory::Revoke() { mivo::ole::RevokeFactory(this); }

BOOL COleObjectFactory::IsRegistered() const { return mivo::ole::IsFactoryRegistered(this) ? TRUE : FALSE; }

BOOL COleObjectFactory::RegisterAll() {
  BOOL ok = TRUE;
  for (COleObjectFactory* factory : FactoryList()) {
    if (!factory->Register()) ok = FALSE;
  }
  return ok;
}

void COleObjectFactory::RevokeAll() {
  for (COleObjectFactory* factory : FactoryList()) factory->Revoke();
}
