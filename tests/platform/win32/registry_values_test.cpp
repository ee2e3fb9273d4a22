// Values: bytes and types as given, enumeration order, buffer sizes, key information, handles.
#include <cstring>

#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

class RegistryValues : public RegistryTest {
 protected:
  void SetUp() override { ASSERT_EQ(key_.Create(HKEY_CURRENT_USER, u"Software\\Test"), ERROR_SUCCESS); }
  RegKey key_;
};

TEST_F(RegistryValues, EnumerationFollowsCreationOrderAndReplacingKeepsThePlace) {
  for (const char16_t* name : {u"zeta", u"alpha", u"mid"}) ASSERT_EQ(SetSz(key_, name, u"1"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_, u"ALPHA", 2), ERROR_SUCCESS);  // replaced, also with another type
  EXPECT_EQ(ValueNames(key_), (std::vector<std::u16string>{u"zeta", u"alpha", u"mid"}));
  const RegValue alpha = ReadValue(key_, u"alpha");
  EXPECT_EQ(alpha.type, REG_DWORD);
}

TEST_F(RegistryValues, DeletingAValueClosesTheGapAndRecreatingItPutsItLast) {
  for (const char16_t* name : {u"a", u"b", u"c", u"d"}) ASSERT_EQ(SetSz(key_, name, u"x"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key_, u"b"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key_), (std::vector<std::u16string>{u"a", u"c", u"d"}));

  WCHAR name[8];
  DWORD chars = 8;
  ASSERT_EQ(RegEnumValueW(key_, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, chars), u"c");
  chars = 8;
  EXPECT_EQ(RegEnumValueW(key_, 3, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  ASSERT_EQ(SetSz(key_, u"b", u"again"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key_), (std::vector<std::u16string>{u"a", u"c", u"d", u"b"}));
}

TEST_F(RegistryValues, OrderSurvivesReopeningTheHive) {
  for (const char16_t* name : {u"3", u"1", u"2"}) ASSERT_EQ(SetSz(key_, name, u""), ERROR_SUCCESS);
  key_.Close();
  mivo::reg::ResetForTesting();
  RegKey reopened;
  ASSERT_EQ(reopened.Open(HKEY_CURRENT_USER, u"Software\\Test", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(reopened), (std::vector<std::u16string>{u"3", u"1", u"2"}));
}

struct TypedValue {
  DWORD type;
  std::string bytes;
};

TEST_F(RegistryValues, EveryTypeKeepsItsTypeAndExactBytes) {
  std::string binary;
  for (int i = 0; i < 100000; ++i) binary += static_cast<char>((i * 7) & 0xFF);
  const std::vector<TypedValue> values = {
      {REG_NONE, ""},
      {REG_NONE, std::string("\x01\x02", 2)},
      {REG_SZ, SzBytes(u"text \u0416\u4E2D\U0001F600")},
      {REG_SZ, std::string("no terminator", 13)},  // odd size, not even UTF-16
      {REG_SZ, ""},
      {REG_EXPAND_SZ, SzBytes(u"%HOME%\\x")},
      {REG_BINARY, std::string("\0\0\xFF\0", 4)},
      {REG_BINARY, binary},
      {REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
      {REG_DWORD, std::string("\x01\x02", 2)},  // a DWORD of the wrong size is kept as given
      {5, std::string("\x12\x34\x56\x78", 4)},  // REG_DWORD_BIG_ENDIAN
      {REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
      {REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {0x12345678, "any type number"},
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    ASSERT_EQ(SetBytes(key_, name.c_str(), values[i].type, values[i].bytes), ERROR_SUCCESS) << i;
  }
  mivo::reg::ResetForTesting();  // read back from the file, not from a cache
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    const RegValue read = ReadValue(key_, name.c_str());
    ASSERT_EQ(read.status, ERROR_SUCCESS) << i;
    EXPECT_EQ(read.type, values[i].type) << i;
    EXPECT_EQ(read.bytes, values[i].bytes) << i;
  }
}

TEST_F(RegistryValues, QueryWithoutBufferReportsTypeAndSize) {
  ASSERT_EQ(SetSz(key_, u"s", u"hello"), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key_, u"s", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12U);
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key_, u"s", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
}

TEST_F(RegistryValues, BufferTooSmallGivesMoreDataTheNeededSizeAndTheType) {
  ASSERT_EQ(SetSz(key_, u"s", u"hello"), ERROR_SUCCESS);
  BYTE buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  DWORD type = 0, size = 11;
  EXPECT_EQ(RegQueryValueExW(key_, u"s", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12U);
  EXPECT_EQ(type, REG_SZ);

  size = 12;
  ASSERT_EQ(RegQueryValueExW(key_, u"s", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 12), SzBytes(u"hello"));
  EXPECT_EQ(buffer[12], 0xAA);  // nothing written past the value

  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExW(key_, u"s", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12U);
}

TEST_F(RegistryValues, EmptyValueReadsWithZeroSize) {
  ASSERT_EQ(RegSetValueExW(key_, u"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  BYTE buffer[4];
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, u"empty", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0U);
  EXPECT_EQ(type, REG_BINARY);
}

TEST_F(RegistryValues, MissingValueIsFileNotFound) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, u"nothing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key_, u"nothing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, ContradictoryBufferArgumentsAreRefused) {
  BYTE buffer[4];
  EXPECT_EQ(RegQueryValueExW(key_, u"x", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(key_, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadValue(key_, u"x").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, EnumValueNeedsRoomForTheTerminator) {
  ASSERT_EQ(SetDword(key_, u"abcd", 9), ERROR_SUCCESS);
  WCHAR name[8];
  DWORD chars = 4;
  EXPECT_EQ(RegEnumValueW(key_, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 5;
  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegEnumValueW(key_, 0, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(chars, 4U);
  EXPECT_EQ(std::u16string(name), u"abcd");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 9U);
  EXPECT_EQ(size, 4U);
}

TEST_F(RegistryValues, EnumValueWithSmallDataBufferReportsTheSizeNeeded) {
  ASSERT_EQ(SetSz(key_, u"n", u"long text"), ERROR_SUCCESS);
  WCHAR name[8];
  DWORD chars = 8;
  BYTE data[4];
  DWORD size = sizeof data;
  EXPECT_EQ(RegEnumValueW(key_, 0, name, &chars, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 20U);
}

TEST_F(RegistryValues, QueryInfoKeyCountsInCharactersWithoutTerminator) {
  ASSERT_EQ(SetSz(key_, u"seven77", u"1234567890"), ERROR_SUCCESS);  // 22 bytes
  ASSERT_EQ(SetDword(key_, u"\U0001F600", 1), ERROR_SUCCESS);        // two UTF-16 units
  for (const char16_t* name : {u"sub", u"longer_sub"}) {
    RegKey sub;
    ASSERT_EQ(sub.Create(key_, name), ERROR_SUCCESS);
  }
  DWORD subkeys = 0, maxSubkey = 0, maxClass = 9, values = 0, maxName = 0, maxData = 0;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, &maxClass, &values,
                             &maxName, &maxData, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2U);
  EXPECT_EQ(maxSubkey, 10U);
  EXPECT_EQ(maxClass, 0U);
  EXPECT_EQ(values, 2U);
  EXPECT_EQ(maxName, 7U);
  EXPECT_EQ(maxData, 22U);
  EXPECT_NE(written.dwHighDateTime, 0U);
}

TEST_F(RegistryValues, QueryInfoKeyOfAnEmptyKeyIsAllZero) {
  RegKey empty;
  ASSERT_EQ(empty.Create(key_, u"empty"), ERROR_SUCCESS);
  DWORD subkeys = 1, maxSubkey = 1, values = 1, maxName = 1, maxData = 1;
  ASSERT_EQ(RegQueryInfoKeyW(empty, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                             &maxName, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys + maxSubkey + values + maxName + maxData, 0U);
}

TEST_F(RegistryValues, EnumKeyNeedsRoomForTheTerminator) {
  RegKey sub;
  ASSERT_EQ(sub.Create(key_, u"abc"), ERROR_SUCCESS);
  WCHAR name[8];
  DWORD chars = 3;
  EXPECT_EQ(RegEnumKeyExW(key_, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 4;
  ASSERT_EQ(RegEnumKeyExW(key_, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(chars, 3U);
  EXPECT_EQ(std::u16string(name), u"abc");
  chars = 8;
  EXPECT_EQ(RegEnumKeyExW(key_, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryValues, HandlesThatAreNotOpenKeysAreInvalid) {
  const HKEY classesRoot = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000U));
  int notAKey = 0;
  const HKEY bogus = reinterpret_cast<HKEY>(&notAKey);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(classesRoot, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(bogus, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(nullptr, u"x", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);

  HKEY closed = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined roots stay usable
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"afterClose", 1), ERROR_SUCCESS);
}

TEST_F(RegistryValues, ValuesOnTheRootKeyWork) {
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"top", 5), ERROR_SUCCESS);
  const RegValue read = ReadValue(HKEY_LOCAL_MACHINE, u"TOP");
  ASSERT_EQ(read.status, ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, std::string("\x05\0\0\0", 4));
}

}  // namespace
}  // namespace mivo::test
