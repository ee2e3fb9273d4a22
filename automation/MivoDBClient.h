// CMivoDBClient: a client of the MivoDB server on the bus, with one typed call per automation method.
// Each call takes the member's declared types from CMivoDBOLE's dispatch map, so the client cannot
// disagree with the server about them; `path` is the object to call (kClassObjectPath for the class
// object, or a path CreateInstance returned). Everything else (connection, late binding, signals,
// errors as ole::BusError) is ole::AutomationClient's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ole/client.h"

class CMivoDBClient : public mivo::ole::AutomationClient {
 public:
  // Connects to the session bus.
  CMivoDBClient();
  // Connects to the bus at a D-Bus address ("unix:path=/tmp/x/bus").
  explicit CMivoDBClient(const std::string& address);
  static std::unique_ptr<CMivoDBClient> ConnectSession() { return std::make_unique<CMivoDBClient>(); }
  static std::unique_ptr<CMivoDBClient> Connect(const std::string& address) {
    return std::make_unique<CMivoDBClient>(address);
  }

  bool SetLanguage(const std::string& path, std::int16_t language, bool user_flag);
  CString GetLanguageString(const std::string& path, const CString& module, const CString& key);
  // `text` goes in and is replaced by the text the server returns.
  bool GetLanguageString2(const std::string& path, CString& text, const CString& module, const CString& key);
  bool AddLogLine(const std::string& path, DATE date, std::int16_t n1, const CString& s1, const CString& s2,
                  std::int16_t n2, const CString& s3, const CString& s4, const CString& s5,
                  const CString& s6);
  bool SetConfigString(const std::string& path, const CString& value, const CString& module,
                       const CString& key);
  CString GetConfigString(const std::string& path, const CString& module, const CString& key);
  // `value` goes in and is replaced by the value the server returns.
  bool GetConfigString2(const std::string& path, CString& value, const CString& module, const CString& key);
  std::int16_t GetCurCharsetCode(const std::string& path);
  bool RefreshConfDB(const std::string& path);
  bool RefreshLangDB(const std::string& path);

 private:
  // Calls the member `name` of the dispatch map with `args` (see AutomationClient::CallTyped).
  VARIANT Call(const std::string& path, const char* name, std::vector<VARIANT> args);
  // The same for a member with one by-reference text first: `text` goes in and receives the result.
  bool CallWithText(const std::string& path, const char* name, CString& text, const CString& module,
                    const CString& key);
};
