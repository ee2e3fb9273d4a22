#include <gtest/gtest.h>

#include "support/AppFixture.h"

namespace mivo::test {
namespace {

class Switches : public AppTest {
 protected:
  BOOL Find(const CString& line, const CString& name, CString* rest = nullptr) {
    app().m_lpCmdLine = line;
    const BOOL found = app().FindAndRemoveSwitch(name);
    if (rest) *rest = app().m_lpCmdLine;
    return found;
  }
};

TEST_F(Switches, MatchAsACaseInsensitivePrefixAfterSlashOrDash) {
  CString rest;
  EXPECT_TRUE(Find(u"/regserver", u"RegServer", &rest));
  EXPECT_EQ(rest, u"");
  EXPECT_TRUE(Find(u"-REGSERVER", u"RegServer"));
  EXPECT_TRUE(Find(u"/RegServerX", u"RegServer", &rest));
  EXPECT_EQ(rest, u"X");
  EXPECT_TRUE(Find(u"/UnregServer /RegServer", u"RegServer", &rest));
  EXPECT_EQ(rest, u"/UnregServer ");
  EXPECT_FALSE(Find(u"RegServer /Reg", u"RegServer", &rest));
  EXPECT_EQ(rest, u"RegServer /Reg");
  EXPECT_FALSE(Find(u"", u"RegServer"));
  EXPECT_TRUE(Find(u"/Embedding -unregserver", u"UnregServer", &rest));
  EXPECT_EQ(rest, u"/Embedding ");
}

TEST_F(Switches, TheApplicationOwnsBothSettingsKeysAndThreeEmptyStores) {
  EXPECT_TRUE(app().m_UserKey.IsOpen());
  EXPECT_TRUE(app().m_MachineKey.IsOpen());
  EXPECT_EQ(app().m_pFallbackStrings->m_nKind, kFallbackStore);
  EXPECT_EQ(app().m_pLanguageStrings->m_nKind, kLanguageStore);
  EXPECT_EQ(app().m_pConfigStrings->m_nKind, kConfigStore);
  EXPECT_EQ(app().m_pDBMainWnd, nullptr);
  EXPECT_EQ(GetMivoDBApp(), &app());
  std::string none;
  EXPECT_FALSE(GetRegString(true, "Software\\Mivotec\\DataBase", "AppName", none));
  EXPECT_EQ(app().ExitInstance(), 0);  // after a refused start nothing to delete
}

}  // namespace
}  // namespace mivo::test
