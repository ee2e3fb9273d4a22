// The fixture of the configuration tests: an application over a sandbox, code page 1252, and a write
// through the configuration store.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/winnls.h"
#include "support/AppFixture.h"

namespace mivo::test {

class ConfigurationTest : public AppTest {
 protected:
  void SetUp() override { mivo::nls::SetAnsiCodePageForTesting(1252); }
  void TearDown() override { mivo::nls::SetAnsiCodePageForTesting(0); }
  BOOL Write(const std::string& value, const std::string& module, const std::string& key) {
    const CString v = U(value), m = U(module), k = U(key);
    return app().m_pConfigStrings->WriteConfigString(&v, &m, &k);
  }
  std::vector<std::string> Rows(const std::string& db, const std::string& sql) {
    return QueryColumn(db, sql);
  }
};

}  // namespace mivo::test
