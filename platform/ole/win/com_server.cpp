// The COM side of the runtime: the class factories offered with CoRegisterClassObject, the IDispatch of
// every automation object (built from its dispatch map through com_bridge.h; no type library), and the
// single-threaded apartment with its message loop. Arguments are converted with the system's
// VariantChangeType; texts are real BSTRs.
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/ole/win/com_bridge.h"

namespace mivo::ole::com {
namespace {

// In a member's parameter types, the bit of a by-reference parameter.
constexpr unsigned char kByRef = 0x40;

const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

// A new BSTR holding `text` (null for a null text); null also when memory is short.
BSTR AllocText(const Text& text) {
  if (!text) return nullptr;
  return SysAllocStringLen(Wide(text->data()), static_cast<UINT>(text->size()));
}

Text TextOf(BSTR b) {
  if (b == nullptr) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b));
}

// A VARIANT cleared at the end of its scope.
struct ScopedVariant {
  ScopedVariant() { VariantInit(&v); }
  ~ScopedVariant() { VariantClear(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT v;
};

// A VARIANT of a declared by-value type as the framework side takes it.
Value ValueOf(const VARIANT& v) {
  Value out;
  out.vt = v.vt;
  switch (v.vt) {
    case VT_I2:
      out.integer = v.iVal;
      break;
    case VT_I4:
      out.integer = v.lVal;
      break;
    case VT_BOOL:
      out.integer = v.boolVal != VARIANT_FALSE ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_R8:
      out.real = v.dblVal;
      break;
    case VT_DATE:
      out.real = v.date;
      break;
    case VT_BSTR:
      out.text = TextOf(v.bstrVal);
      break;
    default:
      break;
  }
  return out;
}

// Fills *out (not yet holding anything) with a result; E_OUTOFMEMORY when its BSTR cannot be made.
HRESULT SetResult(const Value& value, VARIANT* out) {
  VariantInit(out);
  switch (value.vt) {
    case VT_I2:
      out->iVal = static_cast<SHORT>(value.integer);
      break;
    case VT_I4:
      out->lVal = static_cast<LONG>(value.integer);
      break;
    case VT_BOOL:
      out->boolVal = value.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_R8:
      out->dblVal = value.real;
      break;
    case VT_DATE:
      out->date = value.real;
      break;
    case VT_BSTR:
      out->bstrVal = AllocText(value.text);
      if (value.text && out->bstrVal == nullptr) return E_OUTOFMEMORY;
      break;
    default:
      return S_OK;  // no result: VT_EMPTY
  }
  out->vt = value.vt;
  return S_OK;
}

// The caller's BSTR storage of a by-reference text argument: VT_BSTR|VT_BYREF, or (as script engines pass
// their variables) VT_VARIANT|VT_BYREF pointing at a VARIANT that holds a BSTR. Null for anything else.
BSTR* ByRefText(const VARIANT& arg) {
  if (arg.vt == (VT_BSTR | VT_BYREF)) return arg.pbstrVal;
  if (arg.vt == (VT_VARIANT | VT_BYREF) && arg.pvarVal != nullptr) {
    VARIANT* inner = arg.pvarVal;
    if (inner->vt == VT_BSTR) return &inner->bstrVal;
    if (inner->vt == (VT_BSTR | VT_BYREF)) return inner->pbstrVal;
  }
  return nullptr;
}

// The IDispatch of one automation object. Its reference count is the target's (ExternalAddRef /
// ExternalRelease); the last release ends both.
class Dispatch final : public IDispatch {
 public:
  explicit Dispatch(CCmdTarget* target) : target_(target) {}
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return com::AddRef(target_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = com::Release(target_);
    if (left == 0) delete this;
    return left;
  }

  // The object has no type information.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID /*lcid*/, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    return iTInfo != 0 ? DISP_E_BADINDEX : E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID /*lcid*/,
                                          DISPID* rgDispId) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (cNames > 0 && (rgszNames == nullptr || rgDispId == nullptr)) return E_POINTER;
    try {
      std::vector<std::u16string> names;
      for (UINT i = 0; i < cNames; ++i) {
        const wchar_t* name = rgszNames[i] ? rgszNames[i] : L"";
        names.emplace_back(reinterpret_cast<const char16_t*>(name), std::wcslen(name));
      }
      std::vector<std::int32_t> ids;
      const HRESULT hr = com::GetIDsOfNames(target_, names, &ids);
      for (UINT i = 0; i < cNames; ++i) rgDispId[i] = i < ids.size() ? ids[i] : DISPID_UNKNOWN;
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  // DISPATCH_METHOD and DISPATCH_PROPERTYGET (script engines call methods that way) only. rgvarg holds the
  // arguments last one first; *puArgErr counts in it.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID /*lcid*/, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    try {
      return Call(dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  HRESULT Call(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
               UINT* arg_err) {
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
    Member member;
    if (!FindMember(target_, dispid, &member)) return DISP_E_MEMBERNOTFOUND;
    if (params != nullptr && params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    const UINT count = params ? params->cArgs : 0;
    if (count != member.params.size()) return DISP_E_BADPARAMCOUNT;
    if (count > 0 && params->rgvarg == nullptr) return E_POINTER;
    auto position = [count](std::size_t declared_index) {
      return count - 1 - static_cast<UINT>(declared_index);
    };

    std::vector<Value> args(count);
    std::vector<Text> storage(count);  // the by-reference texts during the call (never reallocated)
    std::vector<BSTR*> by_ref(count, nullptr);
    for (UINT i = 0; i < count; ++i) {
      VARIANT& arg = params->rgvarg[position(i)];
      const auto declared = static_cast<unsigned char>(member.params[i]);
      HRESULT hr = S_OK;
      if ((declared & kByRef) != 0) {
        by_ref[i] = ByRefText(arg);
        if (by_ref[i] == nullptr) {
          hr = DISP_E_TYPEMISMATCH;
        } else {
          storage[i] = TextOf(*by_ref[i]);
          args[i].vt = VT_BSTR | VT_BYREF;
          args[i].ref = &storage[i];
        }
      } else if (arg.vt == declared) {
        args[i] = ValueOf(arg);  // as it is: a null BSTR stays null
      } else {
        ScopedVariant converted;
        hr = VariantChangeType(&converted.v, &arg, 0, declared);
        if (SUCCEEDED(hr)) args[i] = ValueOf(converted.v);
      }
      if (FAILED(hr)) {
        if (arg_err) *arg_err = position(i);
        return hr;
      }
    }

    Value out;
    Failure failure;
    const HRESULT hr = com::Invoke(target_, dispid, args, &out, &failure);
    if (hr == DISP_E_EXCEPTION) {
      if (excep) {
        std::memset(excep, 0, sizeof *excep);
        excep->bstrSource = AllocText(failure.source);
        excep->bstrDescription = AllocText(failure.description);
        excep->scode = failure.scode;
      }
      return hr;
    }
    if (FAILED(hr)) {
      if (arg_err && failure.arg < count) *arg_err = position(failure.arg);
      return hr;
    }
    // The call succeeded: every by-reference text is replaced in the caller's storage.
    for (UINT i = 0; i < count; ++i) {
      if (by_ref[i] == nullptr) continue;
      BSTR replacement = AllocText(storage[i]);
      if (storage[i] && replacement == nullptr) return E_OUTOFMEMORY;
      SysFreeString(*by_ref[i]);
      *by_ref[i] = replacement;
    }
    return result ? SetResult(out, result) : S_OK;
  }

  CCmdTarget* target_;
};

// The class object of one factory. It holds its own reference count (COM holds it while registered);
// LockServer counts in the framework's lock count.
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(COleObjectFactory* factory) : factory_(factory) {}
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    CCmdTarget* target = com::CreateObject(factory_);
    if (target == nullptr) return E_OUTOFMEMORY;
    auto* dispatch = new (std::nothrow) Dispatch(target);
    if (dispatch == nullptr) {
      com::Release(target);
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = dispatch->QueryInterface(riid, ppvObject);
    dispatch->Release();  // the creation's reference; an unsupported interface ends the object here
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) {
      LockApp();
    } else {
      UnlockApp();
    }
    return S_OK;
  }

 private:
  COleObjectFactory* factory_;
  std::atomic<ULONG> refs_{1};
};

// The registered class objects by cookie; each entry holds one reference.
std::map<DWORD, ClassFactory*>& ClassObjects() {
  static std::map<DWORD, ClassFactory*> objects;
  return objects;
}

std::atomic<DWORD> g_loop_thread{0};
HANDLE g_ended = nullptr;  // manual-reset event: set once the runtime has ended after the loop

LRESULT CALLBACK ServerWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// A console control event ends the loop. For the events after which the system ends the process once the
// handler returns (close, log-off, shut-down), it waits a little for the orderly end.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  const DWORD thread = g_loop_thread.load();
  if (thread == 0) return FALSE;
  PostThreadMessageW(thread, WM_QUIT, 0, 0);
  if ((type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) && g_ended) {
    WaitForSingleObject(g_ended, 5000);
  }
  return TRUE;
}

// The message-only window of the loop (registered class, window), gone at the end of its scope.
class ServerWindow {
 public:
  ServerWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ServerWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = Wide(kServerWindowClass);
    if (RegisterClassExW(&wc) == 0) return;
    registered_ = true;
    hwnd_ = CreateWindowExW(0, Wide(kServerWindowClass), L"MivoDB", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            wc.hInstance, nullptr);
  }
  ~ServerWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
    if (registered_) UnregisterClassW(Wide(kServerWindowClass), GetModuleHandleW(nullptr));
  }
  ServerWindow(const ServerWindow&) = delete;
  ServerWindow& operator=(const ServerWindow&) = delete;

 private:
  bool registered_ = false;
  HWND hwnd_ = nullptr;
};

}  // namespace

bool Initialize() {
  if (FAILED(OleInitialize(nullptr))) return false;
  if (g_ended == nullptr) g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return true;
}

void Uninitialize() { OleUninitialize(); }

bool RegisterClassObject(COleObjectFactory* factory, const ClassId& clsid, bool multi_instance,
                         std::uint32_t* cookie) {
  CLSID id;
  id.Data1 = clsid.data1;
  id.Data2 = clsid.data2;
  id.Data3 = clsid.data3;
  std::memcpy(id.Data4, clsid.data4, sizeof id.Data4);
  auto* object = new (std::nothrow) ClassFactory(factory);
  if (object == nullptr) return false;
  DWORD registration = 0;
  const DWORD use = multi_instance ? REGCLS_SINGLEUSE : REGCLS_MULTIPLEUSE;
  if (FAILED(CoRegisterClassObject(id, object, CLSCTX_LOCAL_SERVER, use, &registration))) {
    object->Release();
    return false;
  }
  ClassObjects()[registration] = object;
  *cookie = registration;
  return true;
}

void RevokeClassObject(std::uint32_t cookie) {
  CoRevokeClassObject(cookie);
  auto it = ClassObjects().find(cookie);
  if (it == ClassObjects().end()) return;
  it->second->Release();
  ClassObjects().erase(it);
}

int RunMessageLoop() {
  ServerWindow window;
  g_loop_thread = GetCurrentThreadId();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  g_loop_thread = 0;
  return 0;
}

void NotifyEnded() {
  if (g_ended) SetEvent(g_ended);
}

}  // namespace mivo::ole::com
