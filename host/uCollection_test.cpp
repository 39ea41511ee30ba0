#include "host/uCollection.h"

#include <gtest/gtest.h>

#include "tests/TestSupport.h"

using testsupport::TempDir;
using testsupport::WriteFile;

// A gateway that names a new file for every status cannot fill a directory in one collection.
TEST(NewFileLimit, AdmitsFilesThereAndTheFirstNewOnesOnly) {
    TempDir Dir;
    WriteFile(Dir / "OLD.CSV", "");
    TNewFileLimit Limit;
    for (int I = 0; I < kMaxNewFilesPerCollection; ++I)
        ASSERT_TRUE(Limit.Admits(Dir / ("N" + std::to_string(I) + ".CSV"))) << I;
    EXPECT_FALSE(Limit.Admits(Dir / "ONE-TOO-MANY.CSV"));
    EXPECT_FALSE(Limit.Admits(Dir / "ONE-TOO-MANY.CSV"));
    // Files that are there, and those admitted before, still take their lines.
    EXPECT_TRUE(Limit.Admits(Dir / "OLD.CSV"));
    EXPECT_TRUE(Limit.Admits(Dir / "N0.CSV"));
    EXPECT_EQ(BeyondLimitTarget("/srv/status/"), "/srv/status/Beyond-1000-new-files.CSV");
}

TEST(GatewayField, ControlCharactersBecomeOneSpaceEachAndCommasStay) {
    EXPECT_EQ(GatewayField(std::string("a\r\nb\x1b[2J,c\x7f", 11)), "a  b [2J,c ");
    EXPECT_EQ(GatewayField(std::string("x\0y", 3)), "x y");
}
