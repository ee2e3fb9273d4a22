#include "automation/MivoDBClient.h"

#include <stdexcept>

#include "app/Constants.h"
#include "automation/MivoDBOLE.h"

CMivoDBClient::CMivoDBClient() : AutomationClient(kServiceName) {}

CMivoDBClient::CMivoDBClient(const std::string& address) : AutomationClient(kServiceName, address) {}

VARIANT CMivoDBClient::Call(const std::string& path, const char* name, std::vector<VARIANT> args) {
  const AFX_DISPMAP_ENTRY* entry = CCmdTarget::FindDispEntryByName(CMivoDBOLE::GetThisDispatchMap(), name);
  if (entry == nullptr) throw std::logic_error(std::string("no automation method ") + name);
  return CallTyped(path, *entry, args);
}

bool CMivoDBClient::CallWithText(const std::string& path, const char* name, CString& text,
                                 const CString& module, const CString& key) {
  BSTR storage = text;
  const VARIANT found =
      Call(path, name, {VARIANT::ByRefBstr(&storage), VARIANT::Bstr(module), VARIANT::Bstr(key)});
  text = storage.value_or(CString());
  return found.llVal != 0;
}

bool CMivoDBClient::SetLanguage(const std::string& path, std::int16_t language, bool user_flag) {
  return Call(path, "SetLanguage", {VARIANT::I2(language), VARIANT::Bool(user_flag)}).llVal != 0;
}

CString CMivoDBClient::GetLanguageString(const std::string& path, const CString& module, const CString& key) {
  return Call(path, "GetLanguageString", {VARIANT::Bstr(module), VARIANT::Bstr(key)})
      .bstrVal.value_or(CString());
}

bool CMivoDBClient::GetLanguageString2(const std::string& path, CString& text, const CString& module,
                                       const CString& key) {
  return CallWithText(path, "GetLanguageString2", text, module, key);
}

bool CMivoDBClient::AddLogLine(const std::string& path, DATE date, std::int16_t n1, const CString& s1,
                               const CString& s2, std::int16_t n2, const CString& s3, const CString& s4,
                               const CString& s5, const CString& s6) {
  return Call(path, "AddLogLine",
              {VARIANT::Date(date), VARIANT::I2(n1), VARIANT::Bstr(s1), VARIANT::Bstr(s2), VARIANT::I2(n2),
               VARIANT::Bstr(s3), VARIANT::Bstr(s4), VARIANT::Bstr(s5), VARIANT::Bstr(s6)})
             .llVal != 0;
}

bool CMivoDBClient::SetConfigString(const std::string& path, const CString& value, const CString& module,
                                    const CString& key) {
  return Call(path, "SetConfigString", {VARIANT::Bstr(value), VARIANT::Bstr(module), VARIANT::Bstr(key)})
             .llVal != 0;
}

CString CMivoDBClient::GetConfigString(const std::string& path, const CString& module, const CString& key) {
  return Call(path, "GetConfigString", {VARIANT::Bstr(module), VARIANT::Bstr(key)})
      .bstrVal.value_or(CString());
}

bool CMivoDBClient::GetConfigString2(const std::string& path, CString& value, const CString& module,
                                     const CString& key) {
  return CallWithText(path, "GetConfigString2", value, module, key);
}

std::int16_t CMivoDBClient::GetCurCharsetCode(const std::string& path) {
  return static_cast<std::int16_t>(Call(path, "GetCurCharsetCode", {}).llVal);
}

bool CMivoDBClient::RefreshConfDB(const std::string& path) {
  return Call(path, "RefreshConfDB", {}).llVal != 0;
}

bool CMivoDBClient::RefreshLangDB(const std::string& path) {
  return Call(path, "RefreshLangDB", {}).llVal != 0;
}
