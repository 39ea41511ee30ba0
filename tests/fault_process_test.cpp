// The real service under real file faults while it processes a file and collects statuses and
// replies: calls in the channel's directories fail through the preloaded fault shim, or those
// directories sit on a 256 KB tmpfs that fills up. Afterwards every line is in its file or in its
// "Unwritten-" file, exactly once and whole; once the fault is gone collection goes on as usual
// and the file finishes, every row confirmed with its identifier and none sent twice.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/dBulkSMSMain.h"
#include "tests/GatewaySim.h"
#include "tests/ServiceUnderTest.h"
#include "tests/TestSupport.h"

namespace {

using namespace testsupport;

// Every Nth call of a kind fails while the switch file exists; no fault means the tmpfs.
struct TFault {
    const char* Name;
    std::string Fail;
    // Entries of each kind per collection; on the tmpfs one file's lines must outgrow the one
    // free page, so that a write stops part way.
    int Entries = 10;
    // Whether collection logs failed tries: a failed close of a line that reads back whole is
    // none, and collection renames nothing.
    bool Logs = true;
};

void PrintTo(const TFault& F, std::ostream* Out) { *Out << F.Name; }

// The faults reach only the channel's directories ("/SMS/"), not the process log and the
// "Unwritten-" files beside it.
const TFault kFaults[] = {
    {"WriteNoSpace", "write:ENOSPC:1:/SMS/"},
    {"WriteIoError", "write:EIO:2:/SMS/"},
    {"SyncNoSpace", "fdatasync:ENOSPC:2:/SMS/"},
    {"SyncIoError", "fdatasync:EIO:1:/SMS/"},
    {"CloseNoSpace", "close:ENOSPC:1:/SMS/", 10, false},
    {"CloseIoError", "close:EIO:2:/SMS/", 10, false},
    {"RenameNoSpace", "rename:ENOSPC:1:/SMS/;renameat2:ENOSPC:1:/SMS/", 10, false},
    {"RenameIoError", "rename:EIO:2:/SMS/;renameat2:EIO:2:/SMS/", 10, false},
    {"FullTmpfs", "", 200},
};

std::string StatusEntry(int ReqID, const std::string& ClientApp) {
    const std::string Id = std::to_string(ReqID);
    return "<MsgStat StatTime=\"2024-01-31 10:00:00\" StatText=\"Delivered\" Status=\"2\">"
           "<MsgIdent MsgID=\"" +
           Id + "\" ReqID=\"" + Id + "\" Ref=\"R" + Id +
           "\" Prot=\"SMS\" Rcpt=\"0821234567\" ClientApp=\"" + ClientApp + "\"/></MsgStat>";
}
std::string StatusLine(int ReqID) {
    const std::string Id = std::to_string(ReqID);
    return Id + ",R" + Id + ",2,Delivered,2024-01-31 10:00:00";
}
std::string ReplyEntry(int ReqID, const std::string& ClientApp) {
    const std::string Id = std::to_string(ReqID);
    return "<ReplyDet Prot=\"SMS\" ReplyMsg=\"Yes " + Id +
           "\" Seq=\"1\" RecTime=\"2024-01-31 10:05:00\" Originator=\"27821234567\">"
           "<MsgIdent MsgID=\"" +
           Id + "\" ReqID=\"" + Id + "\" Ref=\"R" + Id + "\" ClientApp=\"" + ClientApp +
           "\"/></ReplyDet>";
}
std::string ReplyLine(int ReqID) {
    const std::string Id = std::to_string(ReqID);
    return "0821234567,Yes " + Id + ",2024-01-31 10:05:00,R" + Id + "," + Id;
}

class FaultProcess : public ::testing::TestWithParam<TFault> {
  protected:
    // The tmpfs goes first, so that the service's directory is removed whole.
    ~FaultProcess() override {
        if (Mounted) umount2(Mounted->c_str(), MNT_DETACH);
    }

    // Starts the service with the fault on; for the tmpfs, unless MountError says why not.
    void StartWithFault() {
        TServiceSettings S;
        S.GatewayUrl = Sim.Url();
        S.StatusInterval = 1001;
        S.ReplyInterval = 1001;
        S.Split = "1";
        S.MaxMessages = "10";
        if (!GetParam().Fail.empty()) {
            WriteFile(Switch, "");
            S.Environment = WithFaultShim(
                {"BROVA_SHIM_FAIL=" + GetParam().Fail, "BROVA_SHIM_SWITCH=" + Switch});
        }
        Service = std::make_unique<TServiceUnderTest>(S);
        if (GetParam().Fail.empty() && (MountError = MountFullTmpfs(Service->Root() + "/SMS")))
            return;
        std::string Rows;
        for (int Row = 0; Row < kFileRows; ++Row)
            Rows +=
                "08200000" + std::to_string(10 + Row) + ",F" + std::to_string(Row) + ",TXT,Hi\r\n";
        Service->Drop("SMS", "ROWS.csv", Rows);
        EXPECT_TRUE(Service->Start()) << Service->Process().Stderr();
    }
    // Hands every entry of the next collection to the gateway: statuses and replies for two
    // batches, numbered from First.
    void Collect(int First) {
        std::string Statusses = "<VexoMessageStatusList>", Replies = "<VexoReplyList>";
        for (int N = 0; N < GetParam().Entries; ++N) {
            const std::string& Batch = kBatches[N % 2];
            Statusses += StatusEntry(First + N, Batch);
            Replies += ReplyEntry(First + 1000 + N, Batch);
            Expected[Service->StatusDir("SMS") + "/" + Batch + ".CSV"].push_back(
                StatusLine(First + N));
            Expected[Service->ReplyDir("SMS") + "/" + Batch + ".CSV"].push_back(
                ReplyLine(First + 1000 + N));
        }
        Sim.SetOSStatus(Statusses + "</VexoMessageStatusList>");
        Sim.SetOSReplies(Replies + "</VexoReplyList>");
    }
    void EndFault() {
        if (!GetParam().Fail.empty()) {
            unlink(Switch.c_str());
            return;
        }
        for (const std::string& Name : ListDir(Service->Root() + "/SMS"))
            if (Name.rfind("fill", 0) == 0) unlink((Service->Root() + "/SMS/" + Name).c_str());
    }
    // The lines in a target's own file, and in its "Unwritten-" file.
    std::vector<std::string> Written(const std::string& Target) const {
        return Lines(ReadFile(Target));
    }
    std::vector<std::string> Kept(const std::string& Target) const {
        return Lines(ReadFile(Service->Root() + "/service/" + UnwrittenFileName(Target)));
    }
    bool AllArrived() const {
        for (const auto& [Target, Want] : Expected)
            if (Written(Target).size() + Kept(Target).size() < Want.size()) return false;
        return true;
    }
    int Logged(const std::string& Prefix) const {
        int N = 0;
        for (const std::string& M : LogMessages(ReadFile(Service->ProcessLog())))
            N += M.rfind(Prefix, 0) == 0;
        return N;
    }

    TGatewaySim Sim;
    TempDir FaultDir;
    std::string Switch = FaultDir / "faults-on";
    std::unique_ptr<TServiceUnderTest> Service;
    std::map<std::string, std::vector<std::string>> Expected;
    const std::string kBatches[2] = {"ABC", "XYZ"};
    static constexpr int kFileRows = 40;
    int MountError = 0;

  private:
    // Mounts a 256 KB tmpfs over Dir with the channel's directories in it and fills it with
    // 4 KB files up to its last page. The mount's errno, or 0.
    int MountFullTmpfs(const std::string& Dir) {
        if (mount("tmpfs", Dir.c_str(), "tmpfs", 0, "size=256k") != 0) return errno;
        Mounted = std::make_unique<std::string>(Dir);
        for (const char* Sub : {"/In", "/Status", "/Reply"}) MakeDirs(Dir + Sub);
        const std::string Page(4096, 'f');
        for (int N = 0;; ++N) {
            const std::string Path = Dir + "/fill" + std::to_string(N);
            const int Fd = open(Path.c_str(), O_WRONLY | O_CREAT, 0644);
            const bool Whole = Fd >= 0 && write(Fd, Page.data(), Page.size()) == 4096;
            if (Fd >= 0) close(Fd);
            if (!Whole) {
                unlink(Path.c_str());
                break;
            }
        }
        unlink((Dir + "/fill0").c_str());
        return 0;
    }
    std::unique_ptr<std::string> Mounted;
};

TEST_P(FaultProcess, EveryLineIsInItsFileOrKeptAsideOnceAndCollectionRecovers) {
    StartWithFault();
    if (MountError == EPERM || MountError == EACCES)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << strerror(MountError);
    ASSERT_EQ(MountError, 0) << strerror(MountError);
    const auto Arrived = [&] { return AllArrived(); };
    Collect(100);
    ASSERT_TRUE(WaitFor(Arrived)) << ReadFile(Service->ProcessLog());
    EndFault();
    // A line can be seen in its file for the moment between its write and a failed sync, which
    // takes it out again and logs: the errors are counted once that moment has passed.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const int Errors = Logged("Error Writing [");
    if (GetParam().Logs)
        EXPECT_GT(Errors, 0);
    else
        EXPECT_EQ(Errors, 0);

    Collect(5000);
    ASSERT_TRUE(WaitFor(Arrived)) << ReadFile(Service->ProcessLog());
    EXPECT_EQ(Service->Stop(), 0) << Service->Process().Stderr();

    const size_t Later = GetParam().Entries / 2;
    for (const auto& [Target, Want] : Expected) {
        std::vector<std::string> Got = Written(Target);
        // Nothing written once the fault was gone went aside.
        ASSERT_GE(Got.size(), Later) << Target;
        EXPECT_EQ(std::vector<std::string>(Got.end() - Later, Got.end()),
                  std::vector<std::string>(Want.end() - Later, Want.end()))
            << Target;
        const std::vector<std::string> Aside = Kept(Target);
        Got.insert(Got.end(), Aside.begin(), Aside.end());
        std::sort(Got.begin(), Got.end());
        std::vector<std::string> Sorted = Want;
        std::sort(Sorted.begin(), Sorted.end());
        EXPECT_EQ(Got, Sorted) << Target;
    }
    EXPECT_EQ(Logged("Error Writing ["), Errors);
    EXPECT_EQ(Logged("Unable to keep unwritten lines"), 0);

    // The file went through, claimed or taken up again as often as the faults made it, its parts
    // each sent once.
    ASSERT_TRUE(Service->Start());
    ASSERT_TRUE(WaitFor([&] { return ListDir(Service->InDir("SMS")).empty(); }))
        << ::testing::PrintToString(ListDir(Service->InDir("SMS")))
        << ReadFile(Service->InDir("SMS") + "/ROWS.log") << ReadFile(Service->ProcessLog());
    EXPECT_EQ(Service->Stop(), 0);
    std::map<std::string, int64_t> IdOf;
    for (const TSimMessage& M : Sim.Messages())
        EXPECT_TRUE(IdOf.emplace(M.Reference, M.ReqID).second) << "sent twice: " << M.Reference;
    std::vector<std::string> Want = {"Cell No.,Reference,Status"};
    for (int Row = 0; Row < kFileRows; ++Row) {
        const std::string Ref = "F" + std::to_string(Row);
        Want.push_back("\"08200000" + std::to_string(10 + Row) + "\",\"" + Ref +
                       "\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                       (IdOf.count(Ref) ? std::to_string(IdOf[Ref]) : "?") + "\"");
    }
    EXPECT_EQ(Lines(ReadFile(Service->StatusDir("SMS") + "/Confirmation-ROWS.CSV")), Want);
}

INSTANTIATE_TEST_SUITE_P(Collection, FaultProcess, ::testing::ValuesIn(kFaults),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
