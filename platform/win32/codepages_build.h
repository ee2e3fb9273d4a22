// Building the tables of a code page (internal to the code-page tables).
//
// A builder collects the decoding of every byte and pair, then Finish() derives the encode table: each
// character encodes to the code that decodes to it; where several do, to the one `preferred` names (when it
// is one of them), otherwise to the lowest.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/win32/codepages.h"

namespace mivo::nls {

class CodePageBuilder {
 public:
  CodePageBuilder(UINT number, bool double_byte, char16_t unicode_default);

  // Units that are surrogates or U+FFFF are refused (left unmapped).
  void SetSingle(BYTE b, char16_t unit);
  void SetLead(BYTE b);
  void SetPair(BYTE lead, BYTE trail, char16_t unit);

  // The finished page; the builder is empty afterwards.
  std::unique_ptr<CodePage> Finish(const std::function<std::uint16_t(char16_t)>& preferred);

 private:
  std::unique_ptr<CodePage> page_;
};

// Code page 874 or 1250-1258 from the tables in codepages_sbcs.inc; null for any other number.
std::unique_ptr<CodePage> BuildSingleBytePage(UINT number);
// Code page 932, 936, 949 or 950 from ICU's converter data; null for any other number or when ICU lacks it.
std::unique_ptr<CodePage> BuildDoubleBytePage(UINT number);

}  // namespace mivo::nls
