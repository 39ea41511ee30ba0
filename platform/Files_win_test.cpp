#include <errno.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <thread>

#undef DeleteFile

#include <gtest/gtest.h>

#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8Of(const fs::path& P) {
    const std::u8string S = P.u8string();
    return std::string(S.begin(), S.end());
}

fs::path PathOf(const std::string& Utf8) {
    return fs::path(std::u8string(Utf8.begin(), Utf8.end()));
}

// A fresh directory of its own for each test, in the system's temporary directory.
class FilesWin : public ::testing::Test {
  protected:
    void SetUp() override {
        Root = fs::temp_directory_path() /
               ("files_win_" + std::to_string(::GetCurrentProcessId()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root);
        Dir = Utf8Of(Root) + "\\";
    }
    void TearDown() override {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    void Put(const std::string& Name, const std::string& Text) {
        std::ofstream(PathOf(Dir + Name), std::ios::binary) << Text;
    }
    std::string Get(const std::string& Name) {
        std::ifstream In(PathOf(Dir + Name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(In), {});
    }
    int CodeOf(const std::function<void()>& Open) {
        try {
            Open();
        } catch (const EFileError& E) {
            return E.Code;
        }
        return 0;
    }

    fs::path Root;
    std::string Dir;
};

TEST_F(FilesWin, RenameNeverReplacesAndAClaimHasOneTaker) {
    Put("a.csv", "a");
    Put("b.csv", "b");
    std::string Text;
    EXPECT_FALSE(RenameNoReplace(Dir + "a.csv", Dir + "b.csv", &Text));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(Text.empty());
    EXPECT_NE(Text.back(), '\n');
    EXPECT_EQ(Get("a.csv"), "a");
    EXPECT_EQ(Get("b.csv"), "b");
    EXPECT_TRUE(CanRenameNoReplaceIn(Dir));

    for (int Round = 0; Round < 20; ++Round) {
        Put("c.csv", "c");
        bool Won[2] = {};
        int Error[2] = {};
        std::thread Takers[2];
        for (int T = 0; T < 2; ++T)
            Takers[T] = std::thread([&, T] {
                Won[T] =
                    RenameNoReplace(Dir + "c.csv", Dir + "c.taken" + std::to_string(T), nullptr);
                Error[T] = errno;
            });
        for (auto& T : Takers) T.join();
        ASSERT_NE(Won[0], Won[1]) << Round;
        EXPECT_EQ(Error[Won[0] ? 1 : 0], ENOENT);
        EXPECT_EQ(Get("c.taken" + std::string(Won[0] ? "0" : "1")), "c");
        ASSERT_TRUE(DeleteFile(Dir + "c.taken" + std::string(Won[0] ? "0" : "1")));
    }
    EXPECT_FALSE(RenameNoReplace(Dir + "missing", Dir + "x", nullptr));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesWin, ShareModesRefuseWhatALinuxLockRefuses) {
    Put("f.txt", "content");
    const std::string F = Dir + "f.txt";
    {
        TLockedFile Reader = TLockedFile::OpenReadShareRead(F);
        EXPECT_EQ(TLockedFile::OpenReadShareRead(F).ReadAll(), "content");
        EXPECT_EQ(ReadFileText(F), "content");
        EXPECT_EQ(CodeOf([&] { TLockedFile::OpenWriteShareRead(F); }), EWOULDBLOCK);
        EXPECT_EQ(CodeOf([&] { TLockedFile::CreateExclusive(F); }), EWOULDBLOCK);
        EXPECT_EQ(CodeOf([&] { TLockedFile::OpenExclusive(F); }), EWOULDBLOCK);
        EXPECT_EQ(CodeOf([&] { AppendDurably(F, "more"); }), EWOULDBLOCK);
        EXPECT_EQ(Reader.ReadAll(), "content");
        // Attributes are seen through any share mode.
        EXPECT_TRUE(Reader.IsAt(F));
        EXPECT_EQ(FileSizeOf(F), 7);
    }
    EXPECT_EQ(Get("f.txt"), "content");
    {
        TLockedFile Lock = TLockedFile::OpenLockFile(Dir + "b.lock");
        EXPECT_EQ(CodeOf([&] { TLockedFile::OpenLockFile(Dir + "b.lock"); }), EWOULDBLOCK);
        EXPECT_EQ(CodeOf([&] { TLockedFile::OpenReadShareRead(Dir + "b.lock"); }), EWOULDBLOCK);
        Lock.Write("owner");
        EXPECT_TRUE(IsPassingFileError(EWOULDBLOCK));
    }
    TLockedFile Again = TLockedFile::OpenLockFile(Dir + "b.lock");
    EXPECT_EQ(Again.ReadAll(), "owner");
    // Removed by its holder while held: the name is free for the next lock file at once, or
    // reported as held until the holder lets go.
    ASSERT_TRUE(DeleteFile(Dir + "b.lock"));
    const int Next = CodeOf([&] { TLockedFile::OpenLockFile(Dir + "b.lock"); });
    EXPECT_TRUE(Next == 0 || Next == EWOULDBLOCK) << Next;
    Again.Close();
    EXPECT_EQ(CodeOf([&] { TLockedFile::OpenLockFile(Dir + "b.lock"); }), 0);
}

TEST_F(FilesWin, OpenersRefuseWhatIsNotARegularFileAndGiveErrnoCodes) {
    fs::create_directory(Root / "sub");
    for (const auto& Open : {TLockedFile::OpenReadShareRead, TLockedFile::OpenWriteShareRead,
                             TLockedFile::CreateExclusive, TLockedFile::OpenAppend,
                             TLockedFile::OpenExclusive, TLockedFile::OpenLockFile}) {
        try {
            Open(Dir + "sub");
            ADD_FAILURE() << "a directory was opened";
        } catch (const EFileError& E) {
            EXPECT_STREQ(E.what(), "Not a regular file");
            EXPECT_EQ(E.Code, EINVAL);
        }
    }
    EXPECT_EQ(CodeOf([&] { TLockedFile::OpenReadShareRead(Dir + "NUL"); }), EINVAL);
    EXPECT_EQ(CodeOf([&] { TLockedFile::CreateNew(Dir + "sub"); }), EEXIST);
    try {
        ReadFileText(Dir + "missing.txt");
        ADD_FAILURE() << "a missing file was read";
    } catch (const EFileError& E) {
        EXPECT_EQ(E.Code, ENOENT);
        const std::string Text = E.what();
        EXPECT_FALSE(Text.empty());
        EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos) << Text;
    }
    EXPECT_EQ(CodeOf([&] { ReadOwnFileText(Dir + "sub"); }), EISDIR);
    EXPECT_EQ(SystemErrorText(EWOULDBLOCK), "Resource temporarily unavailable");
    EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
    EXPECT_TRUE(IsPassingFileError(ENOSPC));
    EXPECT_TRUE(IsPassingFileError(-ERROR_NETNAME_DELETED));
    EXPECT_FALSE(IsPassingFileError(ENOENT));
    EXPECT_EQ(EntryKindOf(Dir + "sub"), TEntryKind::Directory);
    EXPECT_EQ(EntryKindOf(Dir + "missing"), TEntryKind::Missing);
    EXPECT_FALSE(FileExists(Dir + "sub"));
    EXPECT_TRUE(DirectoryExists(Dir + "sub"));

    Put("target.txt", "t");
    const std::wstring Link = (Root / "link.txt").wstring();
    // Wine says yes to a link and makes none: this part shows only on Windows.
    if (::CreateSymbolicLinkW(Link.c_str(), L"target.txt", 0) &&
        EntryKindOf(Dir + "link.txt") != TEntryKind::Missing) {
        EXPECT_EQ(EntryKindOf(Dir + "link.txt"), TEntryKind::SymbolicLink);
        try {
            TLockedFile::OpenReadShareRead(Dir + "link.txt");
            ADD_FAILURE() << "opened through a link";
        } catch (const EFileError& E) {
            EXPECT_STREQ(E.what(), "Is a symbolic link");
            EXPECT_EQ(E.Code, ELOOP);
        }
        EXPECT_EQ(ReadOwnFileText(Dir + "link.txt"), "t");
    }
}

TEST_F(FilesWin, DurableAndAtomicWrites) {
    AppendDurably(Dir + "log.txt", "one\r\n");
    AppendDurably(Dir + "log.txt", "two\r\n");
    EXPECT_EQ(Get("log.txt"), "one\r\ntwo\r\n");
    {
        TLockedFile File = TLockedFile::CreateExclusive(Dir + "log.txt");
        File.Write("abcdef");
        File.WriteAt(1, "XY");
        File.Write("g");
        EXPECT_EQ(File.ReadAt(2, 10), "Ydefg");
        File.Truncate(3);
        EXPECT_EQ(File.Size(), 3);
        File.SeekStart();
        EXPECT_EQ(File.ReadAll(), "aXY");
        File.Sync();
        File.Close();
        EXPECT_FALSE(File.IsOpen());
    }
    Put("out.txt", "old");
    {
        TAtomicFile File(Dir + "out.txt");
        File.Write("new ");
        File.Write("whole");
        EXPECT_EQ(Get("out.txt"), "old");
        File.Commit();
    }
    {
        TAtomicFile Dropped(Dir + "out.txt");
        Dropped.Write("never");
    }
    EXPECT_EQ(Get("out.txt"), "new whole");
    EXPECT_EQ(FindFiles(Dir, "*.tmp"), std::vector<std::string>{});
}

TEST_F(FilesWin, FindFilesAndNamesWithBothSeparators) {
    Put("One.CSV", "");
    Put("two.csv", "");
    Put("three.txt", "");
    fs::create_directory(Root / "dir.csv");
    auto Names = FindFiles(Dir, "*.csv");
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::string>{"One.CSV", "dir.csv", "two.csv"}));
    Names = FindFiles(Dir.substr(0, Dir.size() - 1), "*.*");
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::string>{"One.CSV", "dir.csv", "three.txt", "two.csv"}));
    EXPECT_TRUE(FindFiles("", "*.*").empty());
    EXPECT_TRUE(FindFiles(Dir + "missing", "*.*").empty());

    EXPECT_EQ(DirectoryOf("C:\\in\\a/b\\f.csv"), "C:\\in\\a/b\\");
    EXPECT_EQ(FileNameOf("C:\\in\\a/b\\f.csv"), "f.csv");
    EXPECT_EQ(DirectoryOf("C:/in/f.csv"), "C:/in/");
    EXPECT_EQ(FileNameOf("f.csv"), "f.csv");
    EXPECT_EQ(DirectoryOf("f.csv"), "");
    const std::string Temporary = TemporaryNameBeside("C:\\in\\f.csv");
    EXPECT_EQ(Temporary.rfind("C:\\in\\.f.csv.", 0), 0u) << Temporary;
    EXPECT_NE(Temporary, TemporaryNameBeside("C:\\in\\f.csv"));

    EXPECT_TRUE(ForceDirectories(Dir + "x\\y/z"));
    EXPECT_TRUE(DirectoryExists(Dir + "x\\y\\z"));
    EXPECT_TRUE(CanUseDirectory(Dir + "x", true));
    EXPECT_FALSE(CanUseDirectory(Dir + "missing", false));
    EXPECT_TRUE(CanAccessFile(Dir + "two.csv", true));
    EXPECT_FALSE(CanAccessFile(Dir + "missing", false));
    EXPECT_TRUE(SameFile(Dir + "two.csv", Utf8Of(Root / "x" / ".." / "TWO.csv")));
    EXPECT_FALSE(SameFile(Dir + "two.csv", Dir + "One.CSV"));
    EXPECT_EQ(ExecutablePath().substr(ExecutablePath().size() - 4), ".exe");
}

TEST_F(FilesWin, IdentityFollowsTheFileNotTheName) {
    Put("j.txt", "first");
    TLockedFile Held = TLockedFile::OpenReadShareRead(Dir + "j.txt");
    const TFileIdentity Before = Held.Identity();
    EXPECT_EQ(FileIdentityOf(Dir + "j.txt"), Before);
    EXPECT_EQ(Before.Size, 5);
    EXPECT_EQ(LinkCountOf(Dir + "j.txt"), 1);
    EXPECT_GT(FileModifiedNs(Dir + "j.txt"), int64_t{1600000000} * 1000000000);
    EXPECT_GT(FileStatusChangeNs(Dir + "j.txt"), int64_t{1600000000} * 1000000000);
    // Renamed while held, as a journal is named.
    ASSERT_TRUE(RenameNoReplace(Dir + "j.txt", Dir + "l.txt", nullptr));
    EXPECT_FALSE(Held.IsAt(Dir + "j.txt"));
    EXPECT_TRUE(Held.IsAt(Dir + "l.txt"));
    EXPECT_EQ(FileIdentityOf(Dir + "l.txt"), Before);
    EXPECT_FALSE(FileIdentityOf(Dir + "j.txt"));
    EXPECT_EQ(Held.ReadAll(), "first");
    EXPECT_EQ(CodeOf([&] { TLockedFile::OpenExclusive(Dir + "j.txt"); }), ENOENT);
    Held.Close();
    {
        TAtomicFile Next(Dir + "l.txt");
        Next.Write("second");
        Next.Commit();
    }
    EXPECT_EQ(FileSizeOf(Dir + "l.txt"), 6);
    EXPECT_NE(FileIdentityOf(Dir + "l.txt")->Inode, Before.Inode);
}

TEST_F(FilesWin, NonAsciiNamesRoundTrip) {
    const std::string Name = "Z\xC3\xBCrich-\xE6\x9D\xB1\xE4\xBA\xAC-\xF0\x9F\x93\xA6.csv";
    {
        TLockedFile File = TLockedFile::CreateNew(Dir + Name);
        File.Write("k\xC3\xB6ln\n");
    }
    EXPECT_TRUE(fs::exists(Root / PathOf(Name)));
    EXPECT_EQ(FindFiles(Dir, "*.CSV"), std::vector<std::string>{Name});
    EXPECT_EQ(ReadFileText(Dir + Name), "k\xC3\xB6ln\n");
    EXPECT_TRUE(RenameNoReplace(Dir + Name, Dir + Name + ".taken", nullptr));
    EXPECT_EQ(ReadOwnFileText(Dir + Name + ".taken"), "k\xC3\xB6ln\n");
    EXPECT_EQ(CodeOf([&] { TLockedFile::OpenReadShareRead(Dir + "bad\xFF.csv"); }), EINVAL);
}

}  // namespace
