#include "host/uCollection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

using testsupport::ListDir;
using testsupport::TempDir;
using testsupport::WriteFile;

// A Windows target keeps its lines in one file of that name beside the log, not in a stream of
// a file "Unwritten-C" or in a directory that is not there.
TEST(UnwrittenFiles, AWindowsTargetNamesOneFileBesideTheLog) {
    TempDir Dir;
    const std::string Name = UnwrittenFileName("C:\\Shares\\SMS\\Status\\A|B?<1>\"*.CSV");
    EXPECT_EQ(Name.find_first_of(":\\*?\"<>|/"), std::string::npos) << Name;
    WriteFile(Dir / Name, "kept\r\n");
    EXPECT_EQ(ListDir(Dir.Path()), std::vector<std::string>{Name});
}

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

// A journal cut short by a crash keeps every whole entry and its marks; one held elsewhere is
// left to its holder; a finished one is gone.
TEST(CollectionJournal, WhatACrashLeftIsTakenUpWholeEntriesAndMarksAlike) {
    TempDir Dir;
    const std::string State = Dir.Path() + "/";
    const std::vector<TCollectedLine> Entries = {
        {"1,R1,2,Delivered\r\nforged", "/srv/status/", "ABC"},
        {"2,R2,2,Delivered", "/srv/status/", "line\nbreak"},
        {"3,R3,2,Delivered", "/srv/other/", "XYZ"}};
    std::string Path;
    {
        TCollectionJournal Journal = TCollectionJournal::Begin(State, "replies", Entries);
        Path = Journal.Path();
        EXPECT_EQ(TCollectionJournal::Left(State), std::vector<std::string>{Path});
        EXPECT_FALSE(TCollectionJournal::Resume(Path));  // held by its writer
        Journal.MarkDone(1);
    }
    std::optional<TCollectionJournal> Left = TCollectionJournal::Resume(Path);
    ASSERT_TRUE(Left);
    EXPECT_EQ(Left->Kind(), "replies");
    ASSERT_EQ(Left->Entries().size(), 3u);
    for (size_t I = 0; I < 3; ++I) {
        EXPECT_EQ(Left->Entries()[I].Line, Entries[I].Line);
        EXPECT_EQ(Left->Entries()[I].Directory, Entries[I].Directory);
        EXPECT_EQ(Left->Entries()[I].Name, Entries[I].Name);
        EXPECT_EQ(Left->IsDone(I), I == 1);
    }
    Left->Finish();
    EXPECT_TRUE(TCollectionJournal::Left(State).empty());

    // Killed while writing its entries: the whole ones count, nothing is done.
    const std::string Cut = State + "Collection-statuses-cut.journal";
    WriteFile(Cut, "brova collection journal 1 statuses\nentry 3 1 2\n/a/Bxy\nentry 3 1 9\n/a/Bx");
    Left = TCollectionJournal::Resume(Cut);
    ASSERT_TRUE(Left);
    ASSERT_EQ(Left->Entries().size(), 1u);
    EXPECT_EQ(Left->Entries()[0].Line, "xy");
    EXPECT_FALSE(Left->IsDone(0));
}
