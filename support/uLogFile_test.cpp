#include "support/uLogFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/TestSupport.h"

namespace {

using testsupport::Exists;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

const TDateTime kAfternoon{2024, 1, 31, 14, 5, 9, 250};
const TDateTime kMidnight{2024, 2, 1, 0, 0, 0, 0};
constexpr int64_t kRollOverSize = 1025 * 1024;  // 1,049,600 bytes with the usual 1024 KB limit

// Another process holding a file with an exclusive flock until this object goes.
class LockingProcess {
  public:
    explicit LockingProcess(const std::string& Path) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(release[1]);
            int fd = open(Path.c_str(), O_WRONLY | O_CREAT, 0644);
            char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? '1' : '0';
            if (write(ready[1], &ok, 1) != 1) _exit(2);
            char c;
            while (read(release[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        releaseFd = release[1];
        char ok = '0';
        if (read(ready[0], &ok, 1) != 1 || ok != '1') throw std::runtime_error("no lock");
        close(ready[0]);
    }
    ~LockingProcess() {
        close(releaseFd);
        int status;
        waitpid(pid, &status, 0);
    }

  private:
    pid_t pid = -1;
    int releaseFd = -1;
};

TEST(LogFileTest, LineForms) {
    TempDir dir;
    std::string log = dir / "Process.Log";
    WriteToLog("first", log, 1024, true, true, kAfternoon);
    WriteToLog("at midnight", log, 1024, true, true, kMidnight);
    WriteToLog("a,csv,line", log, 1024, false, true, kAfternoon);
    WriteToLog("", log, 1024, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(log),
              "2024/01/31 14:05:09 : first\r\n"
              "2024/02/01 : at midnight\r\n"
              "a,csv,line\r\n"
              "\r\n");
}

TEST(LogFileTest, MessageIsWrittenByteForByteButNeverForgesALogLine) {
    TempDir dir;
    std::string log = dir / "a.log";
    using namespace std::string_literals;
    std::string msg = "100% %s %d %n %%\r\ntwo\xe9\0end"s;
    WriteToLog(msg, log, 1024, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(log), msg + "\r\n");
    // A time-stamped line holds outside text (fault strings, file names): it stays one line.
    std::string stamped = dir / "b.log";
    WriteToLog("Error : bad\r\n2024/01/31 14:05:09 : forged\t\x1b\x7f\0\xe9 \\n"s, stamped, 1024,
               true, true, kAfternoon);
    EXPECT_EQ(ReadFile(stamped),
              "2024/01/31 14:05:09 : Error : bad\\r\\n2024/01/31 14:05:09 : "
              "forged\\x09\\x1B\\x7F\\x00\xe9 \\n\r\n");
}

TEST(LogFileTest, CurrentTimeIsUsedWithoutAnExplicitMoment) {
    TempDir dir;
    std::string log = dir / "now.log";
    TDateTime before = Now();
    WriteToLog("hello", log, 1024, true, true);
    TDateTime after = Now();
    std::string text = ReadFile(log);
    const std::string tail = " : hello\r\n";
    ASSERT_GT(text.size(), tail.size());
    ASSERT_EQ(text.substr(text.size() - tail.size()), tail);
    std::string stamp = text.substr(0, text.size() - tail.size());
    if (stamp.size() == 10) stamp += " 0:00";  // written at midnight exactly
    TDateTime written;
    ASSERT_TRUE(TryStrToDateTime(stamp, written)) << stamp;
    before.Millisecond = 0;
    EXPECT_LE(before, written);
    EXPECT_LE(written, after);
}

TEST(LogFileTest, CreatesTheMissingDirectoryChain) {
    TempDir dir;
    std::string log = dir / "a/b/c/worker.log";
    WriteToLog("line", log, 1024, true, true, kAfternoon);
    EXPECT_EQ(ReadFile(log), "2024/01/31 14:05:09 : line\r\n");
}

TEST(LogFileTest, NameWithoutDirectoryIsNeverWritten) {
    TempDir dir;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    WriteFile(dir / "existing.log", std::string(2048, 'x'));
    WriteToLog("line", "plain.log", 1024, true, true, kAfternoon);
    WriteToLog("line", "existing.log", 0, true, true, kAfternoon);
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"existing.log"});
    EXPECT_EQ(ReadFile(dir / "existing.log"), std::string(2048, 'x'));
}

TEST(LogFileTest, RollsOverAtTheLimitButNotBelow) {
    TempDir dir;
    std::string log = dir / "BrovaCSVSender.Log";
    std::string rolled = dir / "BrovaCSVSender20240131140509.Log";

    WriteFile(log, std::string(kRollOverSize - 1, 'x'));
    WriteToLog("kept", log, 1024, false, true, kAfternoon);
    EXPECT_FALSE(Exists(rolled));
    EXPECT_EQ(GetFileSizeByName(log), kRollOverSize - 1 + 6);

    WriteFile(log, std::string(kRollOverSize, 'y'));
    WriteToLog("fresh", log, 1024, true, true, kAfternoon);
    EXPECT_EQ(ReadFile(log), "2024/01/31 14:05:09 : fresh\r\n");
    EXPECT_EQ(ReadFile(rolled), std::string(kRollOverSize, 'y'));
}

TEST(LogFileTest, RollOverNameOfANameWithoutExtension) {
    TempDir dir;
    std::string log = dir / "logs.d/status";
    testsupport::MakeDirs(dir / "logs.d");
    WriteFile(log, std::string(1024, 'x'));
    WriteToLog("next", log, 0, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(dir / "logs.d/status20240131140509"), std::string(1024, 'x'));
    EXPECT_EQ(ReadFile(log), "next\r\n");
    EXPECT_EQ(RollOverFileName("/x/a.b.Log", kAfternoon), "/x/a.b20240131140509.Log");
}

TEST(LogFileTest, ZeroLimitRollsOverFromOneKB) {
    TempDir dir;
    std::string log = dir / "small.log";
    WriteFile(log, std::string(1023, 'x'));
    WriteToLog("a", log, 0, false, true, kAfternoon);
    EXPECT_EQ(GetFileSizeByName(log), 1023 + 3);
    EXPECT_EQ(ListDir(dir.Path()).size(), 1u);
    WriteToLog("b", log, 0, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(log), "b\r\n");
    EXPECT_EQ(GetFileSizeByName(dir / "small20240131140509.log"), 1026);
}

TEST(LogFileTest, WithoutRollOverTheOversizedFileIsEmptied) {
    TempDir dir;
    std::string log = dir / "Status.CSV";
    WriteFile(log, std::string(kRollOverSize, 'z'));
    WriteToLog("Header", log, 1024, false, false, kAfternoon);
    EXPECT_EQ(ReadFile(log), "Header\r\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"Status.CSV"});
}

TEST(LogFileTest, FailedRollOverAppendsInsteadOfEmptying) {
    TempDir dir;
    std::string log = dir / "busy.log";
    std::string rolled = dir / "busy20240131140509.log";
    WriteFile(rolled, "earlier roll-over\r\n");
    WriteFile(log, std::string(2048, 'x'));
    WriteToLog("same second", log, 1, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(rolled), "earlier roll-over\r\n");
    EXPECT_EQ(ReadFile(log), std::string(2048, 'x') + "same second\r\n");
    // The next line in a later second rolls over after all.
    TDateTime later = kAfternoon;
    later.Second = 10;
    WriteToLog("later", log, 1, false, true, later);
    EXPECT_EQ(ReadFile(dir / "busy20240131140510.log"), std::string(2048, 'x') + "same second\r\n");
    EXPECT_EQ(ReadFile(log), "later\r\n");
}

TEST(LogFileTest, LineIsDroppedWhileAnotherProcessHoldsTheFile) {
    TempDir dir;
    std::string log = dir / "held.log";
    std::string big(kRollOverSize, 'h');
    WriteFile(log, "before\r\n");
    {
        LockingProcess holder(log);
        EXPECT_NO_THROW(WriteToLog("lost", log, 1024, true, true, kAfternoon));
        EXPECT_EQ(ReadFile(log), "before\r\n");
        // An oversized file is not emptied under its holder either.
        WriteFile(log, big);
        WriteToLog("lost too", log, 1024, false, false, kAfternoon);
        EXPECT_EQ(ReadFile(log), big);
    }
    WriteToLog("after", log, 2048, false, true, kAfternoon);
    EXPECT_EQ(ReadFile(log), big + "after\r\n");
}

TEST(LogFileTest, UnwritablePathsAreSilent) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    // A file stands where a directory should be.
    EXPECT_NO_THROW(WriteToLog("line", dir / "file/sub/a.log", 1024, true, true, kAfternoon));
    EXPECT_NO_THROW(WriteToLog("line", "", 1024, true, true, kAfternoon));
    // The log name is a directory.
    testsupport::MakeDirs(dir / "adir");
    EXPECT_NO_THROW(WriteToLog("line", dir / "adir", 1024, true, true, kAfternoon));
    EXPECT_EQ(ReadFile(dir / "file"), "x");
}

TEST(LogFileTest, FileSizeByName) {
    TempDir dir;
    EXPECT_EQ(GetFileSizeByName(dir / "missing"), 0);
    WriteFile(dir / "f", "12345");
    EXPECT_EQ(GetFileSizeByName(dir / "f"), 5);
    EXPECT_EQ(GetFileSizeByName(dir.Path()), 0);
}

}  // namespace
