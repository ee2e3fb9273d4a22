// The tables of the Windows ANSI code pages that MultiByteToWideChar and WideCharToMultiByte convert with.
//
// Contract:
// - FindCodePage(number) gives the tables of code page 874, 932, 936, 949, 950 or 1250 to 1258, built the
//   first time they are asked for and kept, unchanged, for the life of the process; any other number (CP_ACP
//   and CP_UTF8 included: the callers resolve those) gives null, and so does a double-byte page whose
//   converter data the ICU installation lacks. Safe to call from several threads at once.
// - Decoding is Windows' own: every byte of a single-byte page decodes to exactly one UTF-16 unit (an
//   unassigned byte in 0x80-0x9F to the C1 control of the same value, the few others to the private-use
//   characters Windows gives them), so bytes read through such a page and encoded back with it come out
//   unchanged. A double-byte page decodes a lead byte and the byte after it as one character.
// - Encoding gives only codes that decode back to the same character (no best-fit replacements). Where
//   several codes decode to one character, the one Windows writes is chosen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32/wintypes.h"

namespace mivo::nls {

class CodePageBuilder;

class CodePage {
 public:
  // What Encode returns for a character the page lacks.
  static constexpr std::uint16_t kNoCode = 0xFFFF;

  // One decoded character: its UTF-16 unit, how many bytes it took (1 or 2) and whether the bytes were a
  // character of the page (when not, `unit` is the page's Unicode default character).
  struct Decoded {
    char16_t unit;
    int length;
    bool valid;
  };

  UINT number() const { return number_; }
  bool is_double_byte() const { return double_byte_; }
  bool IsLeadByte(BYTE b) const { return double_byte_ && lead_[b]; }
  // The character that an invalid byte sequence decodes to: U+30FB for 932, '?' for the other pages.
  char16_t unicode_default() const { return unicode_default_; }

  // Decodes the character that starts at `bytes`, of which `available` (at least 1) may be read. A lead byte
  // followed by a byte that can trail a lead byte is read as a pair (an unassigned pair decodes, invalid, to
  // the Unicode default character); a lead byte at the end, or followed by a byte that cannot trail one
  // (the terminating zero, for instance), decodes alone, invalid, to the Unicode default character, and the
  // next byte is read on its own.
  Decoded Decode(const BYTE* bytes, std::size_t available) const;

  // The code of `unit`: a byte (below 0x100) or a pair (lead << 8 | trail); kNoCode when the page lacks it.
  // Surrogates are never mapped.
  std::uint16_t Encode(char16_t unit) const { return encode_[unit]; }

 private:
  friend class CodePageBuilder;
  static constexpr char16_t kNoUnit = 0xFFFF;  // a noncharacter: no code of any page decodes to it

  CodePage() = default;

  UINT number_ = 0;
  bool double_byte_ = false;
  char16_t unicode_default_ = u'?';
  std::array<char16_t, 256> single_{};
  std::array<bool, 256> lead_{};
  std::array<bool, 256> trail_{};
  std::vector<char16_t> pairs_;        // 65536 entries, index lead << 8 | trail; double-byte pages only
  std::vector<std::uint16_t> encode_;  // 65536 entries, index UTF-16 unit
};

// The code page `number` as described above, or null.
const CodePage* FindCodePage(UINT number);

}  // namespace mivo::nls
