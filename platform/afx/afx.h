// The small application framework: the root object class with run-time class information, the string
// types, and message reports.
//
// Contract:
// - CString is a wide (UTF-16) string that may hold any code unit, NUL included; lengths and comparisons
//   count code units. A string argument that may be absent (a null BSTR from a client) is passed as
//   `const CString*`, null meaning absent; absent and empty are different things.
// - Every class derived from CObject that declares DECLARE_DYNAMIC / DECLARE_DYNCREATE has one
//   CRuntimeClass record with its class name and its base's record; GetRuntimeClass() returns the record
//   of the object's most derived class, IsKindOf() follows the base chain.
// - AfxMessageBox shows the report, hands it to every installed sink, and returns IDOK. On Linux it never
//   blocks: it writes "MivoDB: <text>" as one report on stderr (line breaks kept). On Windows it is a modal
//   message box titled with the application title; with the environment variable MIVODB_REPORTS=stderr
//   the same line goes to the standard error handle (UTF-8) and to OutputDebugStringW instead, and it never
//   blocks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/wintypes.h"

using CString = std::u16string;
using CStringArray = std::vector<CString>;

class CObject;

struct CRuntimeClass {
  const char* m_lpszClassName;
  const CRuntimeClass* m_pBaseClass;
  CObject* (*m_pfnCreateObject)();  // null unless the class is dynamically creatable

  // TRUE when this class is `base` or derives from it.
  BOOL IsDerivedFrom(const CRuntimeClass* base) const;
  // A new object of the class, owned by the caller; null when the class is not dynamically creatable.
  CObject* CreateObject() const;
};

class CObject {
 public:
  virtual ~CObject() = default;
  virtual const CRuntimeClass* GetRuntimeClass() const;
  BOOL IsKindOf(const CRuntimeClass* pClass) const;

  static const CRuntimeClass classCObject;

 protected:
  CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)             \
 public:                                        \
  static const CRuntimeClass class##class_name; \
  const CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
  DECLARE_DYNAMIC(class_name)         \
  static CObject* CreateObject();

#define IMPLEMENT_DYNAMIC(class_name, base_class_name)                                              \
  const CRuntimeClass class_name::class##class_name = {#class_name, RUNTIME_CLASS(base_class_name), \
                                                       nullptr};                                    \
  const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)                                            \
  CObject* class_name::CreateObject() { return new class_name; }                                    \
  const CRuntimeClass class_name::class##class_name = {#class_name, RUNTIME_CLASS(base_class_name), \
                                                       &class_name::CreateObject};                  \
  const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

// Message boxes.
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
inline constexpr int IDOK = 1;

// One report of AfxMessageBox: the application title and the text.
struct AfxReport {
  CString title;
  CString text;
};
using AfxReportSink = std::function<void(const AfxReport&)>;

// Shows `text` the non-blocking way described above and returns IDOK.
int AfxMessageBox(const CString& text, UINT nType = MB_OK, UINT nIDHelp = 0);
// The same for string resource `nIDPrompt` (an unknown id reports an empty text).
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);

// Installs a sink that receives every later report; returns a token for AfxRemoveReportSink.
int AfxAddReportSink(AfxReportSink sink);
void AfxRemoveReportSink(int token);

// The application title that heads every report ("MivoDB", string resource 57344).
CString AfxGetAppTitle();

// UTF-8 <-> UTF-16 for the edges (stderr, file paths, D-Bus). Invalid input is replaced by U+FFFD;
// lone surrogates become U+FFFD in UTF-8.
std::string AfxToUtf8(const CString& s);
CString AfxFromUtf8(std::string_view s);

// String resources. The executable's string table is supplied by the module that defines
// AfxModuleStringTable() (res/); AfxLoadString gives the text of an id, or an empty string for an
// unknown id (and FALSE from the BOOL form).
struct AfxStringResource {
  UINT id;
  const char16_t* text;
};
struct AfxStringTable {
  const AfxStringResource* entries;
  std::size_t count;
};
const AfxStringTable& AfxModuleStringTable();
BOOL AfxLoadString(UINT nID, CString& out);
CString AfxLoadString(UINT nID);

// FormatMessage-style inserts: "%1" .. "%9" replaced by args[0] .. args[8]; "%%" is a percent sign; an
// insert without an argument stays as written.
CString AfxFormatStrings(const CString& format, const std::vector<CString>& args);
