// VerQueryValueW over the executable's version block, intact and damaged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/winbase.h"
#include "res/version.h"
#include "tests/platform/win32/version_block.h"

namespace {

WORD WordAt(const std::vector<BYTE>& b, std::size_t at) {
  return static_cast<WORD>(b[at] | (b[at + 1] << 8));
}
void SetWord(std::vector<BYTE>& b, std::size_t at, WORD v) {
  b[at] = static_cast<BYTE>(v & 0xFF);
  b[at + 1] = static_cast<BYTE>(v >> 8);
}

// Offset of the structure whose zero-terminated UTF-16LE key `key` follows its six header bytes.
std::size_t StructureOf(const std::vector<BYTE>& b, const std::u16string& key) {
  std::vector<BYTE> pattern;
  for (char16_t c : key + u'\0') pattern.insert(pattern.end(), {BYTE(c & 0xFF), BYTE(c >> 8)});
  for (std::size_t at = 6; at + pattern.size() <= b.size(); at += 2) {
    if (std::memcmp(b.data() + at, pattern.data(), pattern.size()) == 0) return at - 6;
  }
  ADD_FAILURE() << "no structure with that key";
  return 0;
}

// VerQueryValueW, checking that a failure leaves no answer behind.
bool Query(const std::vector<BYTE>& block, const std::u16string& path, LPVOID* out = nullptr,
           UINT* len = nullptr) {
  LPVOID value = reinterpret_cast<LPVOID>(1);
  UINT length = 12345;
  const BOOL ok = VerQueryValueW(block.data(), path.c_str(), &value, &length);
  if (!ok) {
    EXPECT_TRUE(value == nullptr && length == 0) << "failure left an answer";
  }
  if (out != nullptr) *out = value;
  if (len != nullptr) *len = length;
  return ok;
}

const std::u16string kTable = u"\\StringFileInfo\\040704B0\\";

TEST(VersionQuery, AnswersEveryStringWithItsLengthIncludingTheTerminator) {
  const auto block = ServerBlock();
  const std::pair<std::u16string, std::u16string> expected[] = {
      {u"FileVersion", u"3.1.1.0"},
      {u"ProductVersion", u"3.1.1.0"},
      {u"InternalName", u"MivoDB"},
      {u"ProductName", u"MivoDB Text and Configuration Server"},
      {u"FileDescription", u"Mivo DataBase"},
      {u"OriginalFilename", u"MivoDB.exe"},
      {u"OLESelfRegister", u""},
      {u"originalFILENAME", u"MivoDB.exe"},  // keys match without regard to case
  };
  for (const auto& [name, text] : expected) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    LPVOID value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(Query(block, kTable + name, &value, &length));
    EXPECT_EQ(static_cast<const char16_t*>(value), text);
    EXPECT_EQ(length, text.size() + 1);
  }
}

TEST(VersionQuery, AnswersTheTranslationAndTheFixedVersion) {
  const auto block = ServerBlock();
  LPVOID value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Query(block, u"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  WORD pair[2];
  std::memcpy(pair, value, sizeof pair);
  EXPECT_EQ(pair[0], 0x0407);
  EXPECT_EQ(pair[1], 0x04B0);

  ASSERT_TRUE(Query(block, u"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  EXPECT_EQ(info.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(info.dwFileVersionMS, 0x00030001u);
  EXPECT_EQ(info.dwFileVersionLS, 0x00010000u);
  EXPECT_EQ(info.dwProductVersionMS, 0x00030001u);
  EXPECT_EQ(info.dwProductVersionLS, 0x00010000u);
}

TEST(VersionQuery, EveryStructureStartsOnADwordBoundary) {
  const auto block = ServerBlock();
  EXPECT_EQ(WordAt(block, 0), block.size());
  for (const char16_t* key : {u"StringFileInfo", u"040704B0", u"FileDescription", u"FileVersion",
                              u"InternalName", u"OLESelfRegister", u"VarFileInfo", u"Translation"}) {
    EXPECT_EQ(StructureOf(block, key) % 4, 0u);
  }
}

TEST(VersionQuery, MissingEntriesAndNullArgumentsFail) {
  const auto block = ServerBlock();
  for (const std::u16string& path :
       {kTable + u"CompanyName", kTable + u"File", kTable + u"FileVersionX", kTable + u"FileVersion\\More",
        std::u16string(u"\\StringFileInfo\\040904B0\\FileVersion"), std::u16string(u"\\Translation")}) {
    EXPECT_FALSE(Query(block, path)) << std::string(path.begin(), path.end());
  }
  LPVOID value = nullptr;
  UINT length = 0;
  EXPECT_FALSE(VerQueryValueW(nullptr, u"\\", &value, &length));
  EXPECT_FALSE(VerQueryValueW(block.data(), nullptr, &value, &length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// One damaged WORD makes the entries behind it fail and leaves an entry elsewhere readable.
TEST(VersionQuery, DamagedStructuresFailCleanly) {
  struct Damage {
    const char* what;
    std::u16string key;  // the structure damaged
    std::size_t at;      // offset in it: 0 wLength, 2 wValueLength, further on its key or value
    WORD value;
    std::u16string lost, kept;
  };
  const std::u16string translation = u"\\VarFileInfo\\Translation", fileVersion = kTable + u"FileVersion";
  const Damage damages[] = {
      {"string longer than its table", u"ProductVersion", 0, 0xFFFF, kTable + u"ProductVersion", translation},
      {"string value longer than the string", u"FileVersion", 2, 200, fileVersion, translation},
      {"string too short for its key", u"InternalName", 0, 10, kTable + u"InternalName", translation},
      {"string shorter than a header", u"InternalName", 0, 3, kTable + u"ProductName", translation},
      {"string without its terminator", u"FileVersion", 32 + 2 * 7, u'x', fileVersion, translation},
      {"table longer than its parent", u"040704B0", 0, 0xFFF0, kTable + u"FileDescription", translation},
      {"table of length zero", u"040704B0", 0, 0, kTable + u"FileDescription", translation},
      {"translation longer than its structure", u"Translation", 2, 0x100, translation, fileVersion},
      {"root without a whole fixed info", u"VS_VERSION_INFO", 2, 20, u"\\", u""},
      {"root cut inside the fixed info", u"VS_VERSION_INFO", 0, 60, u"\\", u""},
      {"root shorter than a header", u"VS_VERSION_INFO", 0, 4, u"", u""},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    auto block = ServerBlock();
    SetWord(block, StructureOf(block, d.key) + d.at, d.value);
    EXPECT_FALSE(Query(block, d.lost));
    if (!d.kept.empty()) {
      EXPECT_TRUE(Query(block, d.kept));
    }
  }
}

// Every WORD of the block replaced by hostile values: whatever succeeds lies inside the block's extent
// (its root wLength), and every string ends inside it.
TEST(VersionQuery, NoDamagedWordMakesAnAnswerLeaveTheBlock) {
  const auto intact = ServerBlock();
  const std::u16string paths[] = {u"\\", u"\\VarFileInfo\\Translation", kTable + u"FileVersion",
                                  kTable + u"ProductName", kTable + u"OLESelfRegister"};
  int answers = 0;
  for (std::size_t at = 0; at < intact.size(); at += 2) {
    const WORD original = WordAt(intact, at);
    for (WORD replacement :
         {WORD{0}, WORD{5}, WORD{6}, WORD{0xFFFF}, WORD(original + 2), WORD(original - 2)}) {
      auto damaged = intact;
      SetWord(damaged, at, replacement);
      const std::size_t extent = WordAt(damaged, 0);
      damaged.resize(std::max(damaged.size(), extent), 0xAA);
      // Exactly the block's extent, so that a sanitizer build sees any read past it.
      const std::vector<BYTE> block(damaged.begin(), damaged.begin() + std::max<std::size_t>(extent, 2));
      for (const auto& path : paths) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!Query(block, path, &value, &length) || length == 0) continue;
        ++answers;
        const bool text = path.starts_with(kTable);
        const auto* begin = static_cast<const BYTE*>(value);
        ASSERT_TRUE(begin >= block.data() && begin + (text ? 2 : 1) * length <= block.data() + extent)
            << "word " << at << " = " << replacement;
        if (text) {
          ASSERT_NE(std::char_traits<char16_t>::find(static_cast<const char16_t*>(value), length, u'\0'),
                    nullptr)
              << "word " << at << " = " << replacement;
        }
      }
    }
  }
  EXPECT_GT(answers, 0);
}

}  // namespace
