#include "platform/ole/oledate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace mivo::ole {
namespace {

constexpr double kMinDate = -657434.0;  // 0100-01-01
constexpr double kMaxDate = 2958465.0;  // 9999-12-31
constexpr long kSecondsPerDay = 86400;

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's days_from_civil).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, long* y, unsigned* m, unsigned* d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<long>(yoe) + era * 400 + (*m <= 2);
}

const long kEpoch = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads min_digits to max_digits digits at text[*pos], not followed by a further digit.
bool ReadNumber(std::u16string_view text, std::size_t* pos, int min_digits, int max_digits, int* out) {
  int value = 0, count = 0;
  while (*pos < text.size() && count < max_digits && text[*pos] >= u'0' && text[*pos] <= u'9') {
    value = value * 10 + (text[*pos] - u'0');
    ++*pos;
    ++count;
  }
  if (count < min_digits) return false;
  if (*pos < text.size() && text[*pos] >= u'0' && text[*pos] <= u'9') return false;
  *out = value;
  return true;
}

bool Expect(std::u16string_view text, std::size_t* pos, char16_t c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

bool ReadTime(std::u16string_view text, std::size_t* pos, int* h, int* m, int* s) {
  if (!ReadNumber(text, pos, 1, 2, h) || !Expect(text, pos, u':') || !ReadNumber(text, pos, 2, 2, m)) {
    return false;
  }
  *s = 0;
  if (*pos < text.size() && text[*pos] == u':') {
    ++*pos;
    if (!ReadNumber(text, pos, 2, 2, s)) return false;
  }
  return true;
}

}  // namespace

bool IsValidDate(DATE date) { return date > kMinDate - 1.0 && date < kMaxDate + 1.0; }

bool DateFromParts(int year, int month, int day, int hour, int minute, int second, DATE* out) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  const long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch;
  const double time = (hour * 3600 + minute * 60 + second) / static_cast<double>(kSecondsPerDay);
  *out = days >= 0 ? days + time : days - time;
  return true;
}

CString FormatDate(DATE date) {
  long days = static_cast<long>(std::trunc(date));
  long seconds = std::lround(std::fabs(date - static_cast<double>(days)) * kSecondsPerDay);
  if (seconds >= kSecondsPerDay) {  // rounding reached the next midnight
    seconds -= kSecondsPerDay;
    ++days;
  }
  long y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days + kEpoch, &y, &m, &d);
  char buffer[96];
  if (seconds == 0) {
    std::snprintf(buffer, sizeof buffer, "%04ld-%02u-%02u", y, m, d);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04ld-%02u-%02u %02ld:%02ld:%02ld", y, m, d, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
  }
  return CString(buffer, buffer + std::char_traits<char>::length(buffer));
}

bool ParseDateText(std::u16string_view text, DATE* out) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  // A time alone: "H:MM[:SS]".
  {
    std::size_t p = 0;
    if (ReadTime(text, &p, &hour, &minute, &second) && p == text.size()) {
      if (hour > 23 || minute > 59 || second > 59) return false;
      *out = (hour * 3600 + minute * 60 + second) / static_cast<double>(kSecondsPerDay);
      return true;
    }
    hour = minute = second = 0;
  }
  if (!ReadNumber(text, &pos, 4, 4, &year) || !Expect(text, &pos, u'-') ||
      !ReadNumber(text, &pos, 1, 2, &month) || !Expect(text, &pos, u'-') ||
      !ReadNumber(text, &pos, 1, 2, &day)) {
    return false;
  }
  if (pos < text.size()) {
    if (text[pos] == u'T') {
      ++pos;
    } else if (text[pos] == u' ') {
      while (pos < text.size() && text[pos] == u' ') ++pos;
    } else {
      return false;
    }
    if (!ReadTime(text, &pos, &hour, &minute, &second) || pos != text.size()) return false;
  }
  return DateFromParts(year, month, day, hour, minute, second, out);
}

}  // namespace mivo::ole
