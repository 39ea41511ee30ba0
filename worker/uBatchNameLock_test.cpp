// The batch-name lock fails closed: an owed journal keeps its name through anything but its
// own finish, journals are compared as files, and a lock that cannot be had holds the run back.
#include "worker/uBatchNameLock.h"

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::MakeDirs;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(BatchNameLock, AnOwedJournalKeepsItsNameUntilItsRunLetsGo) {
    TempDir Dir;
    const std::string Status = Dir / "status", Journal = Dir / "in/A.journal";
    MakeDirs(Dir / "in");
    WriteFile(Journal, "journal");
    {
        auto Lock = TBatchNameLock::TryHold(Status, "A", Journal);
        ASSERT_TRUE(Lock);
        Lock->NameJournal(Journal);
        EXPECT_FALSE(TBatchNameLock::TryHold(Status, "A", ""));  // held
    }
    // Left (a crash, a failed logon): the name stays with the journal, for it alone, however
    // its path is spelled.
    EXPECT_EQ(ReadFile(Status + "/A.lock"), Journal);
    EXPECT_FALSE(TBatchNameLock::TryHold(Status, "A", ""));
    EXPECT_FALSE(TBatchNameLock::TryHold(Status, "A", Dir / "in/B.journal"));
    {
        auto Again = TBatchNameLock::TryHold(Status, "A", Dir / "in/./A.journal");
        ASSERT_TRUE(Again);
    }
    EXPECT_EQ(ReadFile(Status + "/A.lock"), Journal);
    // Its run finished: the name goes.
    {
        auto Last = TBatchNameLock::TryHold(Status, "A", Journal);
        ASSERT_TRUE(Last);
        Last->KeepFor("");
    }
    EXPECT_FALSE(testsupport::Exists(Status + "/A.lock"));
    EXPECT_TRUE(TBatchNameLock::TryHold(Status, "A", ""));

    // A lock that cannot be made is no lock at all: the run waits.
    MakeDirs(Status + "/B.lock");
    EXPECT_THROW(TBatchNameLock::TryHold(Status, "B", ""), EFileError);
}

}  // namespace
