// The single-byte code pages the system converts with (874, 1250 to 1258): Windows' own conversions
// (MultiByteToWideChar, WideCharToMultiByte; under Wine, Wine's tables) against the tables of the Linux
// build (platform/win32/codepages.cpp, compiled into this test), every byte decoded and every UTF-16 unit
// encoded. Every difference is listed in kKnownDifferences with its reason; any other fails the test, and
// so does a listed one that no longer occurs.
#include "platform/win32/codepages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/codepages_build.h"
#include "platform/win32/winnls.h"

namespace mivo::nls {
// This test compares the single-byte pages only.
std::unique_ptr<CodePage> BuildDoubleBytePage(UINT) { return nullptr; }
}  // namespace mivo::nls

namespace {

constexpr UINT kPages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};

enum class Way { kDecode, kEncode };

struct Difference {
  UINT page;
  Way way;
  unsigned code;     // the byte decoded, or the UTF-16 unit encoded
  unsigned linux_;   // the Linux build's result: a UTF-16 unit, or a byte (0x100 + byte: the default '?')
  unsigned windows;  // Windows' result, the same way
  bool operator==(const Difference& o) const {
    return page == o.page && way == o.way && code == o.code && linux_ == o.linux_ && windows == o.windows;
  }
};

struct KnownDifference {
  Difference difference;
  const char* reason;
};

// Where Wine's tables are known to differ from Windows' (and so from the Linux build's, which are Windows').
const std::vector<KnownDifference> kKnownDifferences = {
#include "codepages_known_differences.inc"
};

// An encoded result: the byte, or 0x100 + the byte when the default character was used.
unsigned Encoded(unsigned char byte, bool used_default) { return used_default ? 0x100u + byte : byte; }

std::vector<Difference> Compare(UINT number) {
  std::vector<Difference> found;
  const mivo::nls::CodePage* page = mivo::nls::FindCodePage(number);
  if (page == nullptr) {
    ADD_FAILURE() << "the Linux tables have no code page " << number;
    return found;
  }
  for (unsigned b = 0; b < 0x100; ++b) {
    const char byte = static_cast<char>(b);
    const auto ours = static_cast<BYTE>(b);
    const unsigned linux_unit = page->Decode(&ours, 1).unit;
    char16_t unit = 0;
    const int n = MultiByteToWideChar(number, 0, &byte, 1, &unit, 1);
    const unsigned windows_unit = n == 1 ? unit : 0xFFFFFFFFu;
    if (linux_unit != windows_unit) found.push_back({number, Way::kDecode, b, linux_unit, windows_unit});
  }
  for (unsigned u = 0; u < 0x10000; ++u) {
    const char16_t unit = static_cast<char16_t>(u);
    const std::uint16_t code = page->Encode(unit);
    const unsigned linux_result =
        code == mivo::nls::CodePage::kNoCode ? Encoded('?', true) : Encoded(code, false);
    char out[4] = {};
    BOOL used = FALSE;
    const int n = WideCharToMultiByte(number, WC_NO_BEST_FIT_CHARS, &unit, 1, out, sizeof out, "?", &used);
    const unsigned windows_result =
        n == 1 ? Encoded(static_cast<unsigned char>(out[0]), used != FALSE) : 0xFFFFFFFFu;
    if (linux_result != windows_result)
      found.push_back({number, Way::kEncode, u, linux_result, windows_result});
  }
  return found;
}

std::string Describe(const Difference& d) {
  char line[160];
  std::snprintf(line, sizeof line, "{%u, Way::%s, 0x%04X, 0x%04X, 0x%04X}", d.page,
                d.way == Way::kDecode ? "kDecode" : "kEncode", d.code, d.linux_, d.windows);
  return line;
}

TEST(WindowsCodePages, AgreeWithTheLinuxTablesOnEveryByteAndUnitExceptTheListedOnes) {
  std::vector<Difference> found;
  for (UINT number : kPages) {
    const auto page = Compare(number);
    found.insert(found.end(), page.begin(), page.end());
  }
  std::string unexpected;
  for (const Difference& d : found) {
    const bool known = std::any_of(std::begin(kKnownDifferences), std::end(kKnownDifferences),
                                   [&](const KnownDifference& k) { return k.difference == d; });
    if (!known) unexpected += "  " + Describe(d) + ",\n";
  }
  std::string vanished;
  for (const KnownDifference& k : kKnownDifferences) {
    if (std::find(found.begin(), found.end(), k.difference) == found.end()) {
      vanished += "  " + Describe(k.difference) + " (" + k.reason + ")\n";
    }
  }
  EXPECT_EQ(unexpected, "") << "differences not listed (page, way, code, Linux, Windows):\n" << unexpected;
  EXPECT_EQ(vanished, "") << "listed differences that no longer occur:\n" << vanished;
  std::printf("[ INFO     ] %zu listed differences between Windows' conversions and the Linux tables\n",
              found.size());
}

}  // namespace
