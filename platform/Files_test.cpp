#include "platform/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <vector>

#include "tests/TestSupport.h"

namespace {

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using Names = std::vector<std::string>;

// A second open file description with its own flock: it conflicts with ours just as another
// process would.
class OtherHolder {
  public:
    OtherHolder(const std::string& Path, int Lock) {
        fd = open(Path.c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, Lock | LOCK_NB) != 0) throw std::runtime_error("cannot lock");
    }
    ~OtherHolder() { close(fd); }

  private:
    int fd = -1;
};

Names Sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FilesTest, ExistenceAndSize) {
    TempDir dir;
    WriteFile(dir / "f", "abc");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_FALSE(FileExists(dir / "missing"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(DirectoryExists(dir / "f"));
    EXPECT_FALSE(DirectoryExists(""));
    EXPECT_EQ(FileSizeOf(dir / "f"), 3);
    EXPECT_EQ(FileSizeOf(dir / "missing"), 0);
    EXPECT_TRUE(FileModificationTime(dir / "f").has_value());
    EXPECT_FALSE(FileModificationTime(dir / "missing").has_value());
}

TEST(FilesTest, ForceDirectories) {
    TempDir dir;
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));
    EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(ForceDirectories(dir / "a//x"));
    EXPECT_TRUE(DirectoryExists(dir / "a/x"));
    EXPECT_FALSE(ForceDirectories(""));
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
    EXPECT_FALSE(ForceDirectories(dir / "file"));
}

TEST(FilesTest, RenameNeverReplaces) {
    TempDir dir;
    WriteFile(dir / "a.csv", "new");
    WriteFile(dir / "a.Busy", "in progress");
    std::string error;
    EXPECT_FALSE(RenameNoReplace(dir / "a.csv", dir / "a.Busy", &error));
    EXPECT_EQ(error, SystemErrorText(EEXIST));
    EXPECT_EQ(ReadFile(dir / "a.csv"), "new");
    EXPECT_EQ(ReadFile(dir / "a.Busy"), "in progress");

    EXPECT_TRUE(RenameNoReplace(dir / "a.csv", dir / "a(1).Busy", &error));
    EXPECT_FALSE(Exists(dir / "a.csv"));
    EXPECT_EQ(ReadFile(dir / "a(1).Busy"), "new");

    EXPECT_FALSE(RenameNoReplace(dir / "gone", dir / "other", &error));
    EXPECT_EQ(error, SystemErrorText(ENOENT));
    EXPECT_FALSE(RenameNoReplace(dir / "gone", dir / "other", nullptr));

    testsupport::MakeDirs(dir / "sub.csv");
    EXPECT_TRUE(RenameNoReplace(dir / "sub.csv", dir / "sub.Busy", nullptr));
    EXPECT_TRUE(DirectoryExists(dir / "sub.Busy"));
}

TEST(FilesTest, DeleteFileAndExecutablePath) {
    TempDir dir;
    WriteFile(dir / "f", "x");
    EXPECT_TRUE(DeleteFile(dir / "f"));
    EXPECT_FALSE(Exists(dir / "f"));
    EXPECT_FALSE(DeleteFile(dir / "f"));
    EXPECT_FALSE(DeleteFile(dir.Path()));
    std::string exe = ExecutablePath();
    EXPECT_EQ(exe.find("platform_tests"), exe.size() - 14) << exe;
    EXPECT_TRUE(FileExists(exe));
}

TEST(FilesTest, MaskMatching) {
    EXPECT_TRUE(MatchesMask("ABC.20.csv", "*.csv"));
    EXPECT_TRUE(MatchesMask("abc.CSV", "*.csv"));
    EXPECT_TRUE(MatchesMask("x.csv", "?.CsV"));
    EXPECT_FALSE(MatchesMask("xy.csv", "?.csv"));
    EXPECT_FALSE(MatchesMask("a.csv.bak", "*.csv"));
    EXPECT_FALSE(MatchesMask("a.csvx", "*.csv"));
    EXPECT_TRUE(MatchesMask("noext", "*"));
    EXPECT_TRUE(MatchesMask("noext", "*.*"));
    EXPECT_FALSE(MatchesMask("noext", "*.?*"));
    EXPECT_TRUE(MatchesMask("a.b.c", "a*b*c"));
    EXPECT_TRUE(MatchesMask("aXbYbc", "a*b*c"));
    EXPECT_FALSE(MatchesMask("aXbYbcd", "a*b*c"));
    EXPECT_TRUE(MatchesMask("", "*"));
    EXPECT_FALSE(MatchesMask("a", ""));
    EXPECT_TRUE(MatchesMask("SMS_1.txt", "sms_*.TXT"));
    // Only ASCII letters fold.
    EXPECT_FALSE(MatchesMask("\xc9.csv", "\xe9.csv"));
}

TEST(FilesTest, FindFilesTakesEntriesOfEveryKind) {
    TempDir dir;
    WriteFile(dir / "a.csv", "");
    WriteFile(dir / "B.CSV", "");
    WriteFile(dir / ".hidden.csv", "");
    WriteFile(dir / "c.Busy", "");
    WriteFile(dir / "d.txt", "");
    testsupport::MakeDirs(dir / "sub.csv");
    EXPECT_EQ(Sorted(FindFiles(dir.Path(), "*.csv")),
              (Names{".hidden.csv", "B.CSV", "a.csv", "sub.csv"}));
    EXPECT_EQ(Sorted(FindFiles(dir.Path() + "/", "*.*")),
              (Names{".hidden.csv", "B.CSV", "a.csv", "c.Busy", "d.txt", "sub.csv"}));
    EXPECT_EQ(FindFiles(dir.Path(), "*.xml"), Names{});
    EXPECT_EQ(FindFiles(dir / "missing", "*"), Names{});
    EXPECT_EQ(FindFiles(dir / "a.csv", "*"), Names{});
    EXPECT_EQ(FindFiles("", "*"), Names{});
}

TEST(LockedFileTest, CreateExclusiveEmptiesOnlyAFileNobodyHolds) {
    TempDir dir;
    std::string path = dir / "log.txt";
    WriteFile(path, "old content");
    {
        OtherHolder reader(path, LOCK_SH);
        EXPECT_THROW(TLockedFile::CreateExclusive(path), EFileError);
        EXPECT_EQ(ReadFile(path), "old content");
    }
    {
        TLockedFile file = TLockedFile::CreateExclusive(path);
        file.Write("fresh");
        EXPECT_THROW(TLockedFile::CreateExclusive(path), EFileError);
        EXPECT_THROW(TLockedFile::OpenWriteShareRead(path), EFileError);
        EXPECT_THROW(TLockedFile::OpenReadShareRead(path), EFileError);
        EXPECT_EQ(ReadFile(path), "fresh");
    }
    EXPECT_EQ(ReadFile(path), "fresh");
    TLockedFile::CreateExclusive(dir / "new.txt");
    EXPECT_TRUE(FileExists(dir / "new.txt"));
}

TEST(LockedFileTest, WritersAppendAndReadersShare) {
    TempDir dir;
    std::string path = dir / "data.csv";
    EXPECT_THROW(TLockedFile::OpenWriteShareRead(path), EFileError);
    EXPECT_FALSE(FileExists(path));
    WriteFile(path, "a\r\n");
    {
        TLockedFile writer = TLockedFile::OpenWriteShareRead(path);
        writer.SeekEnd();
        writer.Write("b\r\n");
        writer.Write(std::string(100000, 'c'));
        writer.Close();
        EXPECT_FALSE(writer.IsOpen());
    }
    EXPECT_EQ(ReadFile(path), "a\r\nb\r\n" + std::string(100000, 'c'));
    {
        OtherHolder reader(path, LOCK_SH);
        EXPECT_EQ(ReadFileText(path), "a\r\nb\r\n" + std::string(100000, 'c'));
        EXPECT_THROW(TLockedFile::OpenWriteShareRead(path), EFileError);
    }
    {
        OtherHolder writer(path, LOCK_EX);
        try {
            ReadFileText(path);
            FAIL() << "read a file another writer holds";
        } catch (const EFileError& e) {
            EXPECT_EQ(e.Code, EWOULDBLOCK);
            EXPECT_EQ(std::string(e.what()), SystemErrorText(EWOULDBLOCK));
        }
    }
    try {
        ReadFileText(dir / "missing.csv");
        FAIL() << "read a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), SystemErrorText(ENOENT));
    }
}

TEST(LockedFileTest, OtherKindsOfEntryFailInsteadOfBlocking) {
    TempDir dir;
    std::string fifo = dir / "pipe.csv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // Whoever drops files could plant any of these: none is opened, a link is not followed,
    // whatever it points to, and whatever opener is used.
    WriteFile(dir / "real.csv", "row\r\n");
    ASSERT_EQ(symlink((dir / "real.csv").c_str(), (dir / "link.csv").c_str()), 0);
    ASSERT_EQ(symlink(fifo.c_str(), (dir / "tofifo.csv").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "todevice.csv").c_str()), 0);
    ASSERT_EQ(symlink((dir / "none.csv").c_str(), (dir / "dangling.csv").c_str()), 0);
    const std::vector<std::function<void(const std::string&)>> Openers = {
        [](const std::string& P) { ReadRegularFileText(P); },
        [](const std::string& P) { ReadFileText(P); },
        [](const std::string& P) { TLockedFile::OpenAppend(P); },
        [](const std::string& P) { TLockedFile::CreateExclusive(P); },
        [](const std::string& P) { TLockedFile::OpenLockFile(P); },
        [](const std::string& P) { TLockedFile::OpenExclusive(P); },
        [](const std::string& P) { AppendDurably(P, "planted\r\n"); },
    };
    for (const auto& Open : Openers) {
        for (const std::string& other :
             {dir / "link.csv", dir / "tofifo.csv", dir / "todevice.csv", dir / "dangling.csv",
              fifo, dir.Path(), std::string("/dev/null")}) {
            try {
                Open(other);
                ADD_FAILURE() << "opened " << other;
            } catch (const EFileError& e) {
                const bool Link = other.find(".csv") != std::string::npos && other != fifo;
                EXPECT_STREQ(e.what(), Link ? "Is a symbolic link" : "Not a regular file")
                    << other;
            }
        }
    }
    EXPECT_EQ(ReadFileText(dir / "real.csv"), "row\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "none.csv"));
    EXPECT_EQ(EntryKindOf(dir / "link.csv"), TEntryKind::SymbolicLink);
    EXPECT_EQ(EntryKindOf(fifo), TEntryKind::Other);
    EXPECT_EQ(EntryKindOf(dir.Path()), TEntryKind::Directory);
    EXPECT_EQ(EntryKindOf(dir / "real.csv"), TEntryKind::RegularFile);
    EXPECT_EQ(EntryKindOf(dir / "none.csv"), TEntryKind::Missing);
    EXPECT_THROW(ReadRegularFileText(dir / "missing.csv"), EFileError);
}

// The status and reply lines: whole lines or nothing, also when the disk is full.
TEST(LockedFileTest, DurableAppendAddsTheWholeTextOrNothing) {
    TempDir dir;
    const std::string path = dir / "ABC.CSV";
    AppendDurably(path, "one\r\n");
    AppendDurably(path, "two\r\n");
    EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n");
    {
        OtherHolder reader(path, LOCK_SH);
        try {
            AppendDurably(path, "held\r\n");
            FAIL() << "appended to a held file";
        } catch (const EFileError& e) {
            EXPECT_EQ(e.Code, EWOULDBLOCK);
        }
    }
    // A file size limit stops the write part way, as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int code = 0;
    try {
        AppendDurably(path, "three is too long\r\n");
    } catch (const EFileError& e) {
        code = e.Code;
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(code, EFBIG);
    EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n");
    AppendDurably(path, "three\r\n");
    EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\nthree\r\n");
    EXPECT_THROW(AppendDurably(dir / "missing/x.CSV", "x"), EFileError);
}

TEST(LockedFileTest, MovedHandleOwnsTheLock) {
    TempDir dir;
    std::string path = dir / "f";
    TLockedFile first = TLockedFile::CreateExclusive(path);
    TLockedFile second = std::move(first);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_THROW(TLockedFile::OpenReadShareRead(path), EFileError);
    second = TLockedFile::CreateExclusive(dir / "g");
    // Assigning closed the first file and released its lock.
    EXPECT_NO_THROW(TLockedFile::OpenReadShareRead(path));
}

// Journals, lock files and the confirmation file: what another holder or a crash may leave.
TEST(LockedFileTest, DurableOpensKeepTheirPromises) {
    TempDir dir;
    const std::string path = dir / "journal";
    {
        TLockedFile created = TLockedFile::CreateNew(path);
        created.Write("one\n");
        created.Sync();
        EXPECT_THROW(TLockedFile::CreateNew(path), EFileError);
        EXPECT_THROW(TLockedFile::OpenExclusive(path), EFileError);
    }
    {
        TLockedFile appended = TLockedFile::OpenAppend(path);
        appended.Write("two\n");
        appended.Close();
    }
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
    {
        TLockedFile reopened = TLockedFile::OpenExclusive(path);
        EXPECT_EQ(reopened.ReadAll(), "one\ntwo\n");
        reopened.Truncate(4);
        // A holder that removes the name leaves nothing for the next opener to take.
        ASSERT_EQ(unlink(path.c_str()), 0);
        EXPECT_FALSE(reopened.IsAt(path));
    }
    EXPECT_THROW(TLockedFile::OpenExclusive(path), EFileError);

    const std::string lock = dir / "B7.lock";
    TLockedFile held = TLockedFile::OpenLockFile(lock);
    EXPECT_THROW(TLockedFile::OpenLockFile(lock), EFileError);
    ASSERT_EQ(unlink(lock.c_str()), 0);
    // The removed file is nobody's: the name now gives a fresh lock file.
    TLockedFile next = TLockedFile::OpenLockFile(lock);
    EXPECT_TRUE(next.IsAt(lock));
}

TEST(AtomicFileTest, AppearsWholeOrNotAtAll) {
    TempDir dir;
    const std::string path = dir / "Confirmation-B.CSV";
    {
        TAtomicFile file(path);
        file.Write("header\r\n");
        EXPECT_FALSE(Exists(path));
    }
    EXPECT_EQ(testsupport::ListDir(dir.Path()), Names{}) << "an uncommitted file leaves nothing";
    WriteFile(path, "old\r\n");
    {
        TAtomicFile file(path);
        file.Write("old\r\n");
        file.Write("new\r\n");
        EXPECT_EQ(ReadFile(path), "old\r\n");
        file.Commit();
    }
    EXPECT_EQ(ReadFile(path), "old\r\nnew\r\n");
    EXPECT_EQ(testsupport::ListDir(dir.Path()), Names{"Confirmation-B.CSV"});
    // Permissions given are kept whatever the umask: another user's reader can read it.
    const mode_t Umask = umask(077);
    {
        TAtomicFile file(path);
        file.SetPermissions(0644);
        file.Commit();
    }
    umask(Umask);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_THROW(TAtomicFile(dir / "missing/x"), EFileError);
}

}  // namespace
