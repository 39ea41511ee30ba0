#include "platform/DateTime.h"

#include <time.h>

#include <cstdio>

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    TDateTime result;
    result.Year = local.tm_year + 1900;
    result.Month = local.tm_mon + 1;
    result.Day = local.tm_mday;
    result.Hour = local.tm_hour;
    result.Minute = local.tm_min;
    // A leap second reads as the last second of the minute.
    result.Second = local.tm_sec > 59 ? 59 : local.tm_sec;
    result.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return result;
}

std::string FormatShortDate(const TDateTime& When) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", When.Year, When.Month, When.Day);
    return buf;
}

std::string FormatLongTime(const TDateTime& When) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", When.Hour, When.Minute, When.Second);
    return buf;
}

std::string FormatLogDateTime(const TDateTime& When) {
    if (When.Hour == 0 && When.Minute == 0 && When.Second == 0) return FormatShortDate(When);
    return FormatShortDate(When) + " " + FormatLongTime(When);
}

std::string FormatRollOverStamp(const TDateTime& When) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", When.Year, When.Month, When.Day,
                  When.Hour, When.Minute, When.Second);
    return buf;
}

namespace {

// Reads MinDigits..MaxDigits decimal digits at Pos into Value.
bool ReadNumber(const std::string& Text, size_t& Pos, size_t MinDigits, size_t MaxDigits,
                int& Value) {
    size_t count = 0;
    int value = 0;
    while (Pos < Text.size() && count < MaxDigits && Text[Pos] >= '0' && Text[Pos] <= '9') {
        value = value * 10 + (Text[Pos] - '0');
        ++Pos;
        ++count;
    }
    if (count < MinDigits) return false;
    // More digits than allowed is a malformed field, not a shorter number.
    if (Pos < Text.size() && Text[Pos] >= '0' && Text[Pos] <= '9') return false;
    Value = value;
    return true;
}

bool ReadChar(const std::string& Text, size_t& Pos, char C) {
    if (Pos >= Text.size() || Text[Pos] != C) return false;
    ++Pos;
    return true;
}

int DaysInMonth(int Year, int Month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    return Month == 2 && leap ? 29 : kDays[Month - 1];
}

}  // namespace

bool TryStrToDateTime(const std::string& Text, TDateTime& Out) {
    TDateTime value;
    size_t pos = 0;
    if (!ReadNumber(Text, pos, 4, 4, value.Year) || !ReadChar(Text, pos, '/') ||
        !ReadNumber(Text, pos, 1, 2, value.Month) || !ReadChar(Text, pos, '/') ||
        !ReadNumber(Text, pos, 1, 2, value.Day) || !ReadChar(Text, pos, ' ') ||
        !ReadNumber(Text, pos, 1, 2, value.Hour) || !ReadChar(Text, pos, ':') ||
        !ReadNumber(Text, pos, 1, 2, value.Minute))
        return false;
    if (ReadChar(Text, pos, ':')) {
        if (!ReadNumber(Text, pos, 1, 2, value.Second)) return false;
        if (ReadChar(Text, pos, '.') && !ReadNumber(Text, pos, 1, 3, value.Millisecond))
            return false;
    }
    if (pos != Text.size()) return false;
    if (value.Year < 1 || value.Month < 1 || value.Month > 12 || value.Day < 1 ||
        value.Day > DaysInMonth(value.Year, value.Month) || value.Hour > 23 || value.Minute > 59 ||
        value.Second > 59)
        return false;
    Out = value;
    return true;
}
