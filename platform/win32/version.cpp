#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/version_internal.h"
#include "platform/win32/winbase.h"

static_assert(std::endian::native == std::endian::little,
              "version blocks are handed out in place as little-endian structures");

namespace mivo::version {
namespace {

constexpr std::size_t kHeaderBytes = 6;  // wLength, wValueLength, wType

constexpr std::size_t AlignDword(std::size_t offset) { return (offset + 3) & ~static_cast<std::size_t>(3); }

WORD ReadWord(const BYTE* block, std::size_t offset) {
  WORD value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool KeyEquals(const BYTE* block, const VersionNode& node, std::u16string_view name) {
  if (node.key_chars != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (FoldAscii(ReadWord(block, node.key + 2 * i)) != FoldAscii(name[i])) return false;
  }
  return true;
}

// Finds the child of `parent` named `name`; false when none is, or a child before it is malformed.
bool FindChild(const BYTE* block, const VersionNode& parent, std::u16string_view name, VersionNode& found) {
  std::size_t offset = parent.children;
  while (offset + kHeaderBytes <= parent.end) {
    VersionNode child;
    if (!ParseVersionNode(block, offset, parent.end, child)) return false;
    if (KeyEquals(block, child, name)) {
      found = child;
      return true;
    }
    offset = AlignDword(child.end);  // wLength >= 6, so every step moves on
  }
  return false;
}

}  // namespace

bool ParseVersionNode(const BYTE* block, std::size_t begin, std::size_t limit, VersionNode& node) {
  if (begin > limit || limit - begin < kHeaderBytes) return false;
  const std::size_t length = ReadWord(block, begin);
  if (length < kHeaderBytes || length > limit - begin) return false;
  const std::size_t end = begin + length;
  const std::size_t valueLength = ReadWord(block, begin + 2);
  const WORD type = ReadWord(block, begin + 4);

  const std::size_t key = begin + kHeaderBytes;
  std::size_t chars = 0;
  for (;;) {
    const std::size_t at = key + 2 * chars;
    if (at + 2 > end) return false;  // key not terminated inside the structure
    if (ReadWord(block, at) == 0) break;
    ++chars;
  }
  const std::size_t keyEnd = key + 2 * chars + 2;
  const bool text = type == 1;
  const std::size_t valueBytes = text ? 2 * valueLength : valueLength;
  // The padding after the key may be left out when nothing follows it.
  const std::size_t value = valueBytes == 0 ? std::min(AlignDword(keyEnd), end) : AlignDword(keyEnd);
  if (value > end || valueBytes > end - value) return false;

  node.begin = begin;
  node.end = end;
  node.key = key;
  node.key_chars = chars;
  node.value = value;
  node.value_bytes = valueBytes;
  node.children = AlignDword(value + valueBytes);
  node.text = text;
  return true;
}

bool FindVersionNode(const BYTE* block, std::size_t available, std::u16string_view path, VersionNode& node) {
  if (available < kHeaderBytes) return false;
  const std::size_t rootLength = ReadWord(block, 0);
  if (rootLength > available) return false;
  VersionNode current;
  if (!ParseVersionNode(block, 0, rootLength, current)) return false;
  std::size_t pos = 0;
  while (pos < path.size()) {
    if (path[pos] == u'\\') {
      ++pos;
      continue;
    }
    const std::size_t next = std::min(path.find(u'\\', pos), path.size());
    VersionNode child;
    if (!FindChild(block, current, path.substr(pos, next - pos), child)) return false;
    current = child;
    pos = next;
  }
  node = current;
  return true;
}

}  // namespace mivo::version

namespace {

using mivo::version::VersionNode;

constexpr std::size_t kBlockHeaderBytes = 6;
constexpr char16_t kEmptyValue[1] = {u'\0'};

// The size of the file's version block, or 0 with the last error set.
DWORD ReadBlock(LPCWSTR fileName, std::vector<BYTE>& block) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD error = mivo::version::ReadVersionBlockFromFile(AfxToUtf8(CString(fileName)), block);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return 0;
  }
  return static_cast<DWORD>(block.size());
}

}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle != nullptr) *lpdwHandle = 0;
  std::vector<BYTE> block;
  return ReadBlock(lptstrFilename, block);
}

BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, LPVOID lpData) {
  if (lpData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwLen < kBlockHeaderBytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::vector<BYTE> block;
  if (ReadBlock(lptstrFilename, block) == 0) return FALSE;
  const std::size_t copied = std::min<std::size_t>(dwLen, block.size());
  std::memcpy(lpData, block.data(), copied);
  if (copied < block.size()) {
    // Cut the block to what the buffer holds, so that no walk over the copy leaves the buffer.
    const WORD length = static_cast<WORD>(copied);
    std::memcpy(lpData, &length, sizeof length);
  }
  return TRUE;
}

BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (lplpBuffer != nullptr) *lplpBuffer = nullptr;
  if (puLen != nullptr) *puLen = 0;
  if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr || puLen == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* block = static_cast<const BYTE*>(pBlock);
  // The block's extent is its own wLength: that is all a caller's pointer tells.
  WORD extent;
  std::memcpy(&extent, block, sizeof extent);
  VersionNode node;
  if (!mivo::version::FindVersionNode(block, extent, std::u16string_view(lpSubBlock), node)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  const bool rootQuery =
      std::u16string_view(lpSubBlock).find_first_not_of(u'\\') == std::u16string_view::npos;
  if (rootQuery) {
    if (node.value_bytes < sizeof(VS_FIXEDFILEINFO)) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    *lplpBuffer = const_cast<BYTE*>(block + node.value);
    *puLen = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  }
  if (node.value_bytes == 0) {
    *lplpBuffer = const_cast<char16_t*>(kEmptyValue);
    return TRUE;
  }
  if (node.text) {
    // Strings are handed out as C strings: the terminator must lie inside the value.
    const std::size_t chars = node.value_bytes / 2;
    bool terminated = false;
    for (std::size_t i = chars; i-- > 0 && !terminated;) {
      WORD c;
      std::memcpy(&c, block + node.value + 2 * i, sizeof c);
      terminated = c == 0;
    }
    if (!terminated) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    *lplpBuffer = const_cast<BYTE*>(block + node.value);
    *puLen = static_cast<UINT>(chars);
    return TRUE;
  }
  *lplpBuffer = const_cast<BYTE*>(block + node.value);
  *puLen = static_cast<UINT>(node.value_bytes);
  return TRUE;
}
