// GetFileVersionInfoSizeW and GetFileVersionInfoW on real, foreign, damaged and hand-built ELF files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winbase.h"
#include "res/version.h"
#include "support/TestEnv.h"
#include "tests/platform/win32/version_block.h"

#ifndef MIVO_TEST_PROGRAM_WITHOUT_VERSION
#error "the build names a program without a version block"
#endif

namespace {

std::vector<BYTE> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SelfPath() {
  WCHAR buffer[4096];
  return AfxToUtf8(CString(buffer, GetModuleFileNameW(nullptr, buffer, 4096)));
}

// GetFileVersionInfoSizeW for `path`, with its last error; it always resets the handle.
DWORD SizeOf(const std::string& path, DWORD* error = nullptr) {
  SetLastError(ERROR_SUCCESS);
  DWORD handle = 77;
  const DWORD size = GetFileVersionInfoSizeW(AfxFromUtf8(path).c_str(), &handle);
  if (error != nullptr) *error = GetLastError();
  EXPECT_EQ(handle, 0u);
  return size;
}

std::vector<BYTE> BlockOf(const std::string& path) {
  std::vector<BYTE> block(SizeOf(path));
  if (block.empty() || !GetFileVersionInfoW(AfxFromUtf8(path).c_str(), 0, block.size(), block.data()))
    return {};
  return block;
}

std::u16string StringOf(const std::vector<BYTE>& block, const std::string& path) {
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), AfxFromUtf8(path).c_str(), &value, &length)) return u"<missing>";
  return static_cast<const char16_t*>(value);
}

// A minimal ELF file of either class and byte order with three sections: null, version, section names.
struct ElfImage {
  enum HeaderField { kShoff, kShentsize, kShnum, kShstrndx };
  enum SectionField { kName, kType, kOffset, kSize, kLink };
  static constexpr std::size_t kContent = 64;  // where the version section's content starts

  ElfImage(bool wide, bool big, const std::vector<BYTE>& content, bool extended = false)
      : wide(wide), big(big) {
    bytes = {0x7F, 'E', 'L', 'F', BYTE(wide ? 2 : 1), BYTE(big ? 2 : 1), 1};
    bytes.resize(kContent);
    Put(16, 2, 2);  // e_type: executable
    Put(20, 4, 1);  // e_version
    bytes.insert(bytes.end(), content.begin(), content.end());
    const std::string names = std::string(1, '\0') + ".mivo_version" + '\0' + ".shstrtab" + '\0';
    const std::size_t namesAt = bytes.size();
    bytes.insert(bytes.end(), names.begin(), names.end());
    bytes.resize((bytes.size() + 7) / 8 * 8);
    table = bytes.size();
    bytes.resize(table + 3 * (wide ? 64 : 40));
    SetHeader(kShoff, table);
    SetHeader(kShentsize, wide ? 64 : 40);
    SetHeader(kShnum, extended ? 0 : 3);  // extended numbering keeps count and name index in section 0
    SetHeader(kShstrndx, extended ? 0xFFFF : 2);
    if (extended) SetSection(0, kSize, 3), SetSection(0, kLink, 2);
    SetSection(1, kName, 1), SetSection(1, kType, 1), SetSection(1, kOffset, kContent);
    SetSection(1, kSize, content.size());
    SetSection(2, kName, 15), SetSection(2, kType, 3), SetSection(2, kOffset, namesAt);
    SetSection(2, kSize, names.size());
  }
  void SetHeader(HeaderField f, std::uint64_t v) {
    static constexpr std::size_t k32[][2] = {{32, 4}, {46, 2}, {48, 2}, {50, 2}};
    static constexpr std::size_t k64[][2] = {{40, 8}, {58, 2}, {60, 2}, {62, 2}};
    Put((wide ? k64 : k32)[f][0], (wide ? k64 : k32)[f][1], v);
  }
  void SetSection(std::size_t index, SectionField f, std::uint64_t v) {
    static constexpr std::size_t k32[][2] = {{0, 4}, {4, 4}, {16, 4}, {20, 4}, {24, 4}};
    static constexpr std::size_t k64[][2] = {{0, 4}, {4, 4}, {24, 8}, {32, 8}, {40, 4}};
    Put(table + index * (wide ? 64 : 40) + (wide ? k64 : k32)[f][0], (wide ? k64 : k32)[f][1], v);
  }
  void Put(std::size_t at, std::size_t width, std::uint64_t v) {
    for (std::size_t i = 0; i < width; ++i) bytes[at + (big ? width - 1 - i : i)] = BYTE(v >> (8 * i));
  }

  bool wide, big;
  std::vector<BYTE> bytes;
  std::size_t table = 0;
};

class VersionFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::vector<BYTE>& bytes) {
    mivo::test::WriteFile(dir_.File(name), std::string(bytes.begin(), bytes.end()));
    return dir_.File(name);
  }
  mivo::test::TempDir dir_;
};

TEST_F(VersionFile, ProgramWithTheBlockAnswersItByteForByte) {
  const std::vector<BYTE> block = BlockOf(SelfPath());
  ASSERT_EQ(block, ServerBlock());
  // As the server reads its own version: the translation names the string table.
  LPVOID translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translation, &length));
  WORD pair[2];
  std::memcpy(pair, translation, sizeof pair);
  char path[64];
  std::snprintf(path, sizeof path, "\\StringFileInfo\\%04X%04X\\FileVersion", pair[0], pair[1]);
  EXPECT_EQ(StringOf(block, path), u"3.1.1.0");
}

TEST_F(VersionFile, ServerExecutableCarriesTheBlock) {
  const std::string server = mivo::test::ServerPath();
  if (::access(server.c_str(), R_OK) != 0) GTEST_SKIP() << "no server built at " << server;
  const std::vector<BYTE> block = BlockOf(server);
  EXPECT_EQ(StringOf(block, "\\StringFileInfo\\040704B0\\InternalName"), u"MivoDB");
  EXPECT_EQ(StringOf(block, "\\StringFileInfo\\040704B0\\FileVersion"), u"3.1.1.0");
}

TEST_F(VersionFile, ProgramsWithoutTheBlockHaveNone) {
  for (const std::string& program :
       {std::string(MIVO_TEST_PROGRAM_WITHOUT_VERSION), std::string("/bin/true")}) {
    if (::access(program.c_str(), R_OK) != 0) continue;
    DWORD error = 0;
    EXPECT_EQ(SizeOf(program, &error), 0u) << program;
    EXPECT_EQ(error, ERROR_RESOURCE_TYPE_NOT_FOUND) << program;
  }
}

TEST_F(VersionFile, FilesThatAreNoElfProgramsHaveNone) {
  const std::string notes = Write("notes.txt", {'h', 'i', '\n'});
  const std::string fifo = dir_.File("fifo");  // must not block
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::pair<std::string, DWORD> cases[] = {
      {notes, ERROR_BAD_EXE_FORMAT},
      {Write("empty", {}), ERROR_BAD_EXE_FORMAT},
      {Write("magic-only", {0x7F, 'E', 'L', 'F', 2, 1, 1}), ERROR_BAD_EXE_FORMAT},
      {fifo, ERROR_BAD_EXE_FORMAT},
      {dir_.path(), ERROR_BAD_EXE_FORMAT},
      {dir_.File("missing"), ERROR_FILE_NOT_FOUND},
      {notes + "/inside", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& [path, expected] : cases) {
    DWORD error = 0;
    EXPECT_EQ(SizeOf(path, &error), 0u) << path;
    EXPECT_EQ(error, expected) << path;
    BYTE buffer[64];
    EXPECT_FALSE(GetFileVersionInfoW(AfxFromUtf8(path).c_str(), 0, sizeof buffer, buffer)) << path;
  }
  EXPECT_EQ(GetFileVersionInfoSizeW(nullptr, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(VersionFile, TruncatedCopiesOfTheProgramHaveNone) {
  const std::vector<BYTE> whole = ReadAll(SelfPath());
  ASSERT_GT(whole.size(), 4096u);
  std::vector<std::size_t> cuts = {1, 16, 63, 64, whole.size() - 1};
  for (std::size_t i = 1; i < 24; ++i) cuts.push_back(whole.size() / 24 * i);
  for (std::size_t cut : cuts) {
    DWORD error = 0;
    EXPECT_EQ(SizeOf(Write("cut", std::vector<BYTE>(whole.begin(), whole.begin() + cut)), &error), 0u) << cut;
    EXPECT_EQ(error, ERROR_BAD_EXE_FORMAT) << cut;
  }
}

TEST_F(VersionFile, SmallBufferGetsTheBlockCutToItsSize) {
  const std::u16string self = AfxFromUtf8(SelfPath());
  std::vector<BYTE> buffer(200, 0xCC);
  ASSERT_TRUE(GetFileVersionInfoW(self.c_str(), 0, 100, buffer.data()));
  EXPECT_EQ(buffer[0] | (buffer[1] << 8), 100);
  EXPECT_TRUE(std::all_of(buffer.begin() + 100, buffer.end(), [](BYTE b) { return b == 0xCC; }));
  EXPECT_NE(StringOf(buffer, "\\"), u"<missing>");
  EXPECT_EQ(StringOf(buffer, "\\VarFileInfo\\Translation"), u"<missing>");

  EXPECT_FALSE(GetFileVersionInfoW(self.c_str(), 0, 5, buffer.data()));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(GetFileVersionInfoW(self.c_str(), 0, 100, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

struct ElfKind {
  bool wide, big, extended;
};
class HandBuiltElf : public VersionFile, public ::testing::WithParamInterface<ElfKind> {};

TEST_P(HandBuiltElf, VersionSectionIsFoundInEveryClassAndByteOrder) {
  const ElfImage image(GetParam().wide, GetParam().big, ServerBlock(), GetParam().extended);
  EXPECT_EQ(BlockOf(Write("built", image.bytes)), ServerBlock());
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandBuiltElf,
                         ::testing::Values(ElfKind{true, false, false}, ElfKind{true, true, false},
                                           ElfKind{false, false, false}, ElfKind{false, true, false},
                                           ElfKind{true, false, true}, ElfKind{false, true, true}));

TEST_F(VersionFile, MalformedHeadersAndSectionsAreRefused) {
  using E = ElfImage;
  const std::uint64_t huge = 0xFFFFFFFFFFFFFFF0ULL;
  const std::tuple<const char*, std::function<void(E&)>, DWORD> cases[] = {
      {"broken magic", [](E& e) { e.bytes[1] = 'X'; }, ERROR_BAD_EXE_FORMAT},
      {"unknown class", [](E& e) { e.bytes[4] = 3; }, ERROR_BAD_EXE_FORMAT},
      {"unknown byte order", [](E& e) { e.bytes[5] = 0; }, ERROR_BAD_EXE_FORMAT},
      {"section table past the end", [](E& e) { e.SetHeader(E::kShoff, e.bytes.size()); },
       ERROR_BAD_EXE_FORMAT},
      {"section table offset overflows", [&](E& e) { e.SetHeader(E::kShoff, huge); }, ERROR_BAD_EXE_FORMAT},
      {"more sections than the file holds", [](E& e) { e.SetHeader(E::kShnum, 0xFEFF); },
       ERROR_BAD_EXE_FORMAT},
      {"section count overflowing the table size",
       [](E& e) { e.SetHeader(E::kShnum, 0), e.SetSection(0, E::kSize, (1ULL << 58) + 3); },
       ERROR_BAD_EXE_FORMAT},
      {"section headers too small", [](E& e) { e.SetHeader(E::kShentsize, 16); }, ERROR_BAD_EXE_FORMAT},
      {"name table index beyond the sections", [](E& e) { e.SetHeader(E::kShstrndx, 7); },
       ERROR_BAD_EXE_FORMAT},
      {"name table past the end", [](E& e) { e.SetSection(2, E::kOffset, e.bytes.size()); },
       ERROR_BAD_EXE_FORMAT},
      {"name table larger than the file", [&](E& e) { e.SetSection(2, E::kSize, huge); },
       ERROR_BAD_EXE_FORMAT},
      {"name table offset overflows", [](E& e) { e.SetSection(2, E::kOffset, ~0ULL); }, ERROR_BAD_EXE_FORMAT},
      {"version section past the end", [](E& e) { e.SetSection(1, E::kOffset, e.bytes.size() - 4); },
       ERROR_BAD_EXE_FORMAT},
      {"version section larger than the file",
       [&](E& e) { e.SetSection(1, E::kSize, huge), e.bytes.resize(e.bytes.size() + 0x10000); },
       ERROR_BAD_EXE_FORMAT},
      {"no section table", [](E& e) { e.SetHeader(E::kShoff, 0); }, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"version section named otherwise", [](E& e) { e.SetSection(1, E::kName, 15); },
       ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"name beyond the name table", [](E& e) { e.SetSection(1, E::kName, 0x7FFFFFFF); },
       ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"version section without content", [](E& e) { e.SetSection(1, E::kType, 8); },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"version section too short", [](E& e) { e.SetSection(1, E::kSize, 4); },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"block longer than its section", [](E& e) { e.SetSection(1, E::kSize, 100); },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"root key other than VS_VERSION_INFO", [](E& e) { e.bytes[E::kContent + 6] = 'X'; },
       ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const auto& [what, damage, expected] : cases) {
    ElfImage image(true, false, ServerBlock());
    damage(image);
    DWORD error = 0;
    EXPECT_EQ(SizeOf(Write("damaged", image.bytes), &error), 0u) << what;
    EXPECT_EQ(error, expected) << what;
  }
}

// Every byte of the ELF header and the section table replaced by hostile values: each file is either
// refused with a reason or yields a block that lies inside it.
TEST_F(VersionFile, NoDamagedHeaderByteLeadsOutsideTheFile) {
  const ElfImage intact(true, false, ServerBlock());
  int refused = 0;
  for (std::size_t at = 0; at < intact.bytes.size(); at = at + 1 == 64 ? intact.table : at + 1) {
    for (BYTE replacement : {BYTE{0x00}, BYTE{0xFF}, BYTE{0x80}, BYTE(intact.bytes[at] ^ 0x01)}) {
      std::vector<BYTE> bytes = intact.bytes;
      bytes[at] = replacement;
      DWORD error = 0;
      const std::string path = Write("fuzzed", bytes);
      const DWORD size = SizeOf(path, &error);
      if (size == 0) {
        ++refused;
        ASSERT_TRUE(error == ERROR_BAD_EXE_FORMAT || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
                    error == ERROR_RESOURCE_DATA_NOT_FOUND)
            << "byte " << at << ": error " << error;
        continue;
      }
      ASSERT_LE(size, bytes.size()) << "byte " << at;
      std::vector<BYTE> block(size);
      ASSERT_TRUE(GetFileVersionInfoW(AfxFromUtf8(path).c_str(), 0, size, block.data()));
      ASSERT_EQ(block[0] | (block[1] << 8), static_cast<int>(size)) << "byte " << at;
    }
  }
  EXPECT_GT(refused, 0);
}

}  // namespace
