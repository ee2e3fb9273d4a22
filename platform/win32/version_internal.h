// Internals of the version API (version.cpp, version_elf.cpp): the ELF section reader and the walker over
// VS_VERSIONINFO blocks. Not for use outside platform/win32/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/winbase.h"

namespace mivo::version {

// One structure of a version block (VS_VERSIONINFO, StringFileInfo, StringTable, String, VarFileInfo,
// Var), as byte offsets from the start of the block. Every offset lies inside the structure.
struct VersionNode {
  std::size_t begin = 0;        // start of the header (wLength, wValueLength, wType)
  std::size_t end = 0;          // begin + wLength
  std::size_t key = 0;          // the zero-terminated key
  std::size_t key_chars = 0;    // its length without the zero
  std::size_t value = 0;        // the value (DWORD-aligned after the key)
  std::size_t value_bytes = 0;  // wValueLength, in bytes (text values count characters of 2 bytes)
  std::size_t children = 0;     // the first child (DWORD-aligned after the value)
  bool text = false;            // wType == 1
};

// Reads the structure that starts at `begin` of `block`, which must end at or before `limit`. Returns
// false when it does not fit: header, wLength, key (not terminated) or value outside those bounds.
bool ParseVersionNode(const BYTE* block, std::size_t begin, std::size_t limit, VersionNode& node);

// Finds the structure named by `path` (keys separated by backslashes, matched without regard to ASCII
// case; empty components are skipped, so "" and "\" name the root). The block's extent is its wLength,
// which must not exceed `available` bytes. Returns false for a missing entry or a malformed structure met
// on the way.
bool FindVersionNode(const BYTE* block, std::size_t available, std::u16string_view path, VersionNode& node);

// Reads the version block from the ELF file at `path` (UTF-8) into `block`, exactly its wLength bytes.
// Returns ERROR_SUCCESS, or the error code described for GetFileVersionInfoSizeW.
DWORD ReadVersionBlockFromFile(const std::string& path, std::vector<BYTE>& block);

}  // namespace mivo::version
