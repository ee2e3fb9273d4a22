// mivoctl db migrate: the Access files the database lists name are converted beside themselves and the
// entries repointed, keeping their placeholders; a failed file keeps its entry; the saved lists restore the
// old state; a second run changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/TestEnv.h"

namespace mivo::test {
namespace {

namespace fs = std::filesystem;

const std::string kAccessFixtures = MIVODB_ACCESS_FIXTURES;
const std::string kLanguageList = "Software\\Mivotec\\DataBase\\LanguageDataBase's";

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

TEST(DbMigrate, ConvertsListedAccessFilesAndRepointsTheirEntries) {
  if (!fs::exists(kAccessFixtures)) GTEST_SKIP() << "no Access fixtures at " << kAccessFixtures;
  HiveSandbox hives;
  const std::string data = hives.File("data");
  fs::create_directories(data);
  fs::copy_file(kAccessFixtures + "/node-adodb.mdb", data + "/texts.mdb");
  fs::copy_file(kAccessFixtures + "/longtext.accdb", data + "/user.accdb");
  WriteFile(data + "/bad.mdb", ReadFile(kAccessFixtures + "/node-adodb.mdb").substr(0, 5000));
  SetRegString(true, "Software\\Mivotec\\Version", "DataDir", data);
  SetRegString(true, kLanguageList, "Texts", "%DataDir%/texts.mdb");
  SetRegString(true, kLanguageList, "Broken", "%DataDir%/bad.mdb");
  SetRegString(true, kLanguageList, "Native", hives.File("native.db"));
  SetRegString(false, kLanguageList, "Mine", data + "/user.accdb");
  auto value = [&](bool machine, const std::string& name) {
    std::string v;
    EXPECT_TRUE(GetRegString(machine, kLanguageList, name, v)) << name;
    return v;
  };
  const std::string backup = hives.File("lists.reg");

  ProcessResult r = RunTool({"db", "migrate", "--dry-run", "--backup", backup});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("would set HKEY_LOCAL_MACHINE\\" + kLanguageList + " [Texts] = %DataDir%/texts.db"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(FilesIn(data), (std::set<std::string>{"texts.mdb", "user.accdb", "bad.mdb"}));
  EXPECT_EQ(value(true, "Texts"), "%DataDir%/texts.mdb");
  EXPECT_FALSE(FileExists(backup));

  r = RunTool({"db", "migrate", "--backup", backup});
  EXPECT_EQ(r.code, 1) << "the broken file fails: " << r.err;
  EXPECT_NE(r.err.find("bad.mdb' is truncated"), std::string::npos) << r.err;
  EXPECT_EQ(value(true, "Texts"), "%DataDir%/texts.db");
  EXPECT_EQ(value(true, "Broken"), "%DataDir%/bad.mdb");
  EXPECT_EQ(value(true, "Native"), hives.File("native.db"));
  EXPECT_EQ(value(false, "Mine"), data + "/user.db");
  EXPECT_EQ(QueryText(data + "/texts.db", "SELECT group_concat(UserName) FROM Users"), "Nuintun,Angela,张三");
  EXPECT_EQ(FilesIn(data),
            (std::set<std::string>{"texts.mdb", "texts.db", "user.accdb", "user.db", "bad.mdb"}));

  // A second run changes nothing (the broken file still fails).
  r = RunTool({"db", "migrate", "--backup", hives.File("second.reg")});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(value(true, "Texts"), "%DataDir%/texts.db");
  EXPECT_EQ(value(false, "Mine"), data + "/user.db");
  EXPECT_FALSE(FileExists(hives.File("second.reg")));
  EXPECT_EQ(FilesIn(data).size(), 5u);

  // The saved lists bring the old entries back.
  r = RunTool({"reg", "import", backup});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(value(true, "Texts"), "%DataDir%/texts.mdb");
  EXPECT_EQ(value(false, "Mine"), data + "/user.accdb");
}

}  // namespace
}  // namespace mivo::test
