// Internal to platform/ole on Windows: the neutral interface between the two halves of the COM runtime.
//   com_server.cpp   speaks COM (Windows SDK headers): the class factories, IDispatch, the apartment and
//                    its message loop. It cannot see the framework's types.
//   com_runtime.cpp  speaks the framework (afxdisp.h): AfxOleInit / AfxOleTerm, COleObjectFactory's
//                    runtime side, and the calls into command targets.
// This header uses standard C++ types only, so that both can include it. Numbers of VARTYPEs, DISPIDs and
// HRESULTs are the Windows ones on both sides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CCmdTarget;
class COleObjectFactory;

namespace mivo::ole::com {

// A wide text that may be null (a null BSTR); the same type as the framework's BSTR.
using Text = std::optional<std::u16string>;

// One argument or result, already of its declared type: VT_I2, VT_I4 and VT_BOOL (-1 / 0) in `integer`,
// VT_R8 and VT_DATE in `real`, VT_BSTR in `text`, VT_BSTR|VT_BYREF as `ref` (storage owned by the caller
// of Invoke), VT_EMPTY for no value.
struct Value {
  std::uint16_t vt = 0;
  std::int64_t integer = 0;
  double real = 0;
  Text text;
  Text* ref = nullptr;
};

// A member of a target's dispatch map: the declared result type and the declared parameter types (the
// bytes of its VTS_ string, VT_MFCBYREF 0x40 marking a by-reference parameter).
struct Member {
  std::uint16_t vt_return = 0;
  std::string params;
};

// Why a call failed: the exception's source and description for DISP_E_EXCEPTION, and the 0-based
// argument (declaration order) a conversion error names.
struct Failure {
  std::u16string source;
  std::u16string description;
  std::int32_t scode = 0;
  std::uint32_t arg = 0;
};

// The bytes of a class identifier in the layout of a GUID.
struct ClassId {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};
};

// ---- The framework side (com_runtime.cpp) ----

// A new object of the factory's class with one reference the caller owns; null when it cannot be made
// (an exception of its constructor included).
CCmdTarget* CreateObject(COleObjectFactory* factory);
std::uint32_t AddRef(CCmdTarget* target);
// Drops one reference; the last one ends the object. Returns the references left.
std::uint32_t Release(CCmdTarget* target);
// CCmdTarget::GetIDsOfNames: one DISPID per name in *ids; the HRESULT.
std::int32_t GetIDsOfNames(const CCmdTarget* target, const std::vector<std::u16string>& names,
                           std::vector<std::int32_t>* ids);
// The member of `dispid`; false when the target has none (or its automation is not enabled).
bool FindMember(const CCmdTarget* target, std::int32_t dispid, Member* member);
// CCmdTarget::Invoke with the arguments in declaration order; *result receives the result. The HRESULT.
std::int32_t Invoke(CCmdTarget* target, std::int32_t dispid, std::vector<Value>& args, Value* result,
                    Failure* failure);
void LockApp();
void UnlockApp();

// ---- The COM side (com_server.cpp) ----

// Enters the single-threaded apartment of the calling thread (OleInitialize); false when COM refuses.
bool Initialize();
// Leaves it (OleUninitialize).
void Uninitialize();
// Offers a factory's class object to COM (CoRegisterClassObject as a local server: for multiple use, so
// that every client is served by this process, or for single use when `multi_instance`, so that COM starts
// another process for the next client); false when COM refuses. *cookie identifies the registration.
bool RegisterClassObject(COleObjectFactory* factory, const ClassId& clsid, bool multi_instance,
                         std::uint32_t* cookie);
// Withdraws a class object (CoRevokeClassObject).
void RevokeClassObject(std::uint32_t cookie);
// The apartment's message loop: dispatches messages until WM_QUIT, which it posts itself when its hidden
// window (class kServerWindowClass) receives WM_CLOSE or the console sends a control event. Returns 0.
int RunMessageLoop();
// Called when the runtime has ended after the loop: a console control event waiting for the orderly end
// may go on.
void NotifyEnded();

// The class name of the server's message-only window: FindWindowEx(HWND_MESSAGE, 0, this, 0) finds it;
// WM_CLOSE to it ends the message loop.
inline constexpr char16_t kServerWindowClass[] = u"MivoDB.OLEServer.Window";

}  // namespace mivo::ole::com
