#include "platform/DateTime.h"

#include <gtest/gtest.h>

namespace {

TDateTime At(int Y, int Mo, int D, int H = 0, int Mi = 0, int S = 0, int Ms = 0) {
    return TDateTime{Y, Mo, D, H, Mi, S, Ms};
}

TEST(DateTimeTest, Formats) {
    TDateTime t = At(2024, 1, 31, 14, 5, 9, 999);
    EXPECT_EQ(FormatShortDate(t), "2024/01/31");
    EXPECT_EQ(FormatLongTime(t), "14:05:09");
    EXPECT_EQ(FormatLogDateTime(t), "2024/01/31 14:05:09");
    EXPECT_EQ(FormatRollOverStamp(t), "20240131140509");
    EXPECT_EQ(FormatLongTime(At(2024, 1, 1, 9, 0, 0)), "09:00:00");
    // Only the exact start of a day leaves the time out; milliseconds do not count.
    EXPECT_EQ(FormatLogDateTime(At(2024, 12, 1, 0, 0, 0, 500)), "2024/12/01");
    EXPECT_EQ(FormatLogDateTime(At(2024, 12, 1, 0, 0, 1)), "2024/12/01 00:00:01");
    EXPECT_EQ(FormatRollOverStamp(At(2024, 12, 1)), "20241201000000");
}

TEST(DateTimeTest, ParsesTheThreeTimeForms) {
    TDateTime t;
    ASSERT_TRUE(TryStrToDateTime("2024/01/31 8:00", t));
    EXPECT_EQ(t, At(2024, 1, 31, 8, 0));
    ASSERT_TRUE(TryStrToDateTime("2024/01/31 17:00:00", t));
    EXPECT_EQ(t, At(2024, 1, 31, 17, 0, 0));
    ASSERT_TRUE(TryStrToDateTime("2024/01/31 23:59:59.999", t));
    EXPECT_EQ(t, At(2024, 1, 31, 23, 59, 59, 999));
    ASSERT_TRUE(TryStrToDateTime("2024/2/29 07:30", t));
    EXPECT_EQ(t, At(2024, 2, 29, 7, 30));
}

TEST(DateTimeTest, RejectsMalformedAndOutOfRangeTexts) {
    TDateTime t = At(1999, 9, 9);
    for (const char* text : {"",
                             "2024/01/31",
                             "2024/01/31 ",
                             "2024/01/31 8",
                             "2024/01/31 8:",
                             "2024/01/31 24:00",
                             "2024/01/31 8:60",
                             "2024/01/31 8:00:60",
                             "2024/13/01 8:00",
                             "2024/00/01 8:00",
                             "2023/02/29 8:00",
                             "2024/04/31 8:00",
                             "2024/01/31 8:00:00.",
                             "2024/01/31 8:00:00.1234",
                             "2024/01/31 8:00 ",
                             " 2024/01/31 8:00",
                             "2024-01-31 8:00",
                             "24/01/31 8:00",
                             "2024/01/31 8:00am",
                             "2024/01/31 008:00",
                             "2024/01/31 -1:00",
                             "2024/01/31 8:00.5"}) {
        EXPECT_FALSE(TryStrToDateTime(text, t)) << text;
    }
    EXPECT_EQ(t, At(1999, 9, 9));
}

TEST(DateTimeTest, NowIsAValidLocalTime) {
    TDateTime now = Now();
    TDateTime parsed;
    ASSERT_TRUE(TryStrToDateTime(FormatShortDate(now) + " " + FormatLongTime(now), parsed));
    now.Millisecond = 0;
    EXPECT_EQ(parsed, now);
}

}  // namespace
