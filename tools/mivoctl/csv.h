// The CSV reader and writer of `mivoctl db import` and `mivoctl db export`: RFC 4180 records in UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mivoctl {

struct CsvRecord {
  int line;  // where the record starts (1-based)
  std::vector<std::string> fields;
};

// The line of the first byte that is not well-formed UTF-8, or 0 when all are.
int FirstInvalidUtf8Line(std::string_view text);

// Parses RFC 4180 records (LF or CRLF line ends; a leading UTF-8 BOM is skipped). Blank lines are skipped.
// Appends the records to *records. On a malformed record or invalid UTF-8 returns false with
// "line N: ..." in *error.
bool ParseCsv(std::string_view text, std::vector<CsvRecord>* records, std::string* error);

// One field as written: in double quotes (a quote inside doubled) when it holds a comma, quote or line
// break, else as it is.
std::string CsvField(const std::string& value);

}  // namespace mivoctl
