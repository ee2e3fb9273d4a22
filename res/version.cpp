// The executable's version resource on Linux, laid out at compile time as the resource compiler lays out
// VS_VERSION_INFO from res/version.rc (the Windows build's resource), with the same data
// (res/version_data.h):
//
//   VS_VERSION_INFO VERSIONINFO
//     FILEVERSION 3,1,1,0  PRODUCTVERSION 3,1,1,0  FILEFLAGSMASK 0x3F  FILEOS VOS__WINDOWS32  FILETYPE
//     VFT_APP BLOCK "StringFileInfo" { BLOCK "040704B0" { VALUE "FileDescription", "Mivo DataBase" ... } }
//     BLOCK "VarFileInfo" { VALUE "Translation", 0x0407, 0x04B0 }
//
// Every structure starts with wLength (its bytes up to the end of its last child, without padding after
// it), wValueLength (characters for text values including the zero, bytes for binary ones) and wType
// (1 text, 0 binary), then its zero-terminated key; value and children each start on a DWORD boundary.
#include "res/version.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/win32/winbase.h"
#include "res/version_data.h"

namespace {

constexpr std::size_t kCapacity = 2048;

// A version block under construction, little-endian whatever the build machine.
struct BlockWriter {
  std::array<std::uint8_t, kCapacity> bytes{};
  std::size_t size = 0;

  constexpr void Byte(std::uint8_t b) {
    if (size == kCapacity) throw "version block larger than kCapacity";
    bytes[size++] = b;
  }
  constexpr void Word(std::uint16_t w) {
    Byte(static_cast<std::uint8_t>(w & 0xFF));
    Byte(static_cast<std::uint8_t>(w >> 8));
  }
  constexpr void Dword(std::uint32_t d) {
    Word(static_cast<std::uint16_t>(d & 0xFFFF));
    Word(static_cast<std::uint16_t>(d >> 16));
  }
  constexpr void Align() {
    while (size % 4 != 0) Byte(0);
  }
  constexpr void Text(std::u16string_view s) {
    for (char16_t c : s) Word(c);
    Word(0);
  }
  // Opens a structure on the next DWORD boundary: header (wLength filled in by End), key, padding.
  constexpr std::size_t Begin(std::u16string_view key, std::uint16_t valueLength, std::uint16_t type) {
    Align();
    const std::size_t start = size;
    Word(0);
    Word(valueLength);
    Word(type);
    Text(key);
    Align();
    return start;
  }
  constexpr void End(std::size_t start) {
    const std::size_t length = size - start;
    if (length > 0xFFFF) throw "version structure longer than a WORD can say";
    bytes[start] = static_cast<std::uint8_t>(length & 0xFF);
    bytes[start + 1] = static_cast<std::uint8_t>(length >> 8);
  }
  constexpr void String(std::u16string_view key, std::u16string_view value) {
    const std::size_t start = Begin(key, static_cast<std::uint16_t>(value.size() + 1), 1);
    Text(value);
    End(start);
  }
};

constexpr DWORD kVersionMS = (MIVO_VER_MAJOR << 16) | MIVO_VER_MINOR;
constexpr DWORD kVersionLS = (MIVO_VER_BUILD << 16) | MIVO_VER_REVISION;
constexpr WORD kLanguage = MIVO_VER_LANGUAGE;
constexpr WORD kCodePage = MIVO_VER_CODEPAGE;

// The string table's name is the language and code page in hexadecimal (upper case, 4 digits each).
constexpr bool TableNameMatches(std::string_view name) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  const unsigned both = (static_cast<unsigned>(kLanguage) << 16) | kCodePage;
  if (name.size() != 8) return false;
  for (int i = 0; i < 8; ++i) {
    if (name[static_cast<std::size_t>(i)] != kDigits[(both >> (28 - 4 * i)) & 0xF]) return false;
  }
  return true;
}
static_assert(TableNameMatches(MIVO_VER_TABLE),
              "MIVO_VER_TABLE must name MIVO_VER_LANGUAGE and MIVO_VER_CODEPAGE");

constexpr BlockWriter BuildVersionBlock() {
  BlockWriter w;
  const std::size_t root = w.Begin(u"VS_VERSION_INFO", sizeof(VS_FIXEDFILEINFO), 0);
  w.Dword(VS_FFI_SIGNATURE);
  w.Dword(VS_FFI_STRUCVERSION);
  w.Dword(kVersionMS);  // file version
  w.Dword(kVersionLS);
  w.Dword(kVersionMS);  // product version
  w.Dword(kVersionLS);
  w.Dword(VS_FFI_FILEFLAGSMASK);
  w.Dword(0);  // file flags: a release build
  w.Dword(VOS__WINDOWS32);
  w.Dword(VFT_APP);
  w.Dword(VFT2_UNKNOWN);
  w.Dword(0);  // file date, not kept
  w.Dword(0);

  const std::size_t stringInfo = w.Begin(u"StringFileInfo", 0, 1);
  const std::size_t table = w.Begin(u"" MIVO_VER_TABLE, 0, 1);
  w.String(u"FileDescription", u"" MIVO_VER_FILE_DESCRIPTION);
  w.String(u"FileVersion", u"" MIVO_VER_TEXT);
  w.String(u"InternalName", u"" MIVO_VER_INTERNAL_NAME);
  w.String(u"OriginalFilename", u"" MIVO_VER_ORIGINAL_FILENAME);
  w.String(u"ProductName", u"" MIVO_VER_PRODUCT_NAME);
  w.String(u"ProductVersion", u"" MIVO_VER_TEXT);
  w.String(u"OLESelfRegister", u"");
  w.End(table);
  w.End(stringInfo);

  const std::size_t varInfo = w.Begin(u"VarFileInfo", 0, 1);
  const std::size_t translation = w.Begin(u"Translation", 4, 0);
  w.Word(kLanguage);
  w.Word(kCodePage);
  w.End(translation);
  w.End(varInfo);

  w.End(root);
  return w;
}

constexpr BlockWriter kBuilt = BuildVersionBlock();
static_assert(kBuilt.size % 4 == 0 && kBuilt.bytes[0] + 256 * kBuilt.bytes[1] == kBuilt.size,
              "the root structure spans the whole block");

template <std::size_t N>
constexpr std::array<std::uint8_t, N> Exactly(const BlockWriter& w) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = w.bytes[i];
  return out;
}

#if defined(__ELF__) && defined(__has_attribute) && __has_attribute(retain)
#define MIVO_RETAIN __attribute__((retain))
#else
#define MIVO_RETAIN
#endif

// In a section of its own. `used` keeps it in the object file although nothing reads it by name; a program
// keeps the object by linking this library as a whole or by calling MivoVersionResource().
using VersionBytes = std::array<std::uint8_t, kBuilt.size>;
alignas(4) __attribute__((section(MIVO_VERSION_SECTION), used)) MIVO_RETAIN
    constexpr VersionBytes kVersionBlock = Exactly<kBuilt.size>(kBuilt);

}  // namespace

std::span<const std::uint8_t> MivoVersionResource() { return kVersionBlock; }
