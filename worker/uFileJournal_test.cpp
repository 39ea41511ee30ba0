// Journals taken up after a crash: a part record the run's split could not have made is not
// believed, so nothing of that journal is sent on its word; an answered part's lines and the
// claimed file come back as they were written, and a journal of an earlier version still reads.
#include "worker/uFileJournal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace {

using testsupport::TempDir;

// A journal of a run in parts of 500, with the parts given, left as a crash leaves it.
std::string LeftJournal(const TempDir& Dir, const std::string& Name,
                        const std::vector<std::array<int32_t, 3>>& Parts) {
    TRunSettings Settings;
    Settings.Split.Value = 1;
    Settings.MaxMessages.Value = 500;
    std::unique_ptr<TFileJournal> Journal = TFileJournal::Begin(Dir.Path(), Settings);
    int Error = 0;
    EXPECT_TRUE(Journal->Name(Dir / Name, Error)) << Error;
    for (const auto& [PartNo, First, Count] : Parts) Journal->PartSending(PartNo, First, Count);
    Journal->Release();
    return Dir / Name;
}

TEST(FileJournal, APartRecordTheSplitCouldNotMakeIsNotTakenUp) {
    TempDir Dir;
    EXPECT_NO_THROW(
        TFileJournal::TakeUp(LeftJournal(Dir, "A.journal", {{1, 0, 500}, {2, 500, 7}})));
    for (const auto& Parts : std::vector<std::vector<std::array<int32_t, 3>>>{
             {{1, 0, 500}, {2, 400, 500}}, {{1, 0, 501}}, {{0, 0, 1}}}) {
        const std::string Path = LeftJournal(Dir, "B.journal", Parts);
        try {
            TFileJournal::TakeUp(Path);
            ADD_FAILURE() << "taken up";
        } catch (const std::runtime_error& E) {
            EXPECT_NE(std::string(E.what()).find(": the part does not match the split of the run"),
                      std::string::npos)
                << E.what();
        }
        std::remove(Path.c_str());
    }
}

TEST(FileJournal, AnsweredLinesAndTheClaimedFileReadBackAndOlderJournalsStillRead) {
    TempDir Dir;
    TRunSettings Settings;
    Settings.Split.Value = 1;
    Settings.MaxMessages.Value = 500;
    Settings.ClaimedFile = {2049, 1234567, 880, 1700000000123456789};
    const std::vector<std::string> Lines = {"\"0821\",\"R 1%41\",\"a\r\nb\"", "", "R2,bad"};
    {
        std::unique_ptr<TFileJournal> Journal = TFileJournal::Begin(Dir.Path(), Settings);
        int Error = 0;
        ASSERT_TRUE(Journal->Name(Dir / "A.journal", Error)) << Error;
        Journal->PartSending(1, 0, 2);
        Journal->PartAnswered(1, {8589934593LL, 7}, Lines);
        Journal->Release();
    }
    {
        const std::unique_ptr<TFileJournal> Journal = TFileJournal::TakeUp(Dir / "A.journal");
        EXPECT_EQ(Journal->Settings().ClaimedFile, Settings.ClaimedFile);
        const TFileJournal::TAnswer& Answer = Journal->State().Answers.at(1);
        EXPECT_TRUE(Answer.HasLines);
        EXPECT_EQ(Answer.Lines, Lines);
        EXPECT_EQ(Answer.Count, 2);
        EXPECT_EQ(Answer.Ids, (std::vector<int64_t>{8589934593LL, 7}));
    }
    // As an earlier version wrote it: no device, inode or lines.
    std::string Older;
    for (const std::string& Line : testsupport::Lines(testsupport::ReadFile(Dir / "A.journal")))
        if (Line.rfind("setting FileDevice", 0) != 0 && Line.rfind("setting FileInode", 0) != 0 &&
            Line.rfind("lines", 0) != 0 && Line.find('\0') == std::string::npos)
            Older += Line + "\n";
    testsupport::WriteFile(Dir / "B.journal", Older);
    const std::unique_ptr<TFileJournal> Journal = TFileJournal::TakeUp(Dir / "B.journal");
    EXPECT_EQ(Journal->Settings().ClaimedFile.Device, 0u);
    EXPECT_EQ(Journal->Settings().ClaimedFile.Size, 880);
    EXPECT_FALSE(Journal->State().Answers.at(1).HasLines);
    EXPECT_EQ(Journal->State().Answers.at(1).Ids.size(), 2u);
}

}  // namespace
