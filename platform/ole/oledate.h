// Internal to platform/ole: OLE dates (days since 1899-12-30; the fraction is the time of day, counted
// forward from midnight also for days before the epoch: -1.25 is 1899-12-29 06:00).
#pragma once

#include <string_view>

#include "platform/afx/afx.h"
#include "platform/win32/wtypes.h"

namespace mivo::ole {

// TRUE for a date in the years 100 to 9999 (not NaN).
bool IsValidDate(DATE date);
// The date of a calendar day and time; false for an impossible one or a year outside 100 to 9999.
bool DateFromParts(int year, int month, int day, int hour, int minute, int second, DATE* out);
// "YYYY-MM-DD", or "YYYY-MM-DD HH:MM:SS" when the time (rounded to the second) is not midnight. The date
// must be valid.
CString FormatDate(DATE date);
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (a blank or "T" between the parts) or "HH:MM[:SS]" (day 0).
bool ParseDateText(std::u16string_view text, DATE* out);

}  // namespace mivo::ole
