// Decoders of the raw bytes an Access file stores for a column value (as platform/mdb gives them), into
// the forms the converted database stores. Every decoder takes any bytes: a value it cannot decode gives
// nullopt (or, for text, the characters it could read), never a read outside `bytes`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/afx/afx.h"

namespace mivoctl::access {

// Text of a text or memo column. Jet 4 and ACE: UTF-16LE, or, after the marker FF FE, Jet 4 compressed
// Unicode (runs of one-byte characters U+0001..U+00FF and of UTF-16LE units, a 00 byte switching between
// them); an odd last byte is dropped. Jet 3 (`jet3`): single-byte text in code page `codePage`, converted
// as the Windows tables do (bytes without a character give the control character of the same number, as
// Windows gives U+0081 for 0x81 in code page 1252); a code page this system lacks is read as 1252.
CString DecodeText(std::string_view bytes, bool jet3, unsigned codePage);

// A little-endian integer of exactly `size` bytes (1 unsigned; 2, 4, 8 signed).
std::optional<std::int64_t> DecodeInteger(std::string_view bytes, std::size_t size);
std::optional<double> DecodeDouble(std::string_view bytes);  // 8 bytes
std::optional<float> DecodeSingle(std::string_view bytes);   // 4 bytes
// Currency: 8 bytes, a signed integer of 1/10000 units.
std::optional<std::int64_t> DecodeCurrency(std::string_view bytes);
// Decimal (Numeric): 17 bytes, a sign byte (0x80 negative) and a 128-bit magnitude as four little-endian
// 32-bit words, most significant first; `scale` digits of it are the fraction (0 to 28). The exact value
// as text, "-12.30" with exactly `scale` fraction digits.
std::optional<std::string> DecodeNumeric(std::string_view bytes, int scale);
// Date/Time: 8 bytes, an OLE date; "YYYY-MM-DD HH:MM:SS" rounded to the second (years 1 to 9999).
std::optional<std::string> DecodeDateTime(std::string_view bytes);
// Date/Time Extended: 42 ASCII bytes "DDDDDDDDDDDDDDDDDDD:TTTTTTTTTTTTTTTTTTT:V" (days since 0001-01-01 and
// 100 ns units of the day) plus a NUL; "YYYY-MM-DD HH:MM:SS.fffffff" (years 1 to 9999).
std::optional<std::string> DecodeDateTimeExtended(std::string_view bytes);
// Replication ID: 16 bytes; "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, the first three
// groups little-endian, as Windows writes a GUID.
std::optional<std::string> DecodeGuid(std::string_view bytes);
// A calculated column stores its result after a 16-byte header and a 4-byte little-endian length; the
// result's bytes, or nullopt when the length does not fit.
std::optional<std::string_view> UnwrapCalculated(std::string_view bytes);
// An attachment's FileData: a 4-byte type (0 stored, 1 deflated), a 4-byte length, then the content,
// which starts with its own header (a 4-byte header length, ...); the file's bytes, or nullopt when the
// data is damaged. At most 256 MiB are inflated.
std::optional<std::string> DecodeAttachmentData(std::string_view bytes);

}  // namespace mivoctl::access
