#include "support/AppFixture.h"

namespace mivo::test {

AppTest::AppTest() {
  sink_ = AfxAddReportSink([this](const AfxReport& r) { reports.push_back(Utf8(r.text)); });
}

AppTest::~AppTest() {
  app_.reset();
  AfxRemoveReportSink(sink_);
}

CMivoDBApp& AppTest::app() {
  if (!app_) app_ = std::make_unique<CMivoDBApp>();
  return *app_;
}

void AppTest::StartStores() {
  app().m_wCurLanguageId = 0x0409;
  app().m_wFallbackLanguageId = 0;
  app().InitLanguages();
  app().m_pConfigStrings->LoadConfig();
}

void AppTest::ListLanguageDb(bool machine, const std::string& name, const std::string& path) {
  SetRegString(machine, kLanguageList, name, path);
}

void AppTest::ListConfigDb(const std::string& name, const std::string& path) {
  SetRegString(true, kConfigList, name, path);
}

std::string AppTest::Text(const std::string& module, const std::string& key, bool* found) {
  const CString m = U(module), k = U(key);
  CString text;
  const BOOL ok = app().GetLanguageText(text, &m, &k);
  if (found) *found = ok;
  return Utf8(text);
}

std::string AppTest::Config(const std::string& module, const std::string& key, bool* found) {
  const CString m = U(module), k = U(key);
  CString text;
  const BOOL ok = app().m_pConfigStrings->LookupConfigString(text, &m, &k);
  if (found) *found = ok;
  return Utf8(text);
}

}  // namespace mivo::test
