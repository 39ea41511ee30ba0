// Local wall-clock time and the fixed date and time texts of the logs and the configuration.
#pragma once

#include <compare>
#include <functional>
#include <string>

struct TDateTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
    auto operator<=>(const TDateTime&) const = default;
};

// Returns the local wall-clock time; injected so that callers can be tested at a fixed moment.
using TClock = std::function<TDateTime()>;

// The current local time, to the millisecond. Any thread.
TDateTime Now();

// "yyyy/mm/dd"
std::string FormatShortDate(const TDateTime& When);
// "hh:nn:ss", 24-hour
std::string FormatLongTime(const TDateTime& When);
// Short date, then " " and the long time unless the time is exactly 00:00:00.
std::string FormatLogDateTime(const TDateTime& When);
// "yyyymmddhhnnss"
std::string FormatRollOverStamp(const TDateTime& When);

// Reads "yyyy/mm/dd h:nn", "yyyy/mm/dd h:nn:ss" or "yyyy/mm/dd h:nn:ss.zzz"; month, day, hour,
// minute and second may have one or two digits, the milliseconds one to three. Ranges are
// checked (the day against its month). Returns false, leaving Out alone, on anything else.
bool TryStrToDateTime(const std::string& Text, TDateTime& Out);
