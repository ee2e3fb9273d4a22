// MultiByteToWideChar and WideCharToMultiByte over the code-page tables and UTF-8.

#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/win32/codepages.h"
#include "platform/win32/winnls.h"

namespace {

using mivo::nls::CodePage;

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Whether the byte ranges [a, a + a_size) and [b, b + b_size) share a byte.
bool Overlap(const void* a, std::size_t a_size, const void* b, std::size_t b_size) {
  const auto a0 = reinterpret_cast<std::uintptr_t>(a);
  const auto b0 = reinterpret_cast<std::uintptr_t>(b);
  return a0 < b0 + b_size && b0 < a0 + a_size;
}

// Where converted units go: counted only while `capacity` is 0 (a size query), else written to `buffer`.
template <typename T>
class Output {
 public:
  Output(T* buffer, int capacity) : buffer_(buffer), capacity_(capacity) {}

  // Appends `n` units; false when they do not all fit in the buffer (what fits is left written).
  bool Put(const T* units, int n) {
    if (capacity_ == 0) {
      count_ += n;
      return true;
    }
    if (count_ + n > capacity_) return false;
    for (int i = 0; i < n; ++i) buffer_[count_ + i] = units[i];
    count_ += n;
    return true;
  }
  bool Put(T unit) { return Put(&unit, 1); }

  // The number of units; -1 when it does not fit in an int.
  int Result() const { return count_ > std::numeric_limits<int>::max() ? -1 : static_cast<int>(count_); }

 private:
  T* buffer_;
  std::int64_t capacity_;
  std::int64_t count_ = 0;
};

template <typename T>
int Finish(const Output<T>& out) {
  const int result = out.Result();
  return result < 0 ? Fail(ERROR_INVALID_PARAMETER) : result;
}

// The tables of `code_page`, CP_ACP being the system ANSI code page; null for a page without tables.
const CodePage* Resolve(UINT code_page) {
  return mivo::nls::FindCodePage(code_page == CP_ACP ? GetACP() : code_page);
}

std::size_t WideLength(LPCWSTR s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// UTF-8 to UTF-16. An ill-formed sequence becomes one U+FFFD for each maximal part of a well-formed
// sequence it starts with (or for the single byte that starts none), as Unicode recommends.
int DecodeUtf8(DWORD flags, const BYTE* bytes, std::size_t length, LPWSTR out_buffer, int capacity) {
  Output<WCHAR> out(out_buffer, capacity);
  // Replaces one ill-formed part; false when the call fails instead (the error is set).
  auto replace = [&]() {
    if (flags & MB_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION) != 0;
    return out.Put(u'\uFFFD') || Fail(ERROR_INSUFFICIENT_BUFFER) != 0;
  };
  std::size_t i = 0;
  while (i < length) {
    const BYTE first = bytes[i];
    if (first < 0x80) {
      if (!out.Put(static_cast<WCHAR>(first))) return Fail(ERROR_INSUFFICIENT_BUFFER);
      ++i;
      continue;
    }
    int trailing = 0;
    char32_t code = 0;
    BYTE low = 0x80, high = 0xBF;  // the range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
      trailing = 1, code = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
      trailing = 2, code = first & 0x0F;
      if (first == 0xE0) low = 0xA0;   // no overlong forms
      if (first == 0xED) high = 0x9F;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
      trailing = 3, code = first & 0x07;
      if (first == 0xF0) low = 0x90;   // no overlong forms
      if (first == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      if (!replace()) return 0;
      ++i;
      continue;
    }
    std::size_t next = i + 1;
    bool complete = true;
    for (int k = 0; k < trailing; ++k, ++next) {
      if (next >= length || bytes[next] < low || bytes[next] > high) {
        complete = false;
        break;
      }
      code = (code << 6) | (bytes[next] & 0x3F);
      low = 0x80, high = 0xBF;
    }
    if (!complete) {
      if (!replace()) return 0;
      i = next;
      continue;
    }
    i = next;
    if (code < 0x10000) {
      if (!out.Put(static_cast<WCHAR>(code))) return Fail(ERROR_INSUFFICIENT_BUFFER);
    } else {
      const WCHAR pair[2] = {static_cast<WCHAR>(0xD800 + ((code - 0x10000) >> 10)),
                             static_cast<WCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF))};
      if (!out.Put(pair, 2)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
  }
  return Finish(out);
}

// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD (EF BF BD), or fails the call with
// WC_ERR_INVALID_CHARS.
int EncodeUtf8(DWORD flags, LPCWSTR units, std::size_t length, LPSTR out_buffer, int capacity) {
  Output<CHAR> out(out_buffer, capacity);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t code = units[i];
    if (code >= 0xD800 && code <= 0xDFFF) {
      if (code <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      } else {
        if (flags & WC_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        code = 0xFFFD;
      }
    }
    CHAR bytes[4];
    int n;
    if (code < 0x80) {
      bytes[0] = static_cast<CHAR>(code), n = 1;
    } else if (code < 0x800) {
      bytes[0] = static_cast<CHAR>(0xC0 | (code >> 6)), n = 2;
    } else if (code < 0x10000) {
      bytes[0] = static_cast<CHAR>(0xE0 | (code >> 12)), n = 3;
    } else {
      bytes[0] = static_cast<CHAR>(0xF0 | (code >> 18)), n = 4;
    }
    for (int k = 1; k < n; ++k) bytes[k] = static_cast<CHAR>(0x80 | ((code >> (6 * (n - 1 - k))) & 0x3F));
    if (!out.Put(bytes, n)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  return Finish(out);
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::size_t length =
      cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  if (cchWideChar > 0 &&
      Overlap(lpMultiByteStr, length, lpWideCharStr, static_cast<std::size_t>(cchWideChar) * sizeof(WCHAR))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(lpMultiByteStr);
  if (CodePage == CP_UTF8) {
    if (dwFlags & ~MB_ERR_INVALID_CHARS) return Fail(ERROR_INVALID_FLAGS);
    return DecodeUtf8(dwFlags, bytes, length, lpWideCharStr, cchWideChar);
  }
  const auto* page = Resolve(CodePage);
  if (page == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS);

  Output<WCHAR> out(lpWideCharStr, cchWideChar);
  for (std::size_t i = 0; i < length;) {
    const CodePage::Decoded decoded = page->Decode(bytes + i, length - i);
    if (!decoded.valid && (dwFlags & MB_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (!out.Put(decoded.unit)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    i += static_cast<std::size_t>(decoded.length);
  }
  return Finish(out);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::size_t length =
      cchWideChar == -1 ? WideLength(lpWideCharStr) + 1 : static_cast<std::size_t>(cchWideChar);
  if (cbMultiByte > 0 &&
      Overlap(lpWideCharStr, length * sizeof(WCHAR), lpMultiByteStr, static_cast<std::size_t>(cbMultiByte))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (CodePage == CP_UTF8) {
    if (dwFlags & ~WC_ERR_INVALID_CHARS) return Fail(ERROR_INVALID_FLAGS);
    if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return EncodeUtf8(dwFlags, lpWideCharStr, length, lpMultiByteStr, cbMultiByte);
  }
  const auto* page = Resolve(CodePage);
  if (page == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~WC_NO_BEST_FIT_CHARS) return Fail(ERROR_INVALID_FLAGS);

  CHAR fallback[2] = {'?', 0};
  int fallback_length = 1;
  if (lpDefaultChar != nullptr) {
    fallback[0] = lpDefaultChar[0];
    if (page->IsLeadByte(static_cast<BYTE>(lpDefaultChar[0])) && lpDefaultChar[1] != 0) {
      fallback[1] = lpDefaultChar[1];
      fallback_length = 2;
    }
  }
  bool used_default = false;
  Output<CHAR> out(lpMultiByteStr, cbMultiByte);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint16_t code = page->Encode(lpWideCharStr[i]);
    bool fits;
    if (code == CodePage::kNoCode) {
      used_default = true;
      fits = out.Put(fallback, fallback_length);
    } else if (code < 0x100) {
      fits = out.Put(static_cast<CHAR>(code));
    } else {
      const CHAR pair[2] = {static_cast<CHAR>(code >> 8), static_cast<CHAR>(code & 0xFF)};
      fits = out.Put(pair, 2);
    }
    if (!fits) return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  const int result = Finish(out);
  if (result != 0 && lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = used_default ? TRUE : FALSE;
  return result;
}
