// The automation runtime over D-Bus: command targets with dispatch maps, the class factory, the lock count.
//
// Contract (the wire side is fixed in the D-Bus service description of the project's design notes):
// - A BSTR is a wide string that may be null (std::nullopt). A method receives a VT_BSTR argument as
//   `const CString*` (null for a null BSTR), a VT_BSTR|VT_BYREF argument as `BSTR*` (the method replaces
//   the value with SetSysString), and returns a VT_BSTR result as CString (AllocSysString: the caller owns
//   the copy). VT_BOOL arguments and results are BOOL in the method (non-zero TRUE), VT_I2 is short,
//   VT_DATE is DATE.
// - A dispatch map lists members with explicit DISPIDs, declared result type and parameter types.
//   CCmdTarget::Invoke looks a DISPID up, checks the argument count, converts every by-value argument to its
//   declared type with the Automation rules (VariantChangeType) and calls the member; a by-reference
//   parameter must arrive as VT_BSTR|VT_BYREF and is never converted. Failures are HRESULTs:
//   DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW with the 0-based
//   argument position in *puArgErr, DISP_E_EXCEPTION with a description for an exception thrown by the
//   member (the target stays usable).
// - GetIDsOfNames matches member names without regard to letter case.
// - AfxOleLockApp / AfxOleUnlockApp count live automation objects; AfxOleGetLockCount reads the count.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/wtypes.h"

using BSTR = std::optional<CString>;

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001U);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003U);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004U);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005U);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006U);
inline constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007U);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008U);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009U);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000AU);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000EU);
inline constexpr DISPID DISPID_UNKNOWN = -1;

// Assigns `value` to the client's string (the framework's CString::SetSysString).
inline void SetSysString(BSTR* target, const CString& value) { *target = value; }

// A VARIANT as the dispatch layer carries it. Byref BSTRs point at storage owned by the caller of Invoke.
struct VARIANT {
  VARTYPE vt = VT_EMPTY;
  std::int64_t llVal = 0;    // VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_BOOL (-1 / 0)
  std::uint64_t ullVal = 0;  // VT_UI8
  double dblVal = 0;         // VT_R4, VT_R8, VT_DATE
  BSTR bstrVal;              // VT_BSTR
  BSTR* pbstrVal = nullptr;  // VT_BSTR | VT_BYREF
};

struct EXCEPINFO {
  CString bstrSource;
  CString bstrDescription;
  SCODE scode = 0;
};

class CCmdTarget;

// One member of a dispatch map. Built by the DISP_FUNCTION_ID macro.
struct AFX_DISPMAP_ENTRY {
  const char* lpszName;
  DISPID lDispID;
  VARTYPE vtReturn;
  const BYTE* lpvtParams;  // zero-terminated VTS_ string: the declared parameter types
  // Calls the member with arguments already converted to the declared types.
  void (*pfnInvoke)(CCmdTarget* target, std::span<VARIANT> args, VARIANT* result);
};

struct AFX_DISPMAP {
  const AFX_DISPMAP* pBaseMap;
  const AFX_DISPMAP_ENTRY* lpEntries;
  std::size_t nEntries;
};

class CCmdTarget : public CObject {
  DECLARE_DYNAMIC(CCmdTarget)

 public:
  CCmdTarget();
  ~CCmdTarget() override;
  CCmdTarget(const CCmdTarget&) = delete;
  CCmdTarget& operator=(const CCmdTarget&) = delete;

  void EnableAutomation();
  BOOL IsAutomationEnabled() const { return automation_; }

  // Called when the last reference is released; deletes the object.
  virtual void OnFinalRelease();
  virtual const AFX_DISPMAP* GetDispatchMap() const;

  // Looks up the DISPID of rgszNames[0] (case-insensitive) and -1 for every further name; returns S_OK,
  // or DISP_E_UNKNOWNNAME when any name is unknown.
  HRESULT GetIDsOfNames(const std::vector<CString>& rgszNames, std::vector<DISPID>& rgDispId) const;
  // args in declaration order; see the contract at the top.
  HRESULT Invoke(DISPID dispid, std::vector<VARIANT>& args, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                 UINT* puArgErr);
  const AFX_DISPMAP_ENTRY* FindDispEntry(DISPID dispid) const;

 private:
  bool automation_ = false;
};

// The VTS_ parameter type strings of the dispatch map macros.
#define VTS_I2 "\x02"
#define VTS_I4 "\x03"
#define VTS_R8 "\x05"
#define VTS_DATE "\x07"
#define VTS_BSTR "\x08"
#define VTS_BOOL "\x0B"
#define VTS_PBSTR "\x48"  // VT_BSTR | VT_BYREF, encoded as 0x40 | VT_BSTR in the one-byte string
#define VTS_NONE ""

namespace mivo::ole {
// Converts one already-converted argument to the C++ parameter type of a member, and a member's result to
// a VARIANT of the declared type. Implemented for short, BOOL/int, DATE, const CString*, BSTR*, CString.
template <class T>
T FromVariant(VARIANT& v);
template <class R>
void ToVariant(R&& value, VARTYPE vt, VARIANT* result);

template <auto Member>
struct DispThunk;
template <class C, class R, class... A, R (C::*Member)(A...)>
struct DispThunk<Member> {
  static void Invoke(CCmdTarget* target, std::span<VARIANT> args, VARIANT* result, VARTYPE vtReturn) {
    Call(static_cast<C*>(target), args, result, vtReturn, std::index_sequence_for<A...>{});
  }
  template <std::size_t... I>
  static void Call(C* self, std::span<VARIANT> args, VARIANT* result, VARTYPE vtReturn,
                   std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      (self->*Member)(FromVariant<A>(args[I])...);
    } else {
      R r = (self->*Member)(FromVariant<A>(args[I])...);
      if (result) ToVariant(std::move(r), vtReturn, result);
    }
  }
};
}  // namespace mivo::ole

#define DECLARE_DISPATCH_MAP()                      \
 protected:                                         \
  static const AFX_DISPMAP_ENTRY _dispatchEntries[]; \
  static const AFX_DISPMAP dispatchMap;             \
                                                    \
 public:                                            \
  const AFX_DISPMAP* GetDispatchMap() const override;

#define BEGIN_DISPATCH_MAP(theClass, baseClass)                                          \
  const AFX_DISPMAP* theClass::GetDispatchMap() const { return &theClass::dispatchMap; } \
  const AFX_DISPMAP_ENTRY theClass::_dispatchEntries[] = {

#define DISP_FUNCTION_ID(theClass, szExternalName, dispid, pfnMember, vtRetVal, vtsParams)                  \
  {szExternalName, dispid, vtRetVal, reinterpret_cast<const BYTE*>(vtsParams),                              \
   [](CCmdTarget* t, std::span<VARIANT> a, VARIANT* r) {                                                    \
     ::mivo::ole::DispThunk<&theClass::pfnMember>::Invoke(t, a, r, vtRetVal);                               \
   }},

#define END_DISPATCH_MAP(theClass, baseClass)                                                         \
  }                                                                                                   \
  ;                                                                                                   \
  const AFX_DISPMAP theClass::dispatchMap = {nullptr, theClass::_dispatchEntries,                     \
                                             sizeof(theClass::_dispatchEntries) /                     \
                                                 sizeof(theClass::_dispatchEntries[0])};

// The process-wide count of live automation objects.
void AfxOleLockApp();
void AfxOleUnlockApp();
LONG AfxOleGetLockCount();

// Connects the automation runtime to the session bus (DBUS_STARTER_ADDRESS when the bus started us, else
// DBUS_SESSION_BUS_ADDRESS). FALSE on failure. A registration run may call it without a bus: it then
// succeeds without connecting.
BOOL AfxOleInit();

struct CLSID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
CString StringFromCLSID(const CLSID& clsid);

// A class factory: static lifetime, one per creatable class, all of them reachable through the static
// operations.
class COleObjectFactory : public CCmdTarget {
 public:
  COleObjectFactory(const CLSID& clsid, const CRuntimeClass* pRuntimeClass, BOOL bMultiInstance,
                    LPCWSTR lpszProgID);
  ~COleObjectFactory() override;

  // Offers every factory's class on the bus (requests the bus name, queued, and exports the class object).
  static BOOL RegisterAll();
  // Writes (TRUE) or removes (FALSE) every factory's activation file and class entries in the machine hive.
  static BOOL UpdateRegistryAll(BOOL bRegister = TRUE);
  static void RevokeAll();

  const CLSID& GetClassID() const { return m_clsid; }
  const CString& GetProgID() const { return m_strProgID; }
  const CRuntimeClass* GetRuntimeClassOfObjects() const { return m_pRuntimeClass; }
  BOOL IsMultiInstance() const { return m_bMultiInstance; }

  // A new object of the factory's class (through dynamic creation), owned by the runtime.
  CCmdTarget* CreateObject();

 private:
  CLSID m_clsid;
  const CRuntimeClass* m_pRuntimeClass;
  BOOL m_bMultiInstance;
  CString m_strProgID;
};
