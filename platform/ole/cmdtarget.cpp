#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <set>

#include "platform/ole/afxdisp.h"
#include "platform/ole/server.h"

IMPLEMENT_DYNAMIC(CCmdTarget, CObject)

const AFX_DISPMAP CCmdTarget::dispatchMap = {nullptr, nullptr, 0};

namespace {

bool NameEquals(const char* member, const CString& name) {
  std::size_t i = 0;
  for (; member[i] != '\0'; ++i) {
    if (i >= name.size()) return false;
    char16_t a = static_cast<unsigned char>(member[i]);
    char16_t b = name[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  return i == name.size();
}

std::atomic<LONG> g_lock_count{0};

}  // namespace

DWORD CCmdTarget::ExternalRelease() {
  if (m_dwRef == 0) return 0;
  const DWORD left = --m_dwRef;
  if (left == 0) OnFinalRelease();  // may delete this
  return left;
}

void CCmdTarget::OnFinalRelease() { delete this; }

const AFX_DISPMAP* CCmdTarget::GetDispatchMap() const { return &CCmdTarget::dispatchMap; }

std::vector<const AFX_DISPMAP_ENTRY*> CCmdTarget::DispEntriesOf(const AFX_DISPMAP* map) {
  std::vector<const AFX_DISPMAP_ENTRY*> entries;
  std::set<DISPID> seen;
  for (; map != nullptr; map = map->pBaseMap) {
    for (std::size_t i = 0; i < map->nEntries; ++i) {
      if (seen.insert(map->lpEntries[i].lDispID).second) entries.push_back(&map->lpEntries[i]);
    }
  }
  return entries;
}

const AFX_DISPMAP_ENTRY* CCmdTarget::FindDispEntryByName(const AFX_DISPMAP* map, const char* name) {
  // Walks the chain without building DispEntriesOf (a call of every typed method asks): a base entry
  // counts only when no map before it has its DISPID.
  for (const AFX_DISPMAP* m = map; m != nullptr; m = m->pBaseMap) {
    for (std::size_t i = 0; i < m->nEntries; ++i) {
      const AFX_DISPMAP_ENTRY& entry = m->lpEntries[i];
      if (std::strcmp(entry.lpszName, name) != 0) continue;
      bool hidden = false;
      for (const AFX_DISPMAP* d = map; d != m && !hidden; d = d->pBaseMap) {
        for (std::size_t k = 0; k < d->nEntries && !hidden; ++k)
          hidden = d->lpEntries[k].lDispID == entry.lDispID;
      }
      if (!hidden) return &entry;
    }
  }
  return nullptr;
}

const AFX_DISPMAP_ENTRY* CCmdTarget::FindDispEntry(DISPID dispid) const {
  for (const AFX_DISPMAP* map = GetDispatchMap(); map != nullptr; map = map->pBaseMap) {
    for (std::size_t i = 0; i < map->nEntries; ++i) {
      if (map->lpEntries[i].lDispID == dispid) return &map->lpEntries[i];
    }
  }
  return nullptr;
}

HRESULT CCmdTarget::GetIDsOfNames(const std::vector<CString>& rgszNames,
                                  std::vector<DISPID>& rgDispId) const {
  rgDispId.assign(rgszNames.size(), DISPID_UNKNOWN);
  if (rgszNames.empty()) return DISP_E_UNKNOWNNAME;
  bool found = false;
  if (m_bAutomationEnabled) {
    for (const AFX_DISPMAP_ENTRY* entry : GetDispEntries()) {
      if (NameEquals(entry->lpszName, rgszNames[0])) {
        rgDispId[0] = entry->lDispID;
        found = true;
        break;
      }
    }
  }
  // No member has named parameters: every further name is unknown.
  return found && rgszNames.size() == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT CCmdTarget::Invoke(DISPID dispid, std::vector<VARIANT>& args, VARIANT* pVarResult,
                           EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  const AFX_DISPMAP_ENTRY* entry = m_bAutomationEnabled ? FindDispEntry(dispid) : nullptr;
  if (entry == nullptr) return DISP_E_MEMBERNOTFOUND;
  const std::string_view params(entry->lpvtParams);
  if (args.size() != params.size()) return DISP_E_BADPARAMCOUNT;
  std::vector<VARIANT> converted(args.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const auto declared = static_cast<unsigned char>(params[i]);
    HRESULT hr = S_OK;
    if ((declared & VT_MFCBYREF) != 0) {
      const VARTYPE wanted = static_cast<VARTYPE>((declared & ~VT_MFCBYREF) | VT_BYREF);
      if (args[i].vt == wanted && args[i].pbstrVal != nullptr) {
        converted[i] = args[i];
      } else {
        hr = DISP_E_TYPEMISMATCH;
      }
    } else {
      hr = VariantChangeType(&converted[i], &args[i], 0, declared);
    }
    if (FAILED(hr)) {
      if (puArgErr) *puArgErr = static_cast<UINT>(i);
      return hr;
    }
  }
  VARIANT result;
  try {
    entry->pfnInvoke(this, converted, &result);
  } catch (const std::exception& e) {
    if (pExcepInfo) {
      pExcepInfo->bstrSource = AfxFromUtf8(GetRuntimeClass()->m_lpszClassName);
      pExcepInfo->bstrDescription = AfxFromUtf8(e.what());
      pExcepInfo->scode = dynamic_cast<const std::bad_alloc*>(&e) ? E_OUTOFMEMORY : E_FAIL;
    }
    return DISP_E_EXCEPTION;
  } catch (...) {
    if (pExcepInfo) {
      pExcepInfo->bstrSource = AfxFromUtf8(GetRuntimeClass()->m_lpszClassName);
      pExcepInfo->bstrDescription = u"Unknown exception in " + AfxFromUtf8(entry->lpszName);
      pExcepInfo->scode = E_FAIL;
    }
    return DISP_E_EXCEPTION;
  }
  if (pVarResult) *pVarResult = std::move(result);
  return S_OK;
}

// ---- The lock count ------------------------------------------------------------------------------------

void AfxOleLockApp() {
  ++g_lock_count;
  mivo::ole::OnLockCountChanged();
}

void AfxOleUnlockApp() {
  LONG current = g_lock_count.load();
  while (current > 0 && !g_lock_count.compare_exchange_weak(current, current - 1)) {
  }
  if (current > 0) mivo::ole::OnLockCountChanged();
}

LONG AfxOleGetLockCount() { return g_lock_count.load(); }
