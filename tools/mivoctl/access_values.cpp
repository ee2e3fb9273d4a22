// Decoders of Access column values from their raw bytes.
#include "tools/mivoctl/access_values.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/dao/afxdao.h"
#include "platform/win32/winnls.h"

namespace mivoctl::access {
namespace {

constexpr std::size_t kAttachmentLimit = std::size_t{256} << 20;

std::uint64_t Le(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i)
    v |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return v;
}

CString SingleByte(std::string_view bytes, UINT cp) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  CString text(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

constexpr std::int64_t kOleDayOfDay1 = -693593;  // 0001-01-01 as an OLE date day (days since 1899-12-30)
constexpr std::int64_t kLastDay = 3652058;       // days from 0001-01-01 to 9999-12-31

}  // namespace

CString DecodeText(std::string_view bytes, bool jet3, unsigned codePage) {
  if (jet3) {
    const UINT cp =
        codePage != 0 && MultiByteToWideChar(codePage, 0, "a", 1, nullptr, 0) > 0 ? codePage : 1252;
    return SingleByte(bytes, cp);
  }
  CString text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff &&
      static_cast<unsigned char>(bytes[1]) == 0xfe) {
    bool compressed = true;
    std::size_t i = 2;
    text.reserve(bytes.size());
    while (i < bytes.size()) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      if (b == 0) {
        compressed = !compressed;
        ++i;
      } else if (compressed) {
        text.push_back(static_cast<char16_t>(b));
        ++i;
      } else if (i + 1 < bytes.size()) {
        text.push_back(static_cast<char16_t>(b | static_cast<unsigned char>(bytes[i + 1]) << 8));
        i += 2;
      } else {
        break;
      }
    }
    return text;
  }
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(Le(bytes, i, 2)));
  return text;
}

std::optional<std::int64_t> DecodeInteger(std::string_view bytes, std::size_t size) {
  if (bytes.size() != size) return std::nullopt;
  switch (size) {
    case 1:
      return static_cast<std::int64_t>(Le(bytes, 0, 1));
    case 2:
      return static_cast<std::int16_t>(Le(bytes, 0, 2));
    case 4:
      return static_cast<std::int32_t>(Le(bytes, 0, 4));
    case 8:
      return static_cast<std::int64_t>(Le(bytes, 0, 8));
    default:
      return std::nullopt;
  }
}

std::optional<double> DecodeDouble(std::string_view bytes) {
  if (bytes.size() != 8) return std::nullopt;
  const std::uint64_t bits = Le(bytes, 0, 8);
  double v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

std::optional<float> DecodeSingle(std::string_view bytes) {
  if (bytes.size() != 4) return std::nullopt;
  const auto bits = static_cast<std::uint32_t>(Le(bytes, 0, 4));
  float v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

std::optional<std::int64_t> DecodeCurrency(std::string_view bytes) { return DecodeInteger(bytes, 8); }

std::optional<std::string> DecodeNumeric(std::string_view bytes, int scale) {
  if (bytes.size() != 17 || scale < 0 || scale > 28) return std::nullopt;
  unsigned __int128 magnitude = 0;
  for (int word = 0; word < 4; ++word) magnitude = magnitude << 32 | Le(bytes, 1 + 4 * word, 4);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (digits.size() <= static_cast<std::size_t>(scale)) {
    digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
  }
  if (scale > 0) digits.insert(digits.size() - static_cast<std::size_t>(scale), 1, '.');
  const bool zero = digits.find_first_not_of("0.") == std::string::npos;
  const bool negative = (static_cast<unsigned char>(bytes[0]) & 0x80) != 0 && !zero;
  return (negative ? "-" : "") + digits;
}

std::optional<std::string> DecodeDateTime(std::string_view bytes) {
  const auto v = DecodeDouble(bytes);
  if (!v) return std::nullopt;
  return mivo::dao::OleDateText(*v);
}

std::optional<std::string> DecodeDateTimeExtended(std::string_view bytes) {
  // 19 digits, ':', 19 digits, ':', a version digit; what follows (a NUL) is padding.
  if (bytes.size() < 41 || bytes[19] != ':' || bytes[39] != ':') return std::nullopt;
  std::uint64_t days = 0, ticks = 0;
  for (std::size_t i = 0; i < 19; ++i) {
    const char a = bytes[i], b = bytes[20 + i];
    if (a < '0' || a > '9' || b < '0' || b > '9') return std::nullopt;
    if (days > kLastDay) return std::nullopt;
    days = days * 10 + static_cast<unsigned>(a - '0');
    if (ticks > 864000000000ULL) return std::nullopt;
    ticks = ticks * 10 + static_cast<unsigned>(b - '0');
  }
  if (days > kLastDay || ticks >= 864000000000ULL) return std::nullopt;
  // The date part as the engine writes dates (a whole OLE date day gives "YYYY-MM-DD 00:00:00").
  const auto date =
      mivo::dao::OleDateText(static_cast<double>(kOleDayOfDay1 + static_cast<std::int64_t>(days)));
  if (!date) return std::nullopt;
  const std::uint64_t seconds = ticks / 10000000;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, " %02u:%02u:%02u.%07u", static_cast<unsigned>(seconds / 3600),
                static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60),
                static_cast<unsigned>(ticks % 10000000));
  return date->substr(0, 10) + buffer;
}

std::optional<std::string> DecodeGuid(std::string_view bytes) {
  if (bytes.size() != 16) return std::nullopt;
  auto b = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[i])); };
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(Le(bytes, 0, 4)), static_cast<unsigned>(Le(bytes, 4, 2)),
                static_cast<unsigned>(Le(bytes, 6, 2)), b(8), b(9), b(10), b(11), b(12), b(13), b(14), b(15));
  return std::string(buffer);
}

std::optional<std::string_view> UnwrapCalculated(std::string_view bytes) {
  if (bytes.size() < 20) return std::nullopt;
  const std::uint64_t length = Le(bytes, 16, 4);
  if (length > bytes.size() - 20) return std::nullopt;
  return bytes.substr(20, static_cast<std::size_t>(length));
}

std::optional<std::string> DecodeAttachmentData(std::string_view bytes) {
  if (bytes.size() < 8) return std::nullopt;
  const std::uint64_t type = Le(bytes, 0, 4);
  const std::uint64_t length = Le(bytes, 4, 4);
  if (length > kAttachmentLimit) return std::nullopt;
  std::string content;
  if (type == 0) {
    content.assign(bytes.substr(8));
  } else if (type == 1) {
    // Inflated in steps, so that a damaged length does not reserve memory the data never fills.
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + 8));
    z.avail_in = static_cast<uInt>(bytes.size() - 8);
    int rc = Z_OK;
    while (rc == Z_OK && content.size() < length) {
      const std::size_t done = content.size();
      content.resize(std::min<std::size_t>(static_cast<std::size_t>(length), done + 65536));
      z.next_out = reinterpret_cast<Bytef*>(content.data() + done);
      z.avail_out = static_cast<uInt>(content.size() - done);
      rc = inflate(&z, Z_NO_FLUSH);
      content.resize(content.size() - z.avail_out);
      if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END && content.size() != length) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (content.size() < 4) return std::nullopt;
  const std::uint64_t header = Le(content, 0, 4);
  if (header < 8 || header > content.size()) return std::nullopt;
  return content.substr(static_cast<std::size_t>(header));
}

}  // namespace mivoctl::access
