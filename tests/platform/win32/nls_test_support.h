// Shared by the conversion tests: whole texts through MultiByteToWideChar and WideCharToMultiByte.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/win32/winnls.h"

// Decodes all of `bytes` (explicit length) through a size query and a conversion; the result must agree.
inline std::u16string Decode(UINT code_page, std::string_view bytes, DWORD flags = 0) {
  const int n =
      MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::u16string text(static_cast<std::size_t>(n), u'\0');
  if (n > 0) {
    EXPECT_EQ(
        MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), n),
        n);
  }
  return text;
}

// Encodes all of `text`; `used`, when given, receives lpUsedDefaultChar.
inline std::string Encode(UINT code_page, std::u16string_view text, BOOL* used = nullptr,
                          LPCSTR default_char = nullptr, DWORD flags = 0) {
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0, default_char, used);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  if (n > 0) {
    EXPECT_EQ(WideCharToMultiByte(code_page, flags, text.data(), length, bytes.data(), n, default_char, used),
              n);
  }
  return bytes;
}
