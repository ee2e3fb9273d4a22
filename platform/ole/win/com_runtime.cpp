// The framework side of the COM runtime: AfxOleInit / AfxOleTerm, the factories' registrations with COM,
// and the calls of the COM side into command targets (com_bridge.h).
#include <exception>
#include <map>
#include <new>

#include "platform/afx/winapp.h"
#include "platform/ole/afxdisp.h"
#include "platform/ole/server.h"
#include "platform/ole/win/com_bridge.h"

namespace mivo::ole {
namespace {

struct ComRuntime {
  bool registration_mode = false;
  bool initialized = false;
  bool term_handler_added = false;
  std::map<const COleObjectFactory*, std::uint32_t> cookies;
};

ComRuntime& TheRuntime() {
  static ComRuntime runtime;
  return runtime;
}

VARIANT VariantOf(const com::Value& v) {
  VARIANT out;
  out.vt = v.vt;
  out.llVal = v.integer;
  out.dblVal = v.real;
  out.bstrVal = v.text;
  out.pbstrVal = v.ref;
  return out;
}

com::Value ValueOf(VARIANT&& v) {
  com::Value out;
  out.vt = v.vt;
  out.integer = v.llVal;
  out.real = v.dblVal;
  out.text = std::move(v.bstrVal);
  out.ref = v.pbstrVal;
  return out;
}

}  // namespace

// ---- The runtime (afxdisp.h) ----

BOOL OleInit(InitMode mode) {
  ComRuntime& runtime = TheRuntime();
  if (runtime.initialized || runtime.registration_mode) return TRUE;
  if (mode == InitMode::kRegistration) {
    runtime.registration_mode = true;
    return TRUE;
  }
  if (!com::Initialize()) return FALSE;
  runtime.initialized = true;
  AfxSetMessagePump([] { return RunMessageLoop(); });
  if (!runtime.term_handler_added) {
    runtime.term_handler_added = true;
    AfxAddTermHandler([] {
      AfxOleTerm();
      com::NotifyEnded();
    });
  }
  return TRUE;
}

int RunMessageLoop() { return TheRuntime().initialized ? com::RunMessageLoop() : 0; }

BOOL IsConnected() { return TheRuntime().initialized ? TRUE : FALSE; }

// ---- The factories' side (server.h) ----

void OnLockCountChanged() {}

BOOL RegisterFactory(COleObjectFactory* factory) {
  ComRuntime& runtime = TheRuntime();
  if (!runtime.initialized) return FALSE;
  if (runtime.cookies.count(factory)) return TRUE;
  const CLSID& clsid = factory->GetClassID();
  com::ClassId id;
  id.data1 = clsid.Data1;
  id.data2 = clsid.Data2;
  id.data3 = clsid.Data3;
  for (int i = 0; i < 8; ++i) id.data4[i] = clsid.Data4[i];
  std::uint32_t cookie = 0;
  if (!com::RegisterClassObject(factory, id, factory->IsMultiInstance() != FALSE, &cookie)) return FALSE;
  runtime.cookies.emplace(factory, cookie);
  return TRUE;
}

void RevokeFactory(COleObjectFactory* factory) {
  ComRuntime& runtime = TheRuntime();
  auto it = runtime.cookies.find(factory);
  if (it == runtime.cookies.end()) return;
  const std::uint32_t cookie = it->second;
  runtime.cookies.erase(it);
  com::RevokeClassObject(cookie);
}

bool IsFactoryRegistered(const COleObjectFactory* factory) { return TheRuntime().cookies.count(factory) > 0; }

// COM finds a local server through its class entries alone: they decide the result.
bool UpdateActivation(const COleObjectFactory& /*factory*/, const std::string& exe, bool bRegister,
                      bool class_entries_ok) {
  return class_entries_ok && (!bRegister || !exe.empty());
}

// ---- Calls from the COM side (com_bridge.h) ----

namespace com {

CCmdTarget* CreateObject(COleObjectFactory* factory) {
  try {
    return factory->CreateObject();
  } catch (...) {
    return nullptr;
  }
}

std::uint32_t AddRef(CCmdTarget* target) { return target->ExternalAddRef(); }

std::uint32_t Release(CCmdTarget* target) { return target->ExternalRelease(); }

std::int32_t GetIDsOfNames(const CCmdTarget* target, const std::vector<std::u16string>& names,
                           std::vector<std::int32_t>* ids) {
  std::vector<DISPID> found;
  const HRESULT hr = target->GetIDsOfNames(names, found);
  ids->assign(found.begin(), found.end());
  return hr;
}

bool FindMember(const CCmdTarget* target, std::int32_t dispid, Member* member) {
  if (!target->IsAutomationEnabled()) return false;
  const AFX_DISPMAP_ENTRY* entry = target->FindDispEntry(dispid);
  if (entry == nullptr) return false;
  member->vt_return = entry->vtReturn;
  member->params = entry->lpvtParams;
  return true;
}

std::int32_t Invoke(CCmdTarget* target, std::int32_t dispid, std::vector<Value>& args, Value* result,
                    Failure* failure) {
  try {
    std::vector<VARIANT> values;
    values.reserve(args.size());
    for (const Value& arg : args) values.push_back(VariantOf(arg));
    VARIANT out;
    EXCEPINFO info;
    UINT arg_err = 0;
    const HRESULT hr = target->Invoke(dispid, values, &out, &info, &arg_err);
    if (FAILED(hr)) {
      failure->source = std::move(info.bstrSource);
      failure->description = std::move(info.bstrDescription);
      failure->scode = info.scode;
      failure->arg = arg_err;
      return hr;
    }
    *result = ValueOf(std::move(out));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void LockApp() { AfxOleLockApp(); }

void UnlockApp() { AfxOleUnlockApp(); }

}  // namespace com
}  // namespace mivo::ole

BOOL AfxOleInit() {
  using mivo::ole::InitMode;
  return mivo::ole::OleInit(mivo::ole::IsRegistrationRun() ? InitMode::kRegistration : InitMode::kServe);
}

void AfxOleTerm() {
  using mivo::ole::TheRuntime;
  TheRuntime().registration_mode = false;
  if (!TheRuntime().initialized) return;
  COleObjectFactory::RevokeAll();
  AfxSetMessagePump({});
  TheRuntime().initialized = false;
  mivo::ole::com::Uninitialize();
}
