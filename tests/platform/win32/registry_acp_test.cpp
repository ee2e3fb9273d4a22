// The system ANSI code page comes from the machine hive's Nls\CodePage key, value "ACP".
#include "platform/win32/registry_test_support.h"
#include "platform/win32/winnls.h"

namespace mivo::test {
namespace {

class RegistryAcp : public RegistryTest {
 protected:
  void SetUp() override { mivo::nls::SetAnsiCodePageForTesting(0); }

  void SetAcp(DWORD type, const std::string& bytes) {
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage"),
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
  EXPECT_FALSE(FileExists(hives_.machineHive()));
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage"),
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
  ASSERT_EQ(::mkdir(hives_.File("machine").c_str(), 0755), 0);
  WriteFile(hives_.machineHive(), "not a hive");
  EXPECT_EQ(GetACP(), 1252U);
  EXPECT_EQ(ReadFile(hives_.machineHive()), "not a hive");
}

}  // namespace
}  // namespace mivo::test
