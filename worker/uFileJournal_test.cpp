// Journals taken up after a crash: a part record the run's split could not have made is not
// believed, so nothing of that journal is sent on its word.
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

}  // namespace
