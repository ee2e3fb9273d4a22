// Registry values as `mivoctl reg` shows and takes them: the lines of `reg query` and the bytes that
// `reg add /t TYPE /d DATA` stores. Nothing here touches a hive.
#pragma once

#include <optional>
#include <string>

#include "platform/win32/winreg.h"

namespace mivoctl {

// Bad usage of `mivoctl reg`: throws ToolError with exit code kExitUsage and the message
// "<message> (see mivoctl reg --help)".
[[noreturn]] void RegUsage(const std::string& message);

// A value's name as `reg` shows it: "(Default)" for the default value (the empty name), else the name.
std::string ValueName(const std::u16string& name);

// One value line of `reg query`, with its line end: "    NAME    TYPE    DATA\n". TYPE is REG_... or, for a
// type without a name, 0x and hexadecimal digits. DATA is the text of REG_SZ and REG_EXPAND_SZ (up to the
// first zero), the texts of REG_MULTI_SZ joined by "\0", REG_DWORD and REG_QWORD as 0x and lower-case
// hexadecimal digits; anything else, and numbers of the wrong size, as upper-case hexadecimal bytes.
std::string ValueLine(const std::u16string& name, DWORD type, const std::string& data);

// The type that /t names (REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY or
// REG_NONE, any letter case); nullopt for any other text.
std::optional<DWORD> ParseTypeName(const std::string& text);

// The bytes `reg add` stores for /t TYPE /d DATA: UTF-16LE text with its terminating zero; for
// REG_MULTI_SZ the texts between `separator`s, each with a zero, and one more zero; REG_DWORD and REG_QWORD
// (decimal or 0x hexadecimal, empty for 0) little-endian; other types hexadecimal digits, two a byte.
// Data that does not fit its type, and an empty separator, are bad usage (RegUsage).
std::string DataForAdd(DWORD type, const std::string& text, const std::string& separator);

}  // namespace mivoctl
