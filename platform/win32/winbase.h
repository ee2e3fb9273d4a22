// Base services of the Windows API that MivoDB uses beside the registry and national-language support.
//
// Contract (Windows semantics):
// - Module file name: the process has one module, the executable; every library of the system is linked
//   into it. GetModuleFileNameW names the running executable (the target of /proc/self/exe, converted from
//   UTF-8) for a null handle and for any other handle.
//
// On Windows (win/) GetModuleFileNameW, GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW are
// Windows' own, and a file's version information is its VERSIONINFO resource (res/version.rc for the
// server); the ELF details below apply to Linux only.
#pragma once

#include "platform/win32/wintypes.h"

using HMODULE = void*;
using HINSTANCE = void*;

// ---- Module file name ----------------------------------------------------------------------------------

// Writes the full path of the executable and a terminating zero into lpFilename (nSize characters) and
// returns its length without the zero. When the buffer is too small the path is cut to nSize - 1
// characters plus the zero, nSize is returned and the last error is ERROR_INSUFFICIENT_BUFFER. Returns 0
// with ERROR_INSUFFICIENT_BUFFER for nSize 0, ERROR_INVALID_PARAMETER for a null buffer, and the error of
// the failed lookup (ERROR_FILE_NOT_FOUND) when the path cannot be determined.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// ---- Version information -------------------------------------------------------------------------------
//
// Contract (Windows semantics, over ELF files):
// - The version information of a file is a VS_VERSIONINFO block in the Windows binary layout (UTF-16LE,
//   every structure DWORD-aligned from the start of the block), kept as the content of the ELF section
//   named MIVO_VERSION_SECTION. An executable carries one by linking an object that places such a block in
//   that section (res/version.cpp for the server).
// - GetFileVersionInfoSizeW and GetFileVersionInfoW read the file's ELF headers with every offset, size and
//   count checked against the file; a missing, unreadable, foreign, malformed or truncated file never makes
//   them read out of bounds or crash.
// - VerQueryValueW walks a block without trusting it: every length is checked against the enclosing
//   structure, and the block's extent is its first WORD (wLength). It never reads outside those bytes.
//   Blocks copied by GetFileVersionInfoW always hold at least wLength bytes.

// Error codes of the version API (winerror.h).
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

using PUINT = UINT*;

// Name of the ELF section that holds a file's version block (a string literal, for section attributes).
#define MIVO_VERSION_SECTION ".mivo_version"

// The fixed part of a version block (verrsrc.h), the value of the root "VS_VERSION_INFO".
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;         // VS_FFI_SIGNATURE
  DWORD dwStrucVersion;      // VS_FFI_STRUCVERSION
  DWORD dwFileVersionMS;     // major << 16 | minor
  DWORD dwFileVersionLS;     // build << 16 | revision
  DWORD dwProductVersionMS;  // as dwFileVersionMS
  DWORD dwProductVersionLS;  // as dwFileVersionLS
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BDU;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000U;
inline constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003FU;
inline constexpr DWORD VOS__WINDOWS32 = 0x00000004U;
inline constexpr DWORD VFT_APP = 0x00000001U;
inline constexpr DWORD VFT2_UNKNOWN = 0x00000000U;

// Returns the size in bytes of the version block of `lptstrFilename` (a path) and sets *lpdwHandle (when
// not null) to 0. Returns 0 and sets the last error when there is none: ERROR_INVALID_PARAMETER for a
// null name; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or ERROR_ACCESS_DENIED when the file cannot be
// opened; ERROR_BAD_EXE_FORMAT for a file that is not a well-formed ELF file (not a regular file, empty,
// text, truncated, headers pointing outside the file); ERROR_RESOURCE_TYPE_NOT_FOUND (1813) for an ELF file
// without a version section; ERROR_RESOURCE_DATA_NOT_FOUND when that section holds no version block.
DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle);

// Copies the version block of `lptstrFilename` into lpData (dwLen bytes; dwHandle is ignored) and returns
// TRUE. A buffer smaller than the block receives its first dwLen bytes, and the copy's wLength is lowered
// to dwLen so that VerQueryValueW stays inside the buffer (entries cut off are then missing). Returns FALSE
// with the errors of GetFileVersionInfoSizeW, with ERROR_INVALID_PARAMETER for a null buffer, and with
// ERROR_INSUFFICIENT_BUFFER when dwLen cannot hold a block header (6 bytes).
BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);

// Looks up `lpSubBlock` in the version block pBlock and returns TRUE with *lplpBuffer pointing into the
// block and *puLen set, or FALSE (with *lplpBuffer null and *puLen 0) when the entry is missing or the
// block is malformed on the way to it. Paths name entries by their keys, separated by backslashes, each
// key matched without regard to ASCII letter case:
// - "\" gives the VS_FIXEDFILEINFO (*puLen its size); FALSE when the root holds none.
// - "\VarFileInfo\Translation" gives the array of language/code-page WORD pairs (*puLen in bytes).
// - "\StringFileInfo\<lang><codepage>\<Name>" gives the zero-terminated string (*puLen in characters
//   including the terminator); a string not terminated inside its structure counts as malformed.
// Any other entry gives its value (in characters for text entries, in bytes for binary ones); an entry
// with an empty value gives a pointer to an empty string and *puLen 0. A null argument gives FALSE with
// ERROR_INVALID_PARAMETER.
BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
