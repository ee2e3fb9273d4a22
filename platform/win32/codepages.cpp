#include "platform/win32/codepages.h"

#include <algorithm>
#include <mutex>

#include "platform/win32/codepages_build.h"

namespace mivo::nls {
namespace {

#include "platform/win32/codepages_sbcs.inc"

struct SingleBytePage {
  UINT number;
  const char16_t* upper;
};

constexpr SingleBytePage kSingleBytePages[] = {
    {874, kUpper874},   {1250, kUpper1250}, {1251, kUpper1251}, {1252, kUpper1252}, {1253, kUpper1253},
    {1254, kUpper1254}, {1255, kUpper1255}, {1256, kUpper1256}, {1257, kUpper1257}, {1258, kUpper1258},
};

constexpr UINT kDoubleBytePages[] = {932, 936, 949, 950};

bool IsSurrogateOrNoUnit(char16_t unit) { return (unit >= 0xD800 && unit <= 0xDFFF) || unit == 0xFFFF; }

// One slot per known page: built once, on first use.
struct Slot {
  UINT number;
  std::once_flag once;
  std::unique_ptr<CodePage> page;
};

}  // namespace

CodePage::Decoded CodePage::Decode(const BYTE* bytes, std::size_t available) const {
  const BYTE first = bytes[0];
  if (!double_byte_ || !lead_[first]) {
    const char16_t unit = single_[first];
    if (unit == kNoUnit) return {unicode_default_, 1, false};
    return {unit, 1, true};
  }
  if (available >= 2 && trail_[bytes[1]]) {
    const char16_t unit = pairs_[(first << 8) | bytes[1]];
    if (unit == kNoUnit) return {unicode_default_, 2, false};
    return {unit, 2, true};
  }
  return {unicode_default_, 1, false};
}

CodePageBuilder::CodePageBuilder(UINT number, bool double_byte, char16_t unicode_default)
    : page_(new CodePage) {
  page_->number_ = number;
  page_->double_byte_ = double_byte;
  page_->unicode_default_ = unicode_default;
  page_->single_.fill(CodePage::kNoUnit);
  if (double_byte) page_->pairs_.assign(0x10000, CodePage::kNoUnit);
}

void CodePageBuilder::SetSingle(BYTE b, char16_t unit) {
  if (!IsSurrogateOrNoUnit(unit)) page_->single_[b] = unit;
}

void CodePageBuilder::SetLead(BYTE b) {
  if (page_->double_byte_) page_->lead_[b] = true;
}

void CodePageBuilder::SetPair(BYTE lead, BYTE trail, char16_t unit) {
  if (page_->double_byte_ && !IsSurrogateOrNoUnit(unit)) page_->pairs_[(lead << 8) | trail] = unit;
}

std::unique_ptr<CodePage> CodePageBuilder::Finish(const std::function<std::uint16_t(char16_t)>& preferred) {
  CodePage& p = *page_;
  p.encode_.assign(0x10000, CodePage::kNoCode);
  std::vector<bool> shared(0x10000, false);
  auto add = [&](std::uint16_t code, char16_t unit) {
    if (unit == CodePage::kNoUnit) return;
    if (p.encode_[unit] == CodePage::kNoCode) {
      p.encode_[unit] = code;
    } else {
      shared[unit] = true;
    }
  };
  // Codes in ascending order, so that the first code found for a unit is its lowest.
  for (int b = 0; b < 256; ++b) {
    if (!p.lead_[b]) add(static_cast<std::uint16_t>(b), p.single_[b]);
  }
  if (p.double_byte_) {
    for (int lead = 0; lead < 256; ++lead) {
      if (!p.lead_[lead]) continue;
      for (int trail = 0; trail < 256; ++trail) {
        const std::uint16_t code = static_cast<std::uint16_t>((lead << 8) | trail);
        if (p.pairs_[code] == CodePage::kNoUnit) continue;
        p.trail_[trail] = true;
        add(code, p.pairs_[code]);
      }
    }
  }
  auto decodes_to = [&](std::uint16_t code, char16_t unit) {
    if (code < 0x100) return !p.lead_[code] && p.single_[code] == unit;
    return p.double_byte_ && p.lead_[code >> 8] && p.pairs_[code] == unit;
  };
  for (int unit = 0; unit < 0x10000; ++unit) {
    if (!shared[unit]) continue;
    const std::uint16_t choice = preferred(static_cast<char16_t>(unit));
    if (choice != CodePage::kNoCode && decodes_to(choice, static_cast<char16_t>(unit))) {
      p.encode_[unit] = choice;
    }
  }
  return std::move(page_);
}

std::unique_ptr<CodePage> BuildSingleBytePage(UINT number) {
  const auto* it = std::find_if(std::begin(kSingleBytePages), std::end(kSingleBytePages),
                                [number](const SingleBytePage& page) { return page.number == number; });
  if (it == std::end(kSingleBytePages)) return nullptr;
  CodePageBuilder builder(number, false, u'?');
  for (int b = 0; b < 0x80; ++b) builder.SetSingle(static_cast<BYTE>(b), static_cast<char16_t>(b));
  for (int b = 0x80; b < 0x100; ++b) builder.SetSingle(static_cast<BYTE>(b), it->upper[b - 0x80]);
  return builder.Finish([](char16_t) { return CodePage::kNoCode; });
}

const CodePage* FindCodePage(UINT number) {
  static Slot slots[] = {{874, {}, {}},  {932, {}, {}},  {936, {}, {}},  {949, {}, {}},  {950, {}, {}},
                         {1250, {}, {}}, {1251, {}, {}}, {1252, {}, {}}, {1253, {}, {}}, {1254, {}, {}},
                         {1255, {}, {}}, {1256, {}, {}}, {1257, {}, {}}, {1258, {}, {}}};
  for (Slot& slot : slots) {
    if (slot.number != number) continue;
    std::call_once(slot.once, [&slot] {
      const bool double_byte = std::find(std::begin(kDoubleBytePages), std::end(kDoubleBytePages),
                                         slot.number) != std::end(kDoubleBytePages);
      slot.page = double_byte ? BuildDoubleBytePage(slot.number) : BuildSingleBytePage(slot.number);
    });
    return slot.page.get();
  }
  return nullptr;
}

}  // namespace mivo::nls
