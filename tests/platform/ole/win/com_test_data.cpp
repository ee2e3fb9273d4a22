#include "com_test_data.h"

#include "support/TestEnv.h"

namespace mivo::test::com {

void WriteServerData(const std::string& dir) {
  MakeStandardDb(dir + "\\lang.db", {1031, 1033, 1049, 1041},
                 {
                     {"Demo", "Greeting", 0x0407, "Hallo"},
                     {"Demo", "Greeting", 0x0409, "Hello"},
                     {"Demo", "Greeting", 0x0419, "\u00CF\u00F0\u00E8\u00E2\u00E5\u00F2"},  // cp1251 bytes
                     {"Demo", "Greeting", 0x0411,
                      "\u201A\u00B1\u201A\u00F1\u201A\u00C9\u201A\u00BF\u201A\u00CD"},  // cp932 bytes
                     {"Demo", "OnlyGerman", 0x0407, "Nur Deutsch"},
                 });
  MakeStandardDb(dir + "\\conf.db", {99}, {{"Server", "Host", 99, "localhost"}});
  SetRegString(true, "Software\\Mivotec\\Version", "Base", dir);
  SetRegString(true, "Software\\Mivotec\\DataBase\\LanguageDataBase's", "Main", "%Base%\\lang.db");
  SetRegString(true, "Software\\Mivotec\\DataBase\\ConfigDataBase's", "Conf", dir + "\\conf.db");
  SetRegDword(false, "Software\\Mivotec\\DataBase", "FallBackLanguageId", 0x0407);
  SetRegDword(false, "Software\\Mivotec\\DataBase", "LanguageId", 0x0409);
}

void DeleteServerSettings() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) RegDeleteTreeW(root, u"Software\\Mivotec");
}

std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql) {
  return mivo::test::QueryColumn(file, sql);
}

void ExecSql(const std::string& file, const std::string& sql) { mivo::test::ExecSql(file, sql); }

}  // namespace mivo::test::com
