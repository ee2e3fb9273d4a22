// The executable's version resource.
#pragma once

#include <cstdint>
#include <span>

// The version block (VS_VERSIONINFO, UTF-16LE, DWORD-aligned) that this program carries in its ELF section
// MIVO_VERSION_SECTION (platform/win32/winbase.h), where GetFileVersionInfoW finds it: file and product
// version 3.1.1.0 and one string table, language 0x0407 with code page 0x04B0. Referring to it links the
// block into a program; the server links it in as a whole.
std::span<const std::uint8_t> MivoVersionResource();
