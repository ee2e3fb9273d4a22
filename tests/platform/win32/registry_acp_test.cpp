// The system ANSI code page comes from the machine hive's Nls\CodePage key, value "ACP".
#include "platform/win32/registry_test_support.h"
#include "platform/win32/winnls.h"

namespace registry_test {
namespace {

class RegistryAcp : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    mivo::nls::SetAnsiCodePageForTesting(0);
    mivo::nls::ResetForTesting();
  }
  void TearDown() override {
    mivo::nls::ResetForTesting();
    RegistryTest::TearDown();
  }

  void SetAcp(DWORD type, const std::string& bytes) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", key),
              ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, u"ACP", type, bytes), ERROR_SUCCESS);
  }
};

TEST_F(RegistryAcp, DecimalTextOfTheAcpValueIsTheSystemCodePage) {
  SetAcp(REG_SZ, SzBytes(u"1251"));
  EXPECT_EQ(GetACP(), 1251U);
}

TEST_F(RegistryAcp, ValueIsReadOnceUntilTheCacheIsReset) {
  SetAcp(REG_SZ, SzBytes(u"1250"));
  ASSERT_EQ(GetACP(), 1250U);
  SetAcp(REG_SZ, SzBytes(u"932"));
  EXPECT_EQ(GetACP(), 1250U);
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetACP(), 932U);
}

TEST_F(RegistryAcp, MissingHiveKeyOrValueMeans1252) {
  EXPECT_EQ(GetACP(), 1252U);  // no hive file at all
  EXPECT_FALSE(Exists(machineHive_));
  Key key;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", key),
            ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, u"OEMCP", u"866"), ERROR_SUCCESS);
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetACP(), 1252U);
}

TEST_F(RegistryAcp, ValueThatIsNotDecimalTextMeans1252) {
  const std::vector<std::pair<DWORD, std::string>> unusable = {
      {REG_DWORD, std::string("\xE3\x04\0\0", 4)},  // 1251 as a number, not as text
      {REG_EXPAND_SZ, SzBytes(u"1251")},
      {REG_SZ, SzBytes(u"")},
      {REG_SZ, SzBytes(u"12a1")},
      {REG_SZ, SzBytes(u" 1251")},
      {REG_SZ, SzBytes(u"-1251")},
      {REG_SZ, SzBytes(u"99999999999999")},
  };
  for (const auto& [type, bytes] : unusable) {
    SetAcp(type, bytes);
    mivo::nls::ResetForTesting();
    EXPECT_EQ(GetACP(), 1252U) << type << " " << bytes.size();
  }
}

TEST_F(RegistryAcp, TextWithoutTerminatorIsReadToItsEnd) {
  SetAcp(REG_SZ, std::string("9\0003\0002\0", 6));
  EXPECT_EQ(GetACP(), 932U);
}

TEST_F(RegistryAcp, DamagedMachineHiveMeans1252) {
  ASSERT_EQ(::mkdir((dir_ + "/machine").c_str(), 0755), 0);
  WriteBytes(machineHive_, "not a hive");
  EXPECT_EQ(GetACP(), 1252U);
  EXPECT_EQ(ReadBytes(machineHive_), "not a hive");
}

}  // namespace
}  // namespace registry_test
