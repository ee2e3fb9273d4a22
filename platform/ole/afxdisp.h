// The automation runtime over D-Bus: command targets with dispatch maps, VARIANT conversion, the class
// factory, the lock count, and the process's bus connection.
//
// Contract (the wire side is the D-Bus service of the design notes, section "Automation"):
// - A BSTR is a wide string that may be null (std::nullopt). A member receives a VT_BSTR argument as
//   `const CString*` (null for a null BSTR, which is different from an empty one), a VT_BSTR|VT_BYREF
//   argument as `BSTR*` (the member replaces the value with SetSysString; the caller owns the storage), and
//   returns a VT_BSTR result as CString (the caller gets its own copy). VT_BOOL arguments and results are
//   BOOL in the member (non-zero is TRUE; a TRUE result leaves as VARIANT_TRUE), VT_I2 is short, VT_I4 is
//   LONG, VT_DATE is DATE, VT_R8 is double.
// - A dispatch map lists members with explicit DISPIDs, the declared result type and the declared parameter
//   types (a VTS_ string). The map macros check at compile time that each member's C++ signature matches
//   its declared types.
// - CCmdTarget::GetIDsOfNames matches the member name (the first name) without regard to ASCII letter
//   case; every further name (a parameter name) gets DISPID_UNKNOWN and makes the call fail with
//   DISP_E_UNKNOWNNAME, as no member has named parameters.
// - CCmdTarget::Invoke takes the arguments in declaration order. In this order it: finds the DISPID
//   (DISP_E_MEMBERNOTFOUND), checks the argument count (DISP_E_BADPARAMCOUNT), converts every by-value
//   argument to its declared type with VariantChangeType (its error, with the 0-based position of the
//   argument in *puArgErr), requires every by-reference parameter to arrive as VT_BSTR|VT_BYREF with
//   storage (DISP_E_TYPEMISMATCH naming it otherwise; it is never converted), and calls the member. An
//   exception thrown by the member becomes DISP_E_EXCEPTION with what() as the description (EXCEPINFO);
//   the target stays usable. A target whose automation is not enabled has no members.
// - Lifetime: a command target starts with one reference. ExternalRelease drops one; the last one calls
//   OnFinalRelease, which deletes the object (an override may do more, and must then call the base).
// - AfxOleLockApp / AfxOleUnlockApp count live automation objects (never below 0); AfxOleGetLockCount
//   reads the count. It is the ObjectCount of every class object on the bus.
// - Threads: the runtime belongs to the thread that called AfxOleInit (the main thread); bus callbacks and
//   member calls run there, one at a time. Reports (AfxMessageBox) from other threads reach stderr only.
// - On Windows the runtime is COM (win/): the same command targets, dispatch maps and lock count, offered
//   through class factories and an IDispatch of each object (IUnknown and IDispatch only, no type
//   information); what differs is said where it applies ("Under COM").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
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
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001U);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057U);
inline constexpr DISPID DISPID_UNKNOWN = -1;

// Replaces the client's string with `value` (the framework's CString::SetSysString). A null target is
// ignored.
inline void SetSysString(BSTR* target, const CString& value) {
  if (target) *target = value;
}

// A VARIANT as the runtime carries it. Which member holds the value depends on vt:
//   llVal   VT_I1, VT_I2, VT_I4, VT_I8 and VT_BOOL (VARIANT_TRUE -1 / VARIANT_FALSE 0)
//   ullVal  VT_UI1, VT_UI2, VT_UI4, VT_UI8
//   dblVal  VT_R4, VT_R8, VT_DATE
//   bstrVal VT_BSTR (nullopt: a null BSTR)
//   pbstrVal VT_BSTR | VT_BYREF: storage owned by whoever built the VARIANT
// VT_EMPTY, VT_NULL and VT_ERROR carry no value.
struct VARIANT {
  VARTYPE vt = VT_EMPTY;
  std::int64_t llVal = 0;
  std::uint64_t ullVal = 0;
  double dblVal = 0;
  BSTR bstrVal;
  BSTR* pbstrVal = nullptr;

  static VARIANT Empty() { return {}; }
  static VARIANT Null() { return Of(VT_NULL); }
  static VARIANT I2(SHORT v) { return Signed(VT_I2, v); }
  static VARIANT I4(LONG v) { return Signed(VT_I4, v); }
  static VARIANT I8(std::int64_t v) { return Signed(VT_I8, v); }
  static VARIANT UI1(BYTE v) { return Unsigned(VT_UI1, v); }
  static VARIANT UI2(USHORT v) { return Unsigned(VT_UI2, v); }
  static VARIANT UI4(DWORD v) { return Unsigned(VT_UI4, v); }
  static VARIANT UI8(std::uint64_t v) { return Unsigned(VT_UI8, v); }
  static VARIANT R8(double v) { return Real(VT_R8, v); }
  static VARIANT Date(DATE v) { return Real(VT_DATE, v); }
  static VARIANT Bool(bool v) { return Signed(VT_BOOL, v ? VARIANT_TRUE : VARIANT_FALSE); }
  static VARIANT Bstr(CString v) {
    VARIANT r = Of(VT_BSTR);
    r.bstrVal = std::move(v);
    return r;
  }
  static VARIANT NullBstr() { return Of(VT_BSTR); }
  static VARIANT ByRefBstr(BSTR* storage) {
    VARIANT r = Of(VT_BSTR | VT_BYREF);
    r.pbstrVal = storage;
    return r;
  }

 private:
  static VARIANT Of(VARTYPE vt) {
    VARIANT r;
    r.vt = vt;
    return r;
  }
  static VARIANT Signed(VARTYPE vt, std::int64_t v) {
    VARIANT r = Of(vt);
    r.llVal = v;
    return r;
  }
  static VARIANT Unsigned(VARTYPE vt, std::uint64_t v) {
    VARIANT r = Of(vt);
    r.ullVal = v;
    return r;
  }
  static VARIANT Real(VARTYPE vt, double v) {
    VARIANT r = Of(vt);
    r.dblVal = v;
    return r;
  }
};

// Converts *pvarSrc to type vt into *pvargDest, by the Automation rules (no flags are interpreted; the
// number and date formats are the invariant ones). Targets: VT_I2, VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_DATE
// (others give DISP_E_BADVARTYPE). Sources: VT_EMPTY, VT_NULL, the integer types VT_I1 to VT_UI8, VT_R4,
// VT_R8, VT_DATE, VT_BOOL, VT_BSTR, and VT_BSTR|VT_BYREF (its value is converted). The rules:
// - Empty becomes 0, FALSE, "" or 0.0. Null, VT_ERROR and other value-less types give DISP_E_TYPEMISMATCH.
// - To an integer: a value outside the target's range gives DISP_E_OVERFLOW; a fraction is rounded half to
//   even (2.5 -> 2, 3.5 -> 4); NaN gives DISP_E_OVERFLOW; TRUE is -1.
// - To VT_BOOL: any non-zero number is TRUE (VARIANT_TRUE).
// - To VT_DATE: numbers are day serials (days since 1899-12-30, the fraction the time of day); outside the
//   representable years 100 to 9999 gives DISP_E_OVERFLOW; TRUE is -1.0.
// - To VT_BSTR: integers in decimal; TRUE "-1" and FALSE "0" (no VARIANT_ALPHABOOL); doubles in their
//   shortest round-trip form with an upper-case exponent ("0.1", "1E+20", "-2.5"); dates as
//   "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" when there is a time of day. A null BSTR stays null.
// - From VT_BSTR (leading and trailing white space ignored): numbers are [+|-]digits[.digits][(e|E)
//   [+|-]digits] (also ".5" and "5."), converted exactly (decimal rounding, not through a double, for the
//   integer targets); no thousands separators, currency signs or hexadecimal forms. Text that does not
//   parse, the empty text and a null BSTR give DISP_E_TYPEMISMATCH. VT_BOOL also accepts "True" and
//   "False" in any letter case. VT_DATE also accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or a "T"
//   between the date and the time) and "HH:MM[:SS]" (a time on day 0); an impossible date or time is
//   DISP_E_TYPEMISMATCH.
// On failure *pvargDest is left unchanged. pvargDest may equal pvarSrc.
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt);

struct EXCEPINFO {
  CString bstrSource;       // the class name of the target
  CString bstrDescription;  // what() of the exception
  SCODE scode = 0;          // E_OUTOFMEMORY for std::bad_alloc, else E_FAIL
};

class CCmdTarget;

// One member of a dispatch map. Built by the DISP_FUNCTION_ID macro.
struct AFX_DISPMAP_ENTRY {
  const char* lpszName;
  DISPID lDispID;
  VARTYPE vtReturn;        // VT_EMPTY for a member without a result
  const char* lpvtParams;  // zero-terminated VTS_ string: the declared parameter types
  // Calls the member with arguments already converted to the declared types.
  void (*pfnInvoke)(CCmdTarget* target, std::span<VARIANT> args, VARIANT* result);
};

// A dispatch map: its entries, then those of the base class's map.
struct AFX_DISPMAP {
  const AFX_DISPMAP* pBaseMap;
  const AFX_DISPMAP_ENTRY* lpEntries;
  std::size_t nEntries;
};

// In a VTS_ string, a parameter type byte with this bit set is passed by reference.
inline constexpr BYTE VT_MFCBYREF = 0x40;

// Look-ups many at a time and their explanation, which a command target may offer beside its dispatch
// interface (CCmdTarget::GetBatchLookups). The runtime calls them on its own thread, once per item of a
// batch, in the order asked. The Windows build does not offer them.
class CBatchLookups {
 public:
  struct Answer {
    BOOL found = FALSE;
    CString text;
  };
  struct Explanation {
    CString text;
    const char* source = "none";  // "current", "fallback" or "none"
    short language = 0;           // the language id of the store that answered; 0 for "none"
  };
  virtual ~CBatchLookups() = default;
  virtual Answer LookupLanguageString(const CString& module, const CString& key) = 0;
  virtual Answer LookupConfigString(const CString& module, const CString& key) = 0;
  virtual Explanation ExplainLanguageString(const CString& module, const CString& key) = 0;
  // The current language id.
  virtual short CurrentLanguage() = 0;
};

class CCmdTarget : public CObject {
  DECLARE_DYNAMIC(CCmdTarget)

 public:
  CCmdTarget() = default;
  ~CCmdTarget() override = default;
  CCmdTarget(const CCmdTarget&) = delete;
  CCmdTarget& operator=(const CCmdTarget&) = delete;

  void EnableAutomation() { m_bAutomationEnabled = true; }
  BOOL IsAutomationEnabled() const { return m_bAutomationEnabled ? TRUE : FALSE; }

  // Reference count of the object as its clients hold it; it starts at 1.
  DWORD ExternalAddRef() { return ++m_dwRef; }
  // Drops one reference; the last one calls OnFinalRelease. Returns the remaining count.
  DWORD ExternalRelease();

  // Called when the last reference is released; deletes the object.
  virtual void OnFinalRelease();
  // The most derived class's dispatch map; null for a class without one.
  virtual const AFX_DISPMAP* GetDispatchMap() const;
  // The batch look-ups the object offers (owned by the object), or null: the default offers none.
  virtual CBatchLookups* GetBatchLookups() { return nullptr; }

  // See the contract at the top. rgDispId receives one DISPID per name.
  HRESULT GetIDsOfNames(const std::vector<CString>& rgszNames, std::vector<DISPID>& rgDispId) const;
  // See the contract at the top. pVarResult, pExcepInfo and puArgErr may be null.
  HRESULT Invoke(DISPID dispid, std::vector<VARIANT>& args, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                 UINT* puArgErr);
  // The entry of a DISPID (the most derived map first), or null.
  const AFX_DISPMAP_ENTRY* FindDispEntry(DISPID dispid) const;
  // Every entry of the map chain, the most derived map first; a DISPID hidden by a derived entry is left
  // out.
  std::vector<const AFX_DISPMAP_ENTRY*> GetDispEntries() const { return DispEntriesOf(GetDispatchMap()); }
  // The same for a map chain given by its most derived map (a class's GetThisDispatchMap()).
  static std::vector<const AFX_DISPMAP_ENTRY*> DispEntriesOf(const AFX_DISPMAP* map);
  // The entry named `name` (exactly, as the typed interface names members) in a map chain, or null.
  static const AFX_DISPMAP_ENTRY* FindDispEntryByName(const AFX_DISPMAP* map, const char* name);

 protected:
  // The (empty) map of the base class; a derived map names it as its base.
  static const AFX_DISPMAP dispatchMap;

 private:
  bool m_bAutomationEnabled = false;
  DWORD m_dwRef = 1;
};

// The VTS_ parameter type strings of the dispatch map macros: one byte per parameter, its VARTYPE, with
// VT_MFCBYREF for a by-reference parameter.
#define VTS_I2 "\x02"
#define VTS_I4 "\x03"
#define VTS_R8 "\x05"
#define VTS_DATE "\x07"
#define VTS_BSTR "\x08"
#define VTS_BOOL "\x0B"
#define VTS_PBSTR "\x48"
#define VTS_NONE ""

namespace mivo::ole {

template <class>
inline constexpr bool kUnsupportedDispType = false;

// The argument of a member as the member's parameter type T, from a VARIANT already converted to the
// declared type.
template <class T>
T FromVariant(VARIANT& v) {
  if constexpr (std::is_same_v<T, SHORT>) {
    return static_cast<SHORT>(v.llVal);
  } else if constexpr (std::is_same_v<T, LONG>) {  // BOOL and LONG are one type
    return v.vt == VT_BOOL ? (v.llVal != 0 ? TRUE : FALSE) : static_cast<LONG>(v.llVal);
  } else if constexpr (std::is_same_v<T, double>) {  // DATE and double are one type
    return v.dblVal;
  } else if constexpr (std::is_same_v<T, const CString*>) {
    return v.bstrVal ? &*v.bstrVal : nullptr;
  } else if constexpr (std::is_same_v<T, BSTR*>) {
    return v.pbstrVal;
  } else {
    static_assert(kUnsupportedDispType<T>, "parameter type not supported in dispatch maps");
  }
}

// A member's result as a VARIANT of the declared type vt.
inline void ToVariant(SHORT value, VARTYPE vt, VARIANT* result) { *result = VARIANT::I2(value); }
inline void ToVariant(LONG value, VARTYPE vt, VARIANT* result) {
  *result = vt == VT_BOOL ? VARIANT::Bool(value != 0) : VARIANT::I4(value);
}
inline void ToVariant(double value, VARTYPE vt, VARIANT* result) {
  *result = vt == VT_DATE ? VARIANT::Date(value) : VARIANT::R8(value);
}
inline void ToVariant(CString value, VARTYPE vt, VARIANT* result) {
  *result = VARIANT::Bstr(std::move(value));
}

// TRUE when the C++ type T can carry the declared parameter type byte `vts`.
template <class T>
constexpr bool ParamFits(unsigned char vts) {
  switch (vts) {
    case VT_I2:
      return std::is_same_v<T, SHORT>;
    case VT_I4:
    case VT_BOOL:
      return std::is_same_v<T, LONG>;
    case VT_R8:
    case VT_DATE:
      return std::is_same_v<T, double>;
    case VT_BSTR:
      return std::is_same_v<T, const CString*>;
    case VT_MFCBYREF | VT_BSTR:
      return std::is_same_v<T, BSTR*>;
    default:
      return false;
  }
}

template <class R>
constexpr bool ResultFits(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
      return std::is_void_v<R>;
    case VT_I2:
      return std::is_same_v<R, SHORT>;
    case VT_I4:
    case VT_BOOL:
      return std::is_same_v<R, LONG>;
    case VT_R8:
    case VT_DATE:
      return std::is_same_v<R, double>;
    case VT_BSTR:
      return std::is_same_v<R, CString>;
    default:
      return false;
  }
}

template <auto Member>
struct DispThunk;

template <class C, class R, class... A, R (C::*Member)(A...)>
struct DispThunk<Member> {
  // TRUE when the member's parameters and result match the VTS_ string and the declared result type.
  static constexpr bool Matches(const char* vts, VARTYPE vtReturn) {
    std::size_t n = 0;
    while (vts[n] != '\0') ++n;
    if (n != sizeof...(A)) return false;
    std::size_t i = 0;
    const bool params = (ParamFits<A>(static_cast<unsigned char>(vts[i++])) && ...);
    static_cast<void>(i);
    return params && ResultFits<R>(vtReturn);
  }

  static void Invoke(CCmdTarget* target, std::span<VARIANT> args, VARIANT* result, VARTYPE vtReturn) {
    Call(static_cast<C*>(target), args, result, vtReturn, std::index_sequence_for<A...>{});
  }

  template <std::size_t... I>
  static void Call(C* self, std::span<VARIANT> args, VARIANT* result, VARTYPE vtReturn,
                   std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      (self->*Member)(FromVariant<A>(args[I])...);
      if (result) *result = VARIANT::Empty();
    } else {
      R r = (self->*Member)(FromVariant<A>(args[I])...);
      if (result) ToVariant(std::move(r), vtReturn, result);
    }
  }
};

}  // namespace mivo::ole

// A class's map is also reachable without an object (GetThisDispatchMap), so that a client can take the
// members' declared types from it.
#define DECLARE_DISPATCH_MAP()                                            \
 protected:                                                               \
  static const AFX_DISPMAP_ENTRY _dispatchEntries[];                      \
  static const AFX_DISPMAP dispatchMap;                                   \
                                                                          \
 public:                                                                  \
  static const AFX_DISPMAP* GetThisDispatchMap() { return &dispatchMap; } \
  const AFX_DISPMAP* GetDispatchMap() const override;

#define BEGIN_DISPATCH_MAP(theClass, baseClass)                                          \
  const AFX_DISPMAP* theClass::GetDispatchMap() const { return &theClass::dispatchMap; } \
  const AFX_DISPMAP_ENTRY theClass::_dispatchEntries[] = {
#define DISP_FUNCTION_ID(theClass, szExternalName, dispid, pfnMember, vtRetVal, vtsParams)                  \
  {szExternalName, dispid, vtRetVal, vtsParams, [](CCmdTarget* t, std::span<VARIANT> a, VARIANT* r) {       \
     using Thunk = ::mivo::ole::DispThunk<&theClass::pfnMember>;                                            \
     static_assert(Thunk::Matches(vtsParams, vtRetVal),                                                     \
                   "the member " szExternalName " does not match its declared parameter and result types"); \
     Thunk::Invoke(t, a, r, vtRetVal);                                                                      \
   }},

#define END_DISPATCH_MAP(theClass, baseClass)              \
  }                                                        \
  ;                                                        \
  const AFX_DISPMAP theClass::dispatchMap = {              \
      &baseClass::dispatchMap, theClass::_dispatchEntries, \
      sizeof(theClass::_dispatchEntries) / sizeof(theClass::_dispatchEntries[0])};

// ---- The lock count ------------------------------------------------------------------------------------

void AfxOleLockApp();
void AfxOleUnlockApp();
LONG AfxOleGetLockCount();

// ---- Change events -------------------------------------------------------------------------------------

// Broadcast on every registered class object's path (Mivo.DataBase.Events). Sent while a call is handled,
// a signal goes out before that call's reply, so its caller sees it first. Nothing happens off the
// runtime's thread, without a bus, or in the Windows build.
void AfxOleLanguageChanged(short languageId);
void AfxOleConfigChanged(const CString& module, const CString& key, const CString& value);
// `store` is "language" or "config".
void AfxOleReloaded(const char* store);

// ---- Watches on the message loop -----------------------------------------------------------------------

// A watch of the runtime's event loop; destroying it removes it (also from inside its own callback).
class CLoopWatch {
 public:
  CLoopWatch() = default;
  virtual ~CLoopWatch() = default;
  CLoopWatch(const CLoopWatch&) = delete;
  CLoopWatch& operator=(const CLoopWatch&) = delete;
};
// Calls `onReady` on the runtime's thread whenever `fd` is readable or was hung up, until the watch is
// destroyed. The descriptor stays the caller's. Null without an event loop (no runtime, a registration
// run, or under COM, where nothing watches descriptors).
std::unique_ptr<CLoopWatch> AfxOleWatchDescriptor(int fd, std::function<void()> onReady);
// Calls `onTimer` once on the runtime's thread, `milliseconds` from now, unless the watch was destroyed
// before. Null as for AfxOleWatchDescriptor.
std::unique_ptr<CLoopWatch> AfxOleSetTimer(unsigned milliseconds, std::function<void()> onTimer);

// ---- The runtime ---------------------------------------------------------------------------------------

namespace mivo::ole {
enum class InitMode {
  kServe,         // connect to the bus; fail without one
  kRegistration,  // a registration run: the bus is not needed and not connected
};
// Under COM, kServe enters the single-threaded apartment (OleInitialize; FALSE when COM refuses), installs
// its message loop as the framework's pump and adds AfxOleTerm as a termination handler; kRegistration
// does nothing more than on the bus.
//
// Initialises the runtime on the calling thread. kServe connects to DBUS_STARTER_ADDRESS when the bus
// started the process, else to the session bus (DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus); FALSE when that fails. Once connected it creates the thread's event loop with the
// bus attached, installs it as the framework's message pump (RunMessageLoop), installs a report sink that
// broadcasts every AfxMessageBox report, and adds AfxOleTerm as a termination handler. A second call
// after a successful one returns TRUE and changes nothing.
BOOL OleInit(InitMode mode);
// TRUE when the command line the process received holds the switch RegServer or UnregServer (a "/" or
// "-" followed by the name, in any letter case, as a prefix).
BOOL IsRegistrationRun();
// The event loop: serves the bus until SIGTERM or SIGINT arrives (they are blocked for the calling thread
// and taken through the loop) or the bus connection is lost; returns 0. Without a connection it returns 0
// at once. Under COM: GetMessage / DispatchMessage until WM_QUIT, which comes when the loop's
// message-only window (class "MivoDB.OLEServer.Window") receives WM_CLOSE or a console control event
// arrives; returns 0.
int RunMessageLoop();
// TRUE while the runtime holds a bus connection (under COM: while it is in its apartment).
BOOL IsConnected();
}  // namespace mivo::ole

// The runtime for this process: a registration run (IsRegistrationRun) initialises without the bus and
// succeeds; any other run needs the bus (OleInit(kServe)). 0 means failure.
BOOL AfxOleInit();
// The orderly end of the runtime: revokes every class object (their automation objects are dropped, as if
// their clients had released them), removes the report sink, flushes and closes the bus connection.
// Nothing happens when the runtime is not initialised. AfxOleInit adds it as a termination handler.
// Under COM it revokes every class object (CoRevokeClassObject; objects that clients still hold stay
// theirs until the process ends) and leaves the apartment (OleUninitialize).
void AfxOleTerm();

// ---- Class identifiers and factories -------------------------------------------------------------------

struct CLSID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
CString StringFromCLSID(const CLSID& clsid);

// A class factory: static lifetime, one per creatable class; the constructor adds it to the process's
// list of factories and the destructor revokes it and removes it.
//
// On the bus a registered factory is its programmatic identifier P (say "Mivo.DataBase.OLEServer"):
// - the bus name P, requested with queueing (a second process waits in the queue and serves once it owns
//   the name);
// - the class object at the path "/" + P with dots as slashes ("/Mivo/DataBase/OLEServer"), interface
//   Mivo.DataBase.ClassFactory: CreateInstance() -> o, properties ObjectCount (u, AfxOleGetLockCount,
//   emits change signals) and ClassId (s, StringFromCLSID, constant); interface Mivo.DataBase.Events with
//   the signal Message(s title, s text), broadcast for every AfxMessageBox report, and the change signals
//   LanguageChanged(n), ConfigChanged(s module, s key, s value) and Reloaded(s store) (AfxOle...Changed);
// - automation objects at "<class path>/<n>", n = 1, 2, ... never reused while the process runs, each
//   dropped by Release() or when the client that created it leaves the bus;
// - the class object and every automation object answer the interface P, whose methods are generated from
//   the class's dispatch map (VT_I2 n, VT_BOOL b, VT_I4 i, VT_BSTR s, VT_DATE and VT_R8 d; a by-reference
//   BSTR is an in "s" and a second out "s" after the result), and Mivo.DataBase.Dispatch:
//   GetIDsOfNames(as) -> ai, Invoke(i dispid, av args) -> (v result, av refs), Release(). The class object
//   is one shared instance of the class that holds no lock; Release on it does nothing. When the class's
//   objects offer batch look-ups (GetBatchLookups), they also answer Mivo.DataBase.Batch:
//   GetLanguageStrings(a(ss)) -> a(bs), GetConfigStrings(a(ss)) -> a(bs) (at most kMaxBatchItems items,
//   else InvalidArgument) and ExplainLanguageString(ss) -> (s text, s source, n language), and the
//   read-only property Language (n, CurrentLanguage).
// - failures are D-Bus errors "Mivo.DataBase.Error.<Name>" (UnknownName, MemberNotFound, BadParamCount,
//   TypeMismatch, Overflow, Exception, BadVarType, InvalidArgument, Failed) whose message is
//   "0x%08X <text>".
// A report also becomes a desktop notification (org.freedesktop.Notifications.Notify, sent without
// waiting for a reply) while that name has an owner on the bus.
// Only the process's own user (and root) may call a method: on a bus that admits other users, their calls
// (and calls whose sender the bus cannot name) get org.freedesktop.DBus.Error.AccessDenied before any
// handler runs. A caller's user id is asked of the bus once per connection.
//
// Under COM a registered factory is a class object registered with CoRegisterClassObject for its CLSID as
// a local server: REGCLS_MULTIPLEUSE (every client is served by this process), REGCLS_SINGLEUSE for a
// multi-instance factory. IClassFactory::CreateInstance makes an object through CreateObject and hands out
// its IDispatch, whose AddRef / Release are the object's ExternalAddRef / ExternalRelease; LockServer
// counts in the lock count. IDispatch::GetIDsOfNames is CCmdTarget::GetIDsOfNames. IDispatch::Invoke takes
// DISPATCH_METHOD and DISPATCH_PROPERTYGET (script engines call methods that way; anything else is
// DISP_E_MEMBERNOTFOUND), refuses named arguments (DISP_E_NONAMEDARGS, after the DISPID and before the
// count is checked), takes rgvarg last argument first and converts by-value arguments with the system's
// VariantChangeType (*puArgErr counts in rgvarg). A by-reference text arrives as VT_BSTR|VT_BYREF or as
// VT_VARIANT|VT_BYREF pointing at a VARIANT that holds a BSTR (script variables); after a successful call
// the caller's BSTR is replaced (SysFreeString, SysAllocStringLen). An exception is DISP_E_EXCEPTION with
// EXCEPINFO (bstrSource the class name, bstrDescription what(), scode). No type information:
// GetTypeInfoCount gives 0, GetTypeInfo E_NOTIMPL. Reports stay the framework's (no Message signal).
class COleObjectFactory : public CCmdTarget {
  DECLARE_DYNAMIC(COleObjectFactory)

 public:
  COleObjectFactory(const CLSID& clsid, const CRuntimeClass* pRuntimeClass, BOOL bMultiInstance,
                    LPCWSTR lpszProgID);
  ~COleObjectFactory() override;

  // Offers every factory's class on the bus. FALSE when the runtime is not connected or any factory
  // failed; a factory already registered counts as success.
  static BOOL RegisterAll();
  // Writes (TRUE) or removes (FALSE) every factory's registration: the activation file
  // "<ProgID>.service" ("[D-BUS Service]", "Name=<ProgID>", "Exec=<the executable's path>") in
  // $MIVODB_DBUS_SERVICE_DIR, default ${XDG_DATA_HOME:-$HOME/.local/share}/dbus-1/services (created when
  // missing), and the class entries below HKEY_LOCAL_MACHINE\Software\Classes: the default values of
  // "<ProgID>\CLSID" ("{GUID}"), "CLSID\{GUID}\LocalServer32" (the executable's path) and
  // "CLSID\{GUID}\ProgID" (the ProgID); removal deletes the keys "<ProgID>" and "CLSID\{GUID}" with
  // everything below them. Needs no bus. The result is FALSE when an activation file could not be
  // written or removed; what the settings hive refuses is ignored. Under COM there is no activation file:
  // the class entries are what COM starts the server by (HKEY_CLASSES_ROOT shows them), and the result is
  // FALSE when the registry refuses one of them.
  static BOOL UpdateRegistryAll(BOOL bRegister = TRUE);
  // Withdraws every factory from the bus (see Revoke).
  static void RevokeAll();

  // Offers this factory's class on the bus; FALSE without a connection or when the bus refuses.
  BOOL Register();
  // Withdraws the class: drops its automation objects and its class object and gives up the bus name.
  void Revoke();
  BOOL IsRegistered() const;
  BOOL UpdateRegistry(BOOL bRegister = TRUE);

  const CLSID& GetClassID() const { return m_clsid; }
  const CString& GetProgID() const { return m_strProgID; }
  const CRuntimeClass* GetRuntimeClassOfObjects() const { return m_pRuntimeClass; }
  BOOL IsMultiInstance() const { return m_bMultiInstance; }

  // A new object of the factory's class (through dynamic creation), with one reference that the caller
  // owns; null when the class is not dynamically creatable or not a CCmdTarget.
  CCmdTarget* CreateObject();

  // Every factory of the process, in construction order.
  static const std::vector<COleObjectFactory*>& Factories();

 private:
  CLSID m_clsid;
  const CRuntimeClass* m_pRuntimeClass;
  BOOL m_bMultiInstance;
  CString m_strProgID;
};
