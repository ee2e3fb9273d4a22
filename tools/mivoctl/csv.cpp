// The CSV reader and writer of mivoctl db (see csv.h).
#include "tools/mivoctl/csv.h"

#include <cstdint>

namespace mivoctl {

int FirstInvalidUtf8Line(std::string_view text) {
  int line = 1;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') ++line;
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return line;
    }
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= text.size()) return line;
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return line;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return line;
    }
    i += n + 1;
  }
  return 0;
}

bool ParseCsv(std::string_view text, std::vector<CsvRecord>* records, std::string* error) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (const int bad = FirstInvalidUtf8Line(text)) {
    *error = "line " + std::to_string(bad) + ": not valid UTF-8";
    return false;
  }
  std::size_t i = 0;
  int line = 1;
  auto atLineEnd = [&](std::size_t at) { return at < text.size() && (text[at] == '\n' || text[at] == '\r'); };
  auto skipLineEnd = [&] {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    ++i;
    ++line;
  };
  while (i < text.size()) {
    if (atLineEnd(i)) {  // blank line
      skipLineEnd();
      continue;
    }
    CsvRecord record{line, {}};
    while (true) {
      std::string field;
      if (i < text.size() && text[i] == '"') {
        const int opened = line;
        ++i;
        bool closed = false;
        while (i < text.size()) {
          const char c = text[i];
          if (c == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              field += '"';
              i += 2;
              continue;
            }
            ++i;
            closed = true;
            break;
          }
          if (c == '\n') ++line;
          field += c;
          ++i;
        }
        if (!closed) {
          *error = "line " + std::to_string(opened) + ": a quoted field is not closed";
          return false;
        }
        if (i < text.size() && text[i] != ',' && !atLineEnd(i)) {
          *error = "line " + std::to_string(line) + ": text after the closing quote of a field";
          return false;
        }
      } else {
        while (i < text.size() && text[i] != ',' && !atLineEnd(i)) {
          if (text[i] == '"') {
            *error = "line " + std::to_string(line) + ": a quote inside a field that does not start with one";
            return false;
          }
          field += text[i++];
        }
      }
      record.fields.push_back(std::move(field));
      if (i < text.size() && text[i] == ',') {
        ++i;
        continue;
      }
      break;
    }
    if (i < text.size()) skipLineEnd();
    records->push_back(std::move(record));
  }
  return true;
}

std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace mivoctl
