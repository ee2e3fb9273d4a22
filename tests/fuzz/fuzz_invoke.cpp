// CCmdTarget::Invoke on the real automation class CMivoDBOLE, in process, with random argument lists:
// every VARTYPE the wire carries, null and by-reference BSTRs, Empty and Null, wrong counts and unknown
// DISPIDs. The application's text store and configuration come from two small temporary databases.
//
// Checked against a model of the dispatch rules: an unknown DISPID is DISP_E_MEMBERNOTFOUND, a wrong count
// DISP_E_BADPARAMCOUNT; otherwise the first argument (in declaration order) that cannot become its declared
// type fails the call with its position in puArgErr. The model decides the plain cases itself (Empty,
// Null, integer ranges, rounding of doubles, null BSTRs, by-reference storage) and asks VariantChangeType
// for the rest (parsing text), so Invoke and VariantChangeType must agree. A successful call returns its
// declared result type; the out-value of GetLanguageString2 / GetConfigString2 equals the result of
// GetLanguageString / GetConfigString for the same module and key; the object's lock is dropped on release.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "app/MivoDBApp.h"
#include "automation/MivoDBOLE.h"
#include "platform/dao/afxdao.h"
#include "platform/ole/afxdisp.h"
#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"
#include "tests/fuzz/support.h"

namespace {

using mivo::test::Check;

// The declared parameter types of DISPIDs 1 to 10 and their result types.
struct Member {
  const char* params;
  VARTYPE result;
};
const Member kMembers[11] = {
    {nullptr, VT_EMPTY},
    {"\x02\x0B", VT_BOOL},
    {"\x08\x08", VT_BSTR},
    {"\x48\x08\x08", VT_BOOL},
    {"\x07\x02\x08\x08\x02\x08\x08\x08\x08", VT_BOOL},
    {"\x08\x08\x08", VT_BOOL},
    {"\x08\x08", VT_BSTR},
    {"\x48\x08\x08", VT_BOOL},
    {"", VT_I2},
    {"", VT_BOOL},
    {"", VT_BOOL},
};

const char16_t* const kWords[] = {u"Mod",
                                  u"Key",
                                  u"Net",
                                  u"Port",
                                  u"Missing",
                                  u"",
                                  u"0",
                                  u"1",
                                  u"-1",
                                  u"2.5",
                                  u"3.5",
                                  u"32767",
                                  u"32768",
                                  u"-32769",
                                  u"True",
                                  u"false",
                                  u" 12 ",
                                  u"1e5",
                                  u"1E-3",
                                  u".5",
                                  u"5.",
                                  u"2024-02-29",
                                  u"1899-12-30 12:30",
                                  u"23:59:59",
                                  u"9999-12-31",
                                  u"x",
                                  u"|EMPTY|",
                                  u"1031",
                                  u"99",
                                  u"NaN",
                                  u"+7",
                                  u"0x10",
                                  u"1,5"};

void Sql(const std::string& file, const std::string& sql) {
  const std::string error = mivo::test::SqlError(file, sql);
  Check(error.empty(), "sql", error);
}

void SetString(const CString& key, const CString& name, const std::string& value) {
  Check(mivo::test::SetValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ,
                             mivo::test::SzBytes(AfxFromUtf8(value))) == ERROR_SUCCESS,
        "set value");
}

struct Env {
  mivo::test::HiveSandbox hives{"machine.hive", "user.hive", mivo::test::FuzzTempBase()};
  std::string language = hives.File("language.db");
  std::string config = hives.File("config.db");
  std::string configTemplate = hives.File("config.template.db");
  std::unique_ptr<CMivoDBApp> app;

  Env() {
    mivo::test::Quiet quiet;
    mivo::nls::SetAnsiCodePageForTesting(1252);
    mivo::dao::CreateStandardDatabase(language, {0x0409, 0x0407});
    mivo::dao::CreateStandardDatabase(configTemplate, {0x0409});
    const char* items =
        "INSERT INTO Items (Module, KeyString) VALUES ('Mod', 'Key'), ('Mod', 'Empty'), ('Net', 'Port');";
    Sql(language,
        std::string("BEGIN;") + items +
            "INSERT INTO Messages VALUES (1, 1033, 'Text'), (2, 1033, ''), (1, 1031, 'Wort');COMMIT;");
    Sql(configTemplate, std::string("BEGIN;") + items +
                            "INSERT INTO Messages VALUES (3, 99, '4711'), (2, 99, '|EMPTY|');COMMIT;");
    mivo::test::CopyFileOver(configTemplate, config);
    SetString(u"Software\\Mivotec\\DataBase\\LanguageDataBase's", u"1", language);
    SetString(u"Software\\Mivotec\\DataBase\\ConfigDataBase's", u"1", config);
    app = std::make_unique<CMivoDBApp>();
    app->m_wCurLanguageId = 0x0409;
    app->m_wFallbackLanguageId = 0;
    app->InitLanguages();
    app->m_pConfigStrings->LoadConfig();
  }

  // Back to the state after start-up: the configuration database as it was, the first language.
  void Restore() {
    mivo::test::CopyFileOver(configTemplate, config);
    app->m_pConfigStrings->Reload();
    app->SetLanguage(0x0409, FALSE);
  }
};

Env& TheEnv() { return mivo::test::TheOne<Env>(); }

CString Text(mivo::test::Reader& in) {
  const std::uint8_t b = in.Byte();
  if (b < 160) return kWords[b % std::size(kWords)];
  return in.WideField(300);
}

// An argument of some VARTYPE; by-reference storage lives in `storage` (never reallocated).
VARIANT Argument(mivo::test::Reader& in, std::vector<BSTR>& storage) {
  const std::uint8_t kind = in.Byte();
  const std::uint64_t raw = in.Bits(8);
  static const std::int64_t kEdges[] = {0,       1,       -1,     32767,      -32768,        32768,
                                        -32769,  65535,   65536,  2147483647, -2147483648LL, 2958465,
                                        -657434, 2958466, -657435};
  const std::int64_t number =
      (raw & 1) ? kEdges[(raw >> 1) % std::size(kEdges)] : static_cast<std::int64_t>(raw >> 1) - (1LL << 62);
  switch (kind % 20) {
    case 0:
      return VARIANT::Empty();
    case 1:
      return VARIANT::Null();
    case 2: {
      VARIANT v;
      v.vt = VT_ERROR;
      return v;
    }
    case 3:
      return VARIANT::UI1(static_cast<BYTE>(number));
    case 4:
      return VARIANT::I2(static_cast<SHORT>(number));
    case 5:
      return VARIANT::UI2(static_cast<USHORT>(number));
    case 6:
      return VARIANT::I4(static_cast<LONG>(number));
    case 7:
      return VARIANT::UI4(static_cast<DWORD>(number));
    case 8:
      return VARIANT::I8(number);
    case 9:
      return VARIANT::UI8(static_cast<std::uint64_t>(number));
    case 10: {
      static const double kReals[] = {0.5,
                                      1.5,
                                      2.5,
                                      -2.5,
                                      32767.5,
                                      32766.5,
                                      -32768.5,
                                      1e300,
                                      -1e300,
                                      2958465.5,
                                      -657434.5,
                                      std::nan(""),
                                      std::numeric_limits<double>::infinity(),
                                      1e-310};
      double d = 0;
      if (raw & 1) {
        d = kReals[(raw >> 1) % std::size(kReals)];
      } else {
        std::memcpy(&d, &raw, sizeof d);
      }
      return (kind & 0x40) ? VARIANT::Date(d) : VARIANT::R8(d);
    }
    case 11:
      return VARIANT::Bool((raw & 1) != 0);
    case 12:
    case 13:
    case 14:
      return VARIANT::Bstr(Text(in));
    case 15:
      return VARIANT::NullBstr();
    case 16:
    case 17: {
      storage.push_back(raw & 2 ? BSTR() : BSTR(Text(in)));
      return VARIANT::ByRefBstr(&storage.back());
    }
    case 18:
      return VARIANT::ByRefBstr(nullptr);
    default: {
      VARIANT v;
      v.vt = static_cast<VARTYPE>(raw & 0xFFFF);
      v.llVal = number;
      v.ullVal = raw;
      return v;
    }
  }
}

bool IsInteger(VARTYPE vt) {
  return vt == VT_I1 || vt == VT_I2 || vt == VT_I4 || vt == VT_I8 || vt == VT_UI1 || vt == VT_UI2 ||
         vt == VT_UI4 || vt == VT_UI8 || vt == VT_BOOL;
}

// The model's verdict for one by-value argument, or nullopt where only VariantChangeType can tell.
std::optional<HRESULT> Expected(const VARIANT& v, VARTYPE to) {
  if (v.vt == VT_EMPTY) return S_OK;
  if (v.vt == VT_NULL || v.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  if (v.vt == VT_BSTR && !v.bstrVal) return to == VT_BSTR ? S_OK : DISP_E_TYPEMISMATCH;
  if (v.vt == VT_BSTR && to == VT_BSTR) return S_OK;
  if (IsInteger(v.vt)) {
    const bool isUnsigned = v.vt == VT_UI1 || v.vt == VT_UI2 || v.vt == VT_UI4 || v.vt == VT_UI8;
    if (isUnsigned && v.ullVal > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return to == VT_I2 || to == VT_DATE ? std::optional<HRESULT>(DISP_E_OVERFLOW)
                                          : std::optional<HRESULT>(S_OK);
    }
    // A VT_BOOL is TRUE (-1) whenever it is not zero, as a 16-bit VARIANT_BOOL 0xFFFF is.
    const std::int64_t n = v.vt == VT_BOOL ? (v.llVal != 0 ? -1 : 0)
                           : isUnsigned    ? static_cast<std::int64_t>(v.ullVal)
                                           : v.llVal;
    switch (to) {
      case VT_I2:
        return n >= -32768 && n <= 32767 ? S_OK : DISP_E_OVERFLOW;
      case VT_DATE:
        return n >= -657434 && n <= 2958465 ? S_OK : DISP_E_OVERFLOW;
      default:
        return S_OK;
    }
  }
  if (v.vt == VT_R8 || v.vt == VT_DATE) {
    const double d = v.dblVal;
    switch (to) {
      case VT_I2: {
        if (std::isnan(d)) return DISP_E_OVERFLOW;
        const double r = std::nearbyint(d);  // the default rounding mode rounds half to even
        return r >= -32768 && r <= 32767 ? S_OK : DISP_E_OVERFLOW;
      }
      case VT_BOOL:
        return S_OK;
      case VT_DATE:
        if (std::isnan(d) || d < -657435 || d > 2958466) return DISP_E_OVERFLOW;
        if (d > -657434 && d < 2958465) return S_OK;
        return std::nullopt;  // the edges of the first and the last day
      default:
        return std::nullopt;  // to text: checked by the result types only
    }
  }
  return std::nullopt;
}

HRESULT Convert(const VARIANT& v, VARTYPE to) {
  VARIANT out;
  return VariantChangeType(&out, &v, 0, to);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;
  Env& env = TheEnv();
  mivo::test::Reader in(data, size);

  const std::uint8_t pick = in.Byte();
  DISPID dispid = pick % 12;  // 0 and 11 are no member
  if (pick >= 250) dispid = static_cast<DISPID>(in.Bits(4));
  const bool known = dispid >= 1 && dispid <= 10;
  const std::size_t declared = known ? std::strlen(kMembers[dispid].params) : 0;
  const std::uint8_t countMode = in.Byte();
  std::size_t count = declared;
  if (countMode % 8 == 6) count = declared + 1;
  if (countMode % 8 == 7) count = declared > 0 ? declared - 1 : 1 + countMode / 8 % 4;

  std::vector<BSTR> storage;
  storage.reserve(16);
  std::vector<VARIANT> args;
  for (std::size_t i = 0; i < count; ++i) args.push_back(Argument(in, storage));
  const std::vector<VARIANT> given = args;

  // The model.
  HRESULT expected = S_OK;
  UINT expectedArg = 0;
  if (!known) {
    expected = DISP_E_MEMBERNOTFOUND;
  } else if (count != declared) {
    expected = DISP_E_BADPARAMCOUNT;
  } else {
    for (std::size_t i = 0; i < count && expected == S_OK; ++i) {
      const auto p = static_cast<unsigned char>(kMembers[dispid].params[i]);
      HRESULT hr = S_OK;
      if (p & VT_MFCBYREF) {
        hr = args[i].vt == (VT_BSTR | VT_BYREF) && args[i].pbstrVal != nullptr ? S_OK : DISP_E_TYPEMISMATCH;
      } else {
        const auto model = Expected(args[i], p);
        hr = Convert(args[i], p);
        if (model)
          Check(hr == *model, "VariantChangeType follows the rules",
                "argument " + std::to_string(i) + ": " + std::to_string(args[i].vt) + " (" +
                    std::to_string(args[i].llVal) + ") to " + std::to_string(p) + " gave " +
                    std::to_string(hr));
      }
      if (FAILED(hr)) {
        expected = hr;
        expectedArg = static_cast<UINT>(i);
      }
    }
  }

  CMivoDBOLE* object = nullptr;
  HRESULT hr = S_OK;
  VARIANT result;
  result.vt = 0x7777;  // not a type: shows whether the call wrote a result
  EXCEPINFO info;
  UINT argErr = 12345;
  {
    mivo::test::Quiet quiet;
    object = new CMivoDBOLE;
    hr = object->Invoke(dispid, args, &result, &info, &argErr);
  }
  Check(hr == expected || (hr == DISP_E_EXCEPTION && expected == S_OK), "Invoke's result",
        std::to_string(dispid) + ": " + std::to_string(hr) + " instead of " + std::to_string(expected));
  if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE) {
    Check(argErr == expectedArg, "the failing argument's position");
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    Check(args[i].vt == given[i].vt, "arguments keep their types");
  }

  if (hr == S_OK) {
    const VARTYPE want = kMembers[dispid].result;
    Check(result.vt == want, "the declared result type", std::to_string(result.vt));
    if (want == VT_BOOL) Check(result.llVal == 0 || result.llVal == VARIANT_TRUE, "a boolean result");
    if (want == VT_BSTR) Check(result.bstrVal.has_value(), "a text result is no null BSTR");
    if (dispid == 3 || dispid == 7) {
      Check(args[0].pbstrVal->has_value(), "the out-value is set");
      // The same lookup through the plain method: dispid 2 or 6 with the module and key.
      std::vector<VARIANT> plain{args[1], args[2]};
      VARIANT text;
      HRESULT again = S_OK;
      {
        mivo::test::Quiet quiet;
        again = object->Invoke(dispid - 1, plain, &text, nullptr, nullptr);
      }
      Check(again == S_OK, "the plain lookup succeeds where the out-value form did");
      Check(text.bstrVal == *args[0].pbstrVal, "the out-value equals the plain lookup");
    }
  }

  {
    mivo::test::Quiet quiet;
    object->ExternalRelease();
    if (known && (dispid == 1 || dispid == 5)) env.Restore();
  }
  Check(AfxOleGetLockCount() == 0, "releasing the object drops its lock");
  return 0;
}
