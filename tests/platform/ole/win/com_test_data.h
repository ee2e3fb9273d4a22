// What the COM tests set up through the test support (support/TestEnv.h): databases and settings. Standard
// C++ types only: the tests that include it speak to Windows itself.
#pragma once

#include <string>
#include <vector>

namespace mivo::test::com {

// lang.db and conf.db in `dir` (a Windows path), listed in the settings of the real registry as the server
// reads them (user language 0x0409, fallback 0x0407). lang.db: module "Demo", "Greeting" in 0x0407
// "Hallo", 0x0409 "Hello", 0x0419 Russian, 0x0411 Japanese (stored as the system code page's reading of
// their own code page's bytes), "OnlyGerman" in German only. conf.db: Server/Host "localhost".
void WriteServerData(const std::string& dir);
// Deletes the settings WriteServerData wrote.
void DeleteServerSettings();
std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql);
void ExecSql(const std::string& file, const std::string& sql);

}  // namespace mivo::test::com
